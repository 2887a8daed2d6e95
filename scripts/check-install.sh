#!/usr/bin/env bash
# Checks what `cmake --install` and `cpack -G DEB` make of a build tree: the
# installed tree is staged with DESTDIR, moved elsewhere, and used with the
# build tree out of the way: the demo runs on its tools, and a program is
# built against it with its CMake packages and with pkg-config. Every
# installed program and library is hardened (hardening-check); the Debian
# packages are checked for their files and dependencies, by lintian, and
# their systemd units by systemd-analyze verify.
# Usage: scripts/check-install.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
[[ $# -eq 1 ]] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
root=$(pwd)
build=$(cd "$1" && pwd)
major=$(sed -n 's/^CMAKE_PROJECT_VERSION_MAJOR:STATIC=//p' "$build/CMakeCache.txt")
packages=("libimageserverlib$major" libimageserverlib-dev imageserver "libimageserverclient$major"
  libimageserverclient-dev imageserver-tools python3-imageserver)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")

work=$(mktemp -d "${TMPDIR:-/tmp}/imageserver-install.XXXXXX")
hidden="$build.hidden-by-check-install"
cleanup() {
  [[ -d "$hidden" ]] && mv "$hidden" "$build"
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "check-install: $*" >&2
  exit 1
}

echo "=== installing into DESTDIR=$work/stage, prefix /opt/imageserver"
DESTDIR="$work/stage" cmake --install "$build" --prefix /opt/imageserver >/dev/null
prefix="$work/moved"
mv "$work/stage/opt/imageserver" "$prefix"
for unit in system/imageserver.service user/imageserver.service; do
  grep -qx "ExecStart=/opt/imageserver/bin/imageserver-host .*" "$prefix/lib/systemd/$unit" ||
    fail "the unit $unit does not start the installed host"
done
[[ ! -e "$work/stage/etc" ]] || fail "installing the whole tree wrote into /etc"

for file in "$libdir/libimageserverlib.so.$version" "$libdir/libimageserverlib.so.$major" \
  "$libdir/libimageserverlib.so" include/imageserver/ImageServerControl.h \
  "$libdir/cmake/ImageServer/ImageServerConfig.cmake" "$libdir/pkgconfig/imageserverlib.pc" \
  "$libdir/libimageserverclient.so.$version" "$libdir/libimageserverclient.so.$major" \
  "$libdir/libimageserverclient.so" include/svx/imageserver/client/ImageServerClient.h include/platform/kor/status.h \
  "$libdir/cmake/ImageServerClient/ImageServerClientConfig.cmake" \
  "$libdir/pkgconfig/imageserverclient.pc" include/imageserver/client.h \
  "$libdir/pkgconfig/imageserverclient-c.pc" bin/imageserver-host bin/imageserver-client \
  libexec/imageserver/imageserver-decoder \
  share/doc/imageserver/examples/config.json share/man/man1/imageserver-host.1.gz \
  share/man/man1/imageserver-client.1.gz lib/python3/dist-packages/imageserver/__init__.py \
  lib/systemd/system/imageserver.service \
  lib/systemd/system/imageserver.socket lib/systemd/user/imageserver.service \
  lib/systemd/user/imageserver.socket; do
  [[ -e "$prefix/$file" ]] || fail "not installed: $file"
done
for package in "${packages[@]}"; do
  for file in copyright changelog.gz; do
    [[ -e "$prefix/share/doc/$package/$file" ]] || fail "not installed: share/doc/$package/$file"
  done
done
# The changelog's latest entry is this version.
[[ $(zcat "$prefix/share/doc/imageserver/changelog.gz" | head -1) == "imageserver ($version) "* ]] ||
  fail "the changelog does not begin with version $version"

# Every program and library is hardened as Debian builds them: stack
# protector, fortified libc calls, full RELRO with bind-now, PIE. Not control
# flow protection (CET): Debian 12's C start files lack its marks, so nothing
# linked there has them, and Debian does not build with it.
for elf in "$prefix"/bin/* "$prefix"/libexec/imageserver/* "$prefix/$libdir"/lib*.so."$version"; do
  hardening-check --nocfprotection "$elf" >"$work/hardening.out" 2>&1 ||
    { cat "$work/hardening.out" >&2; fail "$elf is not hardened"; }
done

# Libraries carry their SONAME; binaries find libraries relative to
# themselves; the client library needs none of the image codecs.
for library in imageserverlib imageserverclient; do
  readelf -d "$prefix/$libdir/lib$library.so.$version" |
    grep "Library soname: \[lib$library.so.$major\]" >/dev/null || fail "lib$library: wrong SONAME"
done
for elf in "$prefix"/bin/* "$prefix"/libexec/imageserver/* "$prefix/$libdir"/lib*.so."$version"; do
  paths=$(readelf -d "$elf" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')
  [[ -z "$paths" || "$paths" == '$ORIGIN/'* ]] || fail "$elf has the search path $paths"
done
if readelf -d "$prefix/$libdir/libimageserverclient.so.$version" | grep NEEDED |
  grep -E 'jpeg|spng|gif|exif'; then
  fail "the client library needs an image codec"
fi

# Every option of the tools' --help texts (subcommands included) is in
# their man pages and in the README.
for tool in imageserver-host imageserver-client; do
  "$prefix/bin/$tool" --help >"$work/$tool.help"
  for command in $(sed -n '/^Subcommands:/,$p' "$work/$tool.help" | awk 'NR > 1 { print $1 }'); do
    "$prefix/bin/$tool" "$command" --help >>"$work/$tool.help"
  done
  for option in $(grep -o -- '--[a-z][a-z-]*' "$work/$tool.help" | sort -u); do
    [[ "$option" == --help || "$option" == --version ]] && continue
    zgrep -qF -- "${option//-/\\-}" "$prefix/share/man/man1/$tool.1.gz" ||
      fail "$tool $option is not in its man page"
    grep -q -- "$option" README.md || fail "$tool $option is not in README.md"
  done
done

echo "=== building Debian packages"
(cd "$work" && cpack -G DEB -B "$work/deb" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb() {
  local file
  file=$(echo "$work/deb/$1_${version}"_*."${2:-deb}")
  [[ -f "$file" ]] || fail "no package $1 ($file)"
  echo "$file"
}
depends_on() { # PACKAGE DEPENDENCY...: the Depends of PACKAGE name each DEPENDENCY
  local depends
  depends=", $(dpkg-deb -f "$(deb "$1")" Depends),"
  shift
  for dependency in "$@"; do
    [[ "$depends" == *", $dependency "* || "$depends" == *", $dependency,"* ]] ||
      fail "${depends:2} lacks $dependency"
  done
}
has_files() { # PACKAGE FILE...: PACKAGE holds each FILE (below /usr)
  local files
  files=$(dpkg-deb -c "$(deb "$1")")
  shift
  for file in "$@"; do
    [[ "$files" == *" ./usr/$file"$'\n'* || "$files" == *" ./usr/$file" || "$files" == *" ./usr/$file -> "* ]] ||
      fail "the package lacks /usr/$file"
  done
}
controls() { dpkg-deb --ctrl-tarfile "$(deb "$1")" | tar -t | sed -n 's|^\./\(.\)|\1|p' | sort | tr '\n' ' '; }

lib_service=libimageserverlib$major lib_client=libimageserverclient$major
for package in libjpeg62-turbo libspng0 libgif7 libexif12 libheif1 libdav1d6 libde265-0 \
  libtiff6 libjxl0.7 liblcms2-2 libseccomp2 libstdc++6 libc6; do
  depends_on "$lib_service" "$package"
done
# AV1 is decoded by dav1d: libaom comes only with libheif, for its encoder.
[[ $(dpkg-deb -f "$(deb "$lib_service")" Depends) != *libaom* ]] ||
  fail "the service library depends on libaom"
[[ $(dpkg-deb -f "$(deb "$lib_client")" Depends) != *jpeg* ]] || fail "the client library needs an image codec"
depends_on "$lib_client" libstdc++6 libc6
depends_on libimageserverlib-dev "$lib_service (= $version)"
depends_on libimageserverclient-dev "$lib_client (= $version)"
depends_on imageserver "$lib_service (= $version)" adduser init-system-helpers libc6
depends_on imageserver-tools "$lib_client (= $version)" libstdc++6
has_files "$lib_service" "$libdir/libimageserverlib.so.$major" "$libdir/libimageserverlib.so.$version" \
  libexec/imageserver/imageserver-decoder
has_files libimageserverlib-dev "$libdir/libimageserverlib.so" include/imageserver/ImageServerControl.h \
  "$libdir/cmake/ImageServer/ImageServerConfig.cmake" "$libdir/pkgconfig/imageserverlib.pc"
has_files imageserver bin/imageserver-host share/man/man1/imageserver-host.1.gz \
  lib/systemd/system/imageserver.service lib/systemd/system/imageserver.socket \
  lib/systemd/user/imageserver.service lib/systemd/user/imageserver.socket \
  share/doc/imageserver/examples/config.json
has_files "$lib_client" "$libdir/libimageserverclient.so.$major" "$libdir/libimageserverclient.so.$version"
has_files libimageserverclient-dev "$libdir/libimageserverclient.so" \
  include/svx/imageserver/client/ImageServerClient.h include/platform/kor/status.h \
  "$libdir/cmake/ImageServerClient/ImageServerClientConfig.cmake" "$libdir/pkgconfig/imageserverclient.pc" \
  include/imageserver/client.h "$libdir/pkgconfig/imageserverclient-c.pc"
has_files imageserver-tools bin/imageserver-client share/man/man1/imageserver-client.1.gz
has_files python3-imageserver lib/python3/dist-packages/imageserver/__init__.py
depends_on python3-imageserver "$lib_client (>= $version)" python3-numpy
[[ $(dpkg-deb -c "$(deb imageserver)") == *" ./etc/svx/config/imageserver/config.json"* ]] ||
  fail "imageserver lacks /etc/svx/config/imageserver/config.json"
[[ $(dpkg-deb -I "$(deb imageserver)" conffiles) == /etc/svx/config/imageserver/config.json ]] ||
  fail "the configuration is not a conffile"
[[ $(controls imageserver) == *conffiles*postinst*postrm*prerm* ]] ||
  fail "imageserver lacks maintainer scripts: $(controls imageserver)"
for package in "$lib_service" "$lib_client"; do
  [[ $(controls "$package") == "control md5sums shlibs triggers " ]] ||
    fail "$package has the control files $(controls "$package")"
  [[ $(dpkg-deb -I "$(deb "$package")" triggers) == "activate-noawait ldconfig" ]] ||
    fail "$package does not trigger ldconfig"
done
# The pkg-config files of the packages name /usr, with no path relative to themselves.
dpkg-deb -x "$(deb libimageserverlib-dev)" "$work/dev-root"
dpkg-deb -x "$(deb libimageserverclient-dev)" "$work/dev-root"
for pc in "$work/dev-root/usr/$libdir"/pkgconfig/*.pc; do
  [[ $(sed -n 's/^prefix=//p' "$pc") == /usr ]] && ! grep -q pcfiledir "$pc" ||
    fail "$(basename "$pc") does not name the prefix /usr"
done
# Every packaged program and library is stripped, its debug information in
# the -dbgsym package.
for package in "$lib_service" imageserver "$lib_client" imageserver-tools; do
  rm -rf "$work/strip-root"
  dpkg-deb -x "$(deb "$package")" "$work/strip-root"
  while read -r elf; do
    [[ $(file -b "$elf") == *", stripped"* ]] || fail "$package: ${elf#"$work/strip-root"} is not stripped"
  done < <(find "$work/strip-root" -type f -exec sh -c 'head -c4 "$1" | grep -q ELF' _ {} \; -print)
  [[ $(dpkg-deb -c "$(deb "$package-dbgsym" ddeb)") == *".debug"* ]] || fail "$package-dbgsym has no debug file"
done

echo "=== lintian"
# --fail-on makes warnings fail as errors do; overridden tags are left out.
lintian --pedantic -I --tag-display-limit 0 --fail-on error,warning \
  "$work"/deb/*.deb "$work"/deb/*.ddeb >"$work/lintian.out" 2>&1 ||
  { cat "$work/lintian.out" >&2; fail "lintian reports errors or warnings"; }
grep -v 'running with root privileges' "$work/lintian.out" || true

echo "=== systemd-analyze verify on the packaged units"
# The system units are verified in a root made of the packages and the
# system's own units (the targets they name); the user units, for which
# systemd-analyze takes no root, with the host's path taken into that root.
# No systemd needs to run.
root_dir="$work/units-root"
dpkg-deb -x "$(deb imageserver)" "$root_dir"
dpkg-deb -x "$(deb "$lib_service")" "$root_dir"
cp -an /lib/systemd/system/. "$root_dir/usr/lib/systemd/system/"
# The system's commands the units run besides the host (ExecReload's kill),
# in a merged /usr as on Debian 12.
[[ -e "$root_dir/bin" ]] || ln -s usr/bin "$root_dir/bin"
cp -an /usr/bin/kill "$root_dir/usr/bin/"
mkdir -p "$work/user-units" "$work/xdg"
sed "s|^ExecStart=/|ExecStart=$root_dir/|" "$root_dir/usr/lib/systemd/user/imageserver.service" \
  >"$work/user-units/imageserver.service"
cp "$root_dir/usr/lib/systemd/user/imageserver.socket" "$work/user-units/"
verify() { # UNIT-FILE SYSTEMD-ANALYZE-OPTION...
  local unit=$1
  shift
  SYSTEMD_LOG_LEVEL=notice XDG_RUNTIME_DIR="$work/xdg" systemd-analyze "$@" verify --man=no "$unit" \
    >"$work/verify.out" 2>&1 && [[ ! -s "$work/verify.out" ]] ||
    { cat "$work/verify.out" >&2; fail "systemd-analyze verify: $unit"; }
}
for unit in imageserver.service imageserver.socket; do
  verify "$root_dir/usr/lib/systemd/system/$unit" --root="$root_dir"
  verify "$work/user-units/$unit" --user
done

installed_library=$(realpath "$prefix/$libdir/libimageserverlib.so.$version")
echo "=== the installed host beside its build tree"
mkdir -p "$work/run-beside"
COMM_RUNTIME_DIR="$work/run-beside" "$prefix/bin/imageserver-host" --instance 0 >"$work/beside.out" 2>&1 &
host=$!
for _ in $(seq 1 100); do
  grep -q '^imageserver-host: ready$' "$work/beside.out" && break
  sleep 0.1
done
kill -TERM "$host" 2>/dev/null || true
wait "$host" || true
grep -qx "imageserver-host: library $installed_library" "$work/beside.out" ||
  fail "the installed host did not load the installed library: $(cat "$work/beside.out")"

cp "$build/tools/imageserver-make-samples" "$work/"
mv "$build" "$hidden"

echo "=== the demo on the installed tools ($prefix/bin), the build tree moved away"
TMPDIR="$work" scripts/demo.sh "$prefix/bin" "$work/imageserver-make-samples" >"$work/demo.out" 2>&1 ||
  { cat "$work/demo.out" >&2; fail "the demo failed"; }
grep -qx "imageserver-host: library $installed_library" "$work/demo.out" || fail "the installed host did not load the installed library"

echo "=== a program built against the installed tree"
export COMM_RUNTIME_DIR="$work/run" TRACE_LEVELS='*=4'
mkdir -p "$COMM_RUNTIME_DIR"
cmake -S tests/install -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
ninja -C "$work/consumer" >/dev/null
[[ $("$work/consumer/consumer" 0) == "$version" ]] || fail "the CMake-built consumer failed"
# The plain C program prints the version and the size of a sample image.
"$work/imageserver-make-samples" "$work/c-samples" >/dev/null
c_client_ok() { [[ $("$@" "$work/c-samples/image.bmp") =~ ^"$version "[1-9][0-9]*x[1-9][0-9]*$ ]]; }
c_client_ok "$work/consumer/c_client" 2 || fail "the CMake-built C consumer failed"
# The pkg-config files name the prefix they were installed with; a moved
# tree is used with its folder as the prefix.
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
grep -qx "prefix=/opt/imageserver" "$prefix/$libdir/pkgconfig/imageserverlib.pc" ||
  fail "imageserverlib.pc does not name the prefix it was installed with"
pc=(pkg-config --define-variable=prefix="$prefix")
# shellcheck disable=SC2046
cc -c tests/install/control.c -o "$work/control.o" $("${pc[@]}" --cflags imageserverlib)
# shellcheck disable=SC2046
c++ -std=c++20 tests/install/consumer.cpp "$work/control.o" -o "$work/consumer-pc" \
  $("${pc[@]}" --cflags --libs imageserverlib imageserverclient) -Wl,-rpath,"$prefix/$libdir"
[[ $("$work/consumer-pc" 1) == "$version" ]] || fail "the pkg-config-built consumer failed"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror tests/install/c_client.c -o "$work/c-client-pc" \
  $("${pc[@]}" --cflags --libs imageserverlib imageserverclient-c) -Wl,-rpath,"$prefix/$libdir"
c_client_ok "$work/c-client-pc" 3 || fail "the pkg-config-built C consumer failed"
[[ -e $("${pc[@]}" --variable=library imageserverlib) ]] ||
  fail "pkg-config's library variable names no file"

echo "=== the Python package builds offline"
# pip builds the wheel with the in-tree backend, which needs nothing from a
# package index; the wheel holds the package and its version.
/usr/bin/python3 -m pip wheel -q --no-index --no-deps -w "$work/wheel" ./python >/dev/null ||
  fail "pip cannot build the Python package offline"
wheel="$work/wheel/imageserver-$version-py3-none-any.whl"
# grep reads the whole listing: with -q it could stop early and, under
# pipefail, fail the pipe.
/usr/bin/python3 -m zipfile -l "$wheel" | grep '^imageserver/__init__.py ' >/dev/null ||
  fail "the wheel lacks the package"

echo "=== the installed tree works without the build tree"
# The installed Python package on the installed client library: it loads the
# library and reports a service that is not there.
PYTHONPATH="$prefix/lib/python3/dist-packages" IMAGESERVER_CLIENT_LIBRARY="$prefix/$libdir/libimageserverclient.so.$major" \
  /usr/bin/python3 -c '
import imageserver, sys
try:
    imageserver.Client(instance=77, runtime_dir=sys.argv[1])
except imageserver.ConnectError as error:
    sys.exit(0)
sys.exit(1)' "$work/run" || fail "the installed Python package does not work"
