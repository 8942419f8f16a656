#!/bin/sh
# Builds libubox and libuci as shared libraries, as the router has them, from
# the upstream snapshots kept beside this checkout
# (../shared/third_party/libuci/src), for this host or for big-endian MIPS.
#
#   scripts/cross-libuci.sh host|mips PREFIX [WORKDIR]
#
# PREFIX receives include/uci.h and lib/libuci.so, lib/libubox.so; WORKDIR
# (default PREFIX.work) the unpacked sources and build trees. Nothing is
# rebuilt when PREFIX already holds a build of the same snapshots. For MIPS,
# configure tarnwick with
#   -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake
#   -DCMAKE_FIND_ROOT_PATH=PREFIX -DTARNWICK_LIBUCI_PREFIX=PREFIX
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
src="$top/../shared/third_party/libuci/src"

[ $# -ge 2 ] || { echo "usage: $0 host|mips PREFIX [WORKDIR]" >&2; exit 2; }
target=$1
mkdir -p "$2"
prefix=$(cd "$2" && pwd)
work=${3:-$prefix.work}

ubox_tar=$(ls "$src"/libubox-*.tar.gz)
uci_tar=$(ls "$src"/uci-*.tar.gz)
stamp="$prefix/.built-from"
want="$target $(basename "$ubox_tar") $(basename "$uci_tar")"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] && [ -f "$prefix/lib/libuci.so" ]; then
    exit 0
fi

case $target in
host) toolchain="" ;;
mips)
    command -v mips-linux-gnu-gcc >/dev/null || { echo "$0: mips-linux-gnu-gcc is missing" >&2; exit 1; }
    toolchain="-DCMAKE_TOOLCHAIN_FILE=$top/cmake/mips-linux-gnu.cmake -DCMAKE_FIND_ROOT_PATH=$prefix"
    ;;
*) echo "$0: target must be host or mips, not '$target'" >&2; exit 2 ;;
esac
generator=""
command -v ninja >/dev/null && generator="-G Ninja"

rm -rf "$work"
mkdir -p "$work"
tar -xzf "$ubox_tar" -C "$work"
tar -xzf "$uci_tar" -C "$work"
ubox_src=$(ls -d "$work"/libubox-*/)
uci_src=$(ls -d "$work"/uci-*/)

# libubox insists on json-c's pkg-config entry, although the library itself
# does not use json-c: the two -D flags skip that check.
# shellcheck disable=SC2086
cmake -S "$ubox_src" -B "$work/build-ubox" $generator $toolchain \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_C_FLAGS="-ffile-prefix-map=$work/=" \
    -DBUILD_LUA=OFF -DBUILD_EXAMPLES=OFF \
    -D__pkg_config_checked_JSONC=1 -DJSONC_FOUND=1 >"$work/ubox-configure.log"
cmake --build "$work/build-ubox" --target ubox -j 2 >"$work/ubox-build.log"
# Only the shared library and the headers: the tarnwick build must find
# libubox.so, not the static archive.
mkdir -p "$prefix/lib" "$prefix/include/libubox"
cp -P "$work/build-ubox"/libubox.so* "$prefix/lib/"
cp "$ubox_src"/*.h "$prefix/include/libubox/"

# shellcheck disable=SC2086
cmake -S "$uci_src" -B "$work/build-uci" $generator $toolchain \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_C_FLAGS="-ffile-prefix-map=$work/=" \
    -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_PREFIX_PATH="$prefix" -DBUILD_LUA=OFF \
    >"$work/uci-configure.log"
cmake --build "$work/build-uci" --target uci -j 2 >"$work/uci-build.log"
cp -P "$work/build-uci"/libuci.so* "$prefix/lib/"
cp "$uci_src/uci.h" "$uci_src/uci_config.h" "$prefix/include/"

echo "$want" >"$stamp"
