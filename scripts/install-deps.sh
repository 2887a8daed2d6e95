#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# Usage: scripts/install-deps.sh [extra-package...]
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  # the layout check and the fuzz targets (scripts/test.sh, scripts/fuzz.sh)
  clang-format clang-14 libclang-rt-14-dev
  dpkg-dev file
  # lintian, hardening-check (devscripts), systemd-analyze: check-install.sh
  lintian devscripts systemd
  libgtest-dev
  libjpeg62-turbo-dev libspng-dev zlib1g-dev libgif-dev libexif-dev
  libwebp-dev libheif-dev libdav1d-dev libde265-dev libtiff-dev libjxl-dev liblcms2-dev
  libseccomp-dev libsystemd-dev
  # independent decoders that the test corpora are checked against
  libtiff-tools libjxl-tools
  nlohmann-json3-dev libcli11-dev
  # the Python package and its tests
  python3 python3-numpy python3-pil python3-pytest
  # pip builds the Python package offline in check-install.sh
  python3-pip
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
