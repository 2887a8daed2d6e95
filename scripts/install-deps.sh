#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# Usage: scripts/install-deps.sh [extra-package...]
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  dpkg-dev file
  # lintian, hardening-check (devscripts), systemd-analyze: check-install.sh
  lintian devscripts systemd
  libgtest-dev
  libjpeg62-turbo-dev libspng-dev zlib1g-dev libgif-dev libexif-dev
  libwebp-dev libheif-dev libaom-dev liblcms2-dev libseccomp-dev libsystemd-dev
  nlohmann-json3-dev libcli11-dev
  # the Python package and its tests
  python3 python3-numpy python3-pil python3-pytest
  "$@"
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}" >&2
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
