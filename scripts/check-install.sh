#!/usr/bin/env bash
# Checks what `cmake --install` and `cpack -G DEB` make of a build tree: the
# installed tree is staged with DESTDIR, moved elsewhere, and used with the
# build tree out of the way: the demo runs on its tools, and a program is
# built against it with its CMake packages and with pkg-config.
# Usage: scripts/check-install.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
[[ $# -eq 1 ]] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
root=$(pwd)
build=$(cd "$1" && pwd)
major=$(sed -n 's/^CMAKE_PROJECT_VERSION_MAJOR:STATIC=//p' "$build/CMakeCache.txt")
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
grep -qx "ExecStart=/opt/imageserver/bin/imageserver-host .*" \
  "$prefix/lib/systemd/system/imageserver.service" || fail "the unit does not start the installed host"

for file in "$libdir/libimageserverlib.so.$version" "$libdir/libimageserverlib.so.$major" \
  "$libdir/libimageserverlib.so" include/imageserver/ImageServerControl.h \
  "$libdir/cmake/ImageServer/ImageServerConfig.cmake" "$libdir/pkgconfig/imageserverlib.pc" \
  "$libdir/libimageserverclient.so.$version" "$libdir/libimageserverclient.so.$major" \
  "$libdir/libimageserverclient.so" include/svx/imageserver/client/ImageServerClient.h \
  "$libdir/cmake/ImageServerClient/ImageServerClientConfig.cmake" \
  "$libdir/pkgconfig/imageserverclient.pc" bin/imageserver-host bin/imageserver-client \
  libexec/imageserver/imageserver-decoder \
  share/doc/imageserver/examples/config.json share/man/man1/imageserver-host.1 \
  share/man/man1/imageserver-client.1; do
  [[ -e "$prefix/$file" ]] || fail "not installed: $file"
done

# Libraries carry their SONAME; binaries find libraries relative to
# themselves; the client library needs none of the image codecs.
for library in imageserverlib imageserverclient; do
  readelf -d "$prefix/$libdir/lib$library.so.$version" |
    grep -q "Library soname: \[lib$library.so.$major\]" || fail "lib$library: wrong SONAME"
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
    grep -qF -- "${option//-/\\-}" "$prefix/share/man/man1/$tool.1" ||
      fail "$tool $option is not in its man page"
    grep -q -- "$option" README.md || fail "$tool $option is not in README.md"
  done
done

echo "=== building Debian packages"
(cd "$work" && cpack -G DEB -B "$work/deb" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
service_deb=$(echo "$work"/deb/imageserver_"$version"_*.deb)
client_deb=$(echo "$work"/deb/imageserver-client_"$version"_*.deb)
service_depends=$(dpkg-deb -f "$service_deb" Depends)
client_depends=$(dpkg-deb -f "$client_deb" Depends)
for package in adduser libc6 libstdc++6 libjpeg62-turbo libspng0 libgif7 libexif12 libseccomp2; do
  [[ ",$service_depends" == *[\ ,]"$package "* || ",$service_depends," == *[\ ,]"$package,"* ]] ||
    fail "imageserver does not depend on $package: $service_depends"
done
[[ "$client_depends" != *jpeg* && "$client_depends" == *libstdc++6* ]] ||
  fail "imageserver-client has the dependencies $client_depends"
service_files=$(dpkg-deb -c "$service_deb")
client_files=$(dpkg-deb -c "$client_deb")
[[ "$service_files" == *" ./usr/lib/systemd/system/imageserver.service"* &&
  "$service_files" == *" ./usr/bin/imageserver-host"* &&
  "$service_files" == *" ./usr/libexec/imageserver/imageserver-decoder"* &&
  "$service_files" == *" ./usr/lib/libimageserverlib.so.$major "* &&
  "$client_files" == *" ./usr/bin/imageserver-client"* &&
  "$client_files" == *" ./usr/lib/libimageserverclient.so.$major "* ]] ||
  fail "the packages lack files: $service_files $client_files"
[[ $(dpkg-deb --ctrl-tarfile "$service_deb" | tar -t) == *postinst*prerm* ]] ||
  fail "the service package has no postinst or prerm"

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
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -c tests/install/control.c -o "$work/control.o" $(pkg-config --cflags imageserverlib)
# shellcheck disable=SC2046
c++ -std=c++20 tests/install/consumer.cpp "$work/control.o" -o "$work/consumer-pc" \
  $(pkg-config --cflags --libs imageserverlib imageserverclient) -Wl,-rpath,"$prefix/$libdir"
[[ $("$work/consumer-pc" 1) == "$version" ]] || fail "the pkg-config-built consumer failed"
[[ -e $(pkg-config --variable=library imageserverlib) ]] ||
  fail "pkg-config's library variable names no file"

echo "=== the installed tree works without the build tree"
