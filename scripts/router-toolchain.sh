#!/bin/sh
# SPDX-License-Identifier: ISC
# The router toolchain: C and C++ for big-endian MIPS 24Kc, soft float,
# against musl, the C library of OpenWrt (ath79 and its kin), made from
# Debian's packages alone:
#
#   scripts/router-toolchain.sh [--test-runtime]
#
# Builds under build/router-toolchain/ (ROUTER_TOOLCHAIN_DIR overrides) and
# keeps what it built there: on two cores the first run takes about two
# minutes, --test-runtime two more, and a second run finds it all and ends in
# a second. The pieces:
#   Debian's cross compilers (gcc-mips-linux-gnu, g++-mips-linux-gnu,
#            binutils-mips-linux-gnu), installed where missing.
#   musl     from Debian's source package, built -msoft-float: it then names
#            itself mips-sf, loader /lib/ld-musl-mips-sf.so.1. The source
#            package comes through a private apt state under apt/ (deb-src
#            lines of its own); the machine's apt configuration is left as
#            it is.
#   libgcc   Debian's libgcc.a is hard float (its __adddf3 is one add.d). A
#            copy of it gets libgcc's soft-fp routines and its complex and
#            powi helpers compiled -msoft-float from gcc-12-source in place
#            of the hard-float members; the members left over lose their
#            float ABI marks, so ld sees one ABI.
#   root/    musl (headers, libraries, crt files), the kernel's uapi headers
#            from linux-libc-dev-mips-cross, and lib/ld-musl-mips-sf.so.1:
#            the target's root for the compilers and for qemu-mips -L.
#   bin/     mips-linux-musl-gcc and mips-linux-musl-g++ (Debian's cross
#            compilers with the driver file router.driver: musl's headers and libraries, the
#            soft-float libgcc, no PIE, -mplt as OpenWrt's gcc has them),
#            and the binutils under the same prefix. C++ uses the cross g++'s
#            libstdc++ headers with libstdc++'s generic os/ and locale/
#            headers over them, and an empty libstdc++.a: a program that
#            needs the C++ runtime fails to link.
#   --test-runtime (or ROUTER_TEST_RUNTIME=1)
#            also builds libstdc++ and libgcc's unwinder from gcc-12-source
#            for this target into test-runtime/, with test-runtime.driver:
#            the unit tests link it, the shipped programs never do
#            (cmake/router-mips-musl.cmake, tests/CMakeLists.txt).
#
# cmake/router-mips-musl.cmake is the CMake toolchain file for it. Installs
# what it needs with apt-get where missing (as root or with sudo) and fetches
# from Debian's archive only. Exits non-zero when a step fails; a step that
# failed is done again by the next run.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
out=${ROUTER_TOOLCHAIN_DIR:-$top/build/router-toolchain}
test_runtime=${ROUTER_TEST_RUNTIME:-0}
for arg in "$@"; do
    case $arg in
    --test-runtime) test_runtime=1 ;;
    *) echo "usage: $0 [--test-runtime]" >&2; exit 2 ;;
    esac
done
jobs=$(nproc 2>/dev/null || echo 2)

# Bump when the recipe changes: every step is then done again.
recipe=3
triple=mips-linux-gnu
ldso=/lib/ld-musl-mips-sf.so.1

# What OpenWrt's gcc for these routers has as defaults: musl, soft float
# (--with-float=soft), PLT calls from non-PIC code (--with-mips-plt), no PIE
# (Debian's gcc makes PIE by default).
cc_defaults="-mmusl -msoft-float -mplt -fno-pie"
# OpenWrt's TARGET_CFLAGS for ath79 (24kc CPU type, soft float): its C
# library and libgcc are built with them too. See cmake/router-mips-musl.cmake.
target_cflags="-Os -pipe -mno-branch-likely -mips32r2 -mtune=24kc -fno-caller-saves -fno-plt -msoft-float"

started=$(date +%s)
say() { echo "router-toolchain: [$(($(date +%s) - started)) s] $*"; }
die() { echo "router-toolchain: $*" >&2; exit 1; }

"$top/scripts/deps.sh" gcc-mips-linux-gnu g++-mips-linux-gnu binutils-mips-linux-gnu \
    linux-libc-dev-mips-cross qemu-user dpkg-dev xz-utils make

mkdir -p "$out"
out=$(cd "$out" && pwd)

pkg_version() { dpkg-query -W -f='${Version}' "$1"; }
# A step is redone when its key changes: the recipe, the Debian packages it
# builds from and where the toolchain lives (the driver files hold absolute
# paths).
key="recipe=$recipe out=$out gcc=$(pkg_version gcc-12-mips-linux-gnu) g++=$(pkg_version g++-12-mips-linux-gnu)"
key="$key binutils=$(pkg_version binutils-mips-linux-gnu) uapi=$(pkg_version linux-libc-dev-mips-cross)"
done_already() { # step
    [ -f "$out/.done-$1" ] && [ "$(cat "$out/.done-$1")" = "$key" ]
}
mark_done() { # step
    printf '%s' "$key" >"$out/.done-$1"
}

src=$out/src
work=$out/work
root=$out/root
gcclib=$out/lib/gcc
nocxx=$out/lib/no-cxx
gccinc=$("$triple-gcc" -print-file-name=include)
[ -d "$gccinc" ] || die "no include directory of $triple-gcc"

# 1. Sources from Debian's archive: musl's source package and gcc-12-source,
# through an apt state of our own whose sources list has the machine's
# Debian suites as deb and deb-src lines.
apt_private() {
    apt-get -q -o Dir::Etc::SourceList="$out/apt/sources.list" \
        -o Dir::Etc::SourceParts="$out/apt/sources.list.d" \
        -o Dir::State::Lists="$out/apt/lists" -o Dir::Cache="$out/apt/cache" \
        -o APT::Sandbox::User=root "$@"
}
fetch_sources() {
    rm -rf "$out/apt" "$src"
    mkdir -p "$out/apt/sources.list.d" "$out/apt/lists/partial" "$out/apt/cache/archives/partial" "$src"
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' |
        sort -u | awk -v c="$codename" '$2 == c || index($2, c "-") == 1 {
            print "deb " $0; print "deb-src " $0 }' >"$out/apt/sources.list"
    [ -s "$out/apt/sources.list" ] || die "no $codename suite in the machine's apt sources"
    apt_private update >"$out/apt/update.log" 2>&1 || {
        cat "$out/apt/update.log" >&2
        die "apt-get update of the private state failed"
    }
    (cd "$src" && apt_private source --download-only musl && apt_private download gcc-12-source) \
        >"$out/apt/fetch.log" 2>&1 || {
        cat "$out/apt/fetch.log" >&2
        die "fetching musl's source package or gcc-12-source failed"
    }
}
if ! [ -f "$out/.done-sources" ]; then
    say "fetching musl's source package and gcc-12-source"
    fetch_sources
    touch "$out/.done-sources"
fi

# 2. Unpacked: musl whole, of gcc the parts that are used.
if ! done_already unpack; then
    say "unpacking"
    rm -rf "$work"
    mkdir -p "$work"
    dsc=$(ls "$src"/musl_*.dsc)
    dpkg-source --no-check -x "$dsc" "$work/musl" >/dev/null
    dpkg-deb --fsys-tarfile "$src"/gcc-12-source_*_all.deb |
        tar -xOf - --wildcards './usr/src/gcc-12/gcc-*.tar.xz' >"$work/gcc.tar.xz"
    mkdir "$work/gcc"
    tar -xJf "$work/gcc.tar.xz" -C "$work/gcc" --strip-components=1 --wildcards \
        'gcc-*/libgcc/*' 'gcc-*/libstdc++-v3/*' 'gcc-*/include/*' 'gcc-*/config/*' \
        'gcc-*/gcc/tsystem.h' 'gcc-*/gcc/coretypes.h' 'gcc-*/gcc/BASE-VER' 'gcc-*/gcc/DATESTAMP' \
        'gcc-*/config.guess' 'gcc-*/config.sub' 'gcc-*/config-ml.in' 'gcc-*/install-sh' \
        'gcc-*/ltmain.sh' 'gcc-*/missing' 'gcc-*/mkinstalldirs' 'gcc-*/move-if-change' \
        'gcc-*/libiberty/cp-demangle.*'
    rm "$work/gcc.tar.xz"
    mark_done unpack
fi
gsrc=$work/gcc

# 3. musl's headers first: libgcc's routines are compiled against them. Its
# shared library only (OpenWrt links dynamically), which halves its build.
if ! done_already musl-headers; then
    say "configuring musl"
    rm -rf "$root" "$work/musl-build"
    cp -a "$work/musl" "$work/musl-build"
    (cd "$work/musl-build" &&
        ./configure --target=$triple --prefix=/usr --syslibdir=/lib --disable-wrapper --disable-static \
            CROSS_COMPILE=$triple- CC=$triple-gcc CFLAGS="$cc_defaults $target_cflags" \
            LIBCC="$gcclib/libgcc.a" >../musl-configure.log 2>&1) || {
        cat "$work/musl-configure.log" >&2
        die "configuring musl failed"
    }
    grep -q '^SUBARCH = -sf$' "$work/musl-build/config.mak" || die "musl did not configure as mips-sf"
    make -C "$work/musl-build" -s install-headers DESTDIR="$root" >/dev/null
    mark_done musl-headers
fi

# Builds the named objects of libgcc from gcc's sources into DIR, as libgcc's
# own Makefile does (CFLAGS first, then its -O2 and the rest). libgcc's
# configure and gcc's build would generate tconfig.h, tm.h and libgcc_tm.h:
# with -fbuilding-libgcc the compiler predefines what these routines take from
# them, so the few lines below stand in for them.
libgcc_objects() { # dir kind(softfp|libgcc2|eh) names...
    dir=$1 kind=$2
    shift 2
    mkdir -p "$dir/gen"
    # gcc's configure finds these for a Linux target with GNU ld
    # (auto-host.h); libgcc's (auto-target.h) the next.
    printf '%s\n' '#define USED_FOR_TARGET 1' '#define HAVE_GAS_HIDDEN 1' '#define HAVE_LD_EH_FRAME_HDR 1' \
        '#define TARGET_DL_ITERATE_PHDR 1' >"$dir/gen/tconfig.h"
    printf '%s\n' '#define HAVE_GETIPINFO 1' '#define HAVE_CC_TLS 1' '#define SIZEOF_DOUBLE 8' \
        '#define SIZEOF_LONG_DOUBLE 8' >"$dir/gen/auto-target.h"
    # The target's: words of 4 bytes (o32); gcc's default for the register
    # column map, which MIPS keeps.
    printf '%s\n' '#define MIN_UNITS_PER_WORD 4' '#define DWARF_REG_TO_UNWIND_COLUMN(REGNO) (REGNO)' >"$dir/gen/tm.h"
    : >"$dir/gen/libgcc_tm.h"
    # What libgcc's configure links in for mips*-linux.
    cp "$gsrc/libgcc/unwind-generic.h" "$dir/gen/unwind.h"
    cp "$gsrc/libgcc/gthr-posix.h" "$dir/gen/gthr-default.h"
    cp "$gsrc/libgcc/config/mips/linux-unwind.h" "$dir/gen/md-unwind-support.h"
    flags="$cc_defaults $target_cflags -O2 -g0 -DIN_GCC -DIN_LIBGCC2 -fbuilding-libgcc -fno-stack-protector"
    # -fPIC: gcc's t-libgcc-pic for Linux; musl links libgcc.a into libc.so.
    flags="$flags -fPIC -fvisibility=hidden -DHIDE_EXPORTS -DHAVE_CC_TLS -nostdinc -isystem $gccinc -isystem $root/usr/include"
    flags="$flags -I$dir/gen -I$gsrc/libgcc -I$gsrc/libgcc/config/mips -I$gsrc/gcc -I$gsrc/include"
    case $kind in
    softfp) flags="$flags -I$gsrc/libgcc/soft-fp -Wno-missing-prototypes -Wno-type-limits" ;;
    eh) flags="$flags -fexceptions" ;;
    esac
    for name in "$@"; do
        case $kind in
        softfp) echo "$name $gsrc/libgcc/soft-fp/$name.c" ;;
        libgcc2) echo "$name $gsrc/libgcc/libgcc2.c -DL$name" ;;
        eh) echo "$name $gsrc/libgcc/$name.c" ;;
        esac
    done >"$dir/$kind.list"
    # shellcheck disable=SC2016
    xargs -P "$jobs" -L 1 sh -c 'cc=$0 flags=$1 dir=$2 name=$3 source=$4; shift 4
        exec "$cc" $flags "$@" -c "$source" -o "$dir/$name.o"' \
        "$triple-gcc" "$flags" "$dir" <"$dir/$kind.list" 2>"$dir/$kind.log" &&
        ! grep -q . "$dir/$kind.log" || {
        cat "$dir/$kind.log" >&2
        die "compiling libgcc's $kind routines failed"
    }
}
# The list of functions libgcc's own makefiles give a soft-float MIPS build.
softfp_functions() {
    printf 'include %s\ninclude %s\nlist: ; @echo $(softfp_func_list)\n' \
        "$gsrc/libgcc/config/t-softfp-sfdf" "$gsrc/libgcc/config/t-softfp" |
        make -s -f - list srcdir="$gsrc/libgcc"
}
# Members of an archive (or objects) holding FPU instructions, one name a line.
fpu_members() { # files...
    "$triple-objdump" -d "$@" | awk '
        /^[^ \t].*:[ \t]+file format/ { sub(/:[ \t]+file format.*/, ""); sub(/.*\//, ""); m = $0; next }
        /^[ \t]+[0-9a-f]+:\t/ {
            n = split($0, f, "\t"); if (n < 3) next
            op = f[3]
            if (op ~ /^(mtc1|mfc1|mthc1|mfhc1|ctc1|cfc1|[ls][wd]x?c1|bc1[tf]l?)$/ ||
                op ~ /^[a-z0-9]+\.[sdwlp](\.[sdwl])?$/ || op ~ /^c\.[a-z]+\.[sd]$/) {
                if (!(m in seen)) { seen[m] = 1; print m }
            }
        }'
}
# 4. The soft-float libgcc, and gcc's crtbegin/crtend without float marks.
if ! done_already libgcc; then
    say "building the soft-float libgcc"
    rm -rf "$gcclib" "$work/libgcc"
    mkdir -p "$gcclib" "$work/libgcc/debian"
    # shellcheck disable=SC2046
    libgcc_objects "$work/libgcc/soft" softfp $(softfp_functions)
    # libgcc2.c's routines that compute in float: complex multiply and
    # divide, integer powers.
    libgcc_objects "$work/libgcc/soft" libgcc2 _powisf2 _powidf2 _mulsc3 _muldc3 _divsc3 _divdc3
    soft_objects=$(cat "$work/libgcc/soft/softfp.list" "$work/libgcc/soft/libgcc2.list" |
        sed "s,^\([^ ]*\) .*,$work/libgcc/soft/\1.o,")
    [ -z "$(fpu_members $soft_objects)" ] || die "a soft-float libgcc routine holds FPU instructions"

    debian_libgcc=$("$triple-gcc" -print-libgcc-file-name)
    members=$("$triple-ar" t "$debian_libgcc")
    [ -z "$(echo "$members" | sort | uniq -d)" ] || die "Debian's libgcc.a has members of the same name"
    (cd "$work/libgcc/debian" && "$triple-ar" x "$debian_libgcc")
    # Debian's members that the soft routines replace: those defining a
    # symbol that a soft member defines (hardfp's nesf2.o goes with soft
    # eqsf2.o, libgcc2's _fixunsdfsi.o with soft-fp's).
    # shellcheck disable=SC2086
    replaced=$( ("$triple-nm" -g --defined-only $soft_objects 2>/dev/null | awk 'NF == 3 { print "soft", $3 }'
        "$triple-nm" -A -g --defined-only "$debian_libgcc" 2>/dev/null | awk 'NF == 3 { n = split($1, p, ":"); print p[n - 1], $3 }') |
        awk '$1 == "soft" { soft[$2] = 1; next } ($2 in soft) && !($1 in seen) { seen[$1] = 1; print $1 }' |
        tr '\n' ' ')
    # Hard-float code no soft routine replaces (MIPS16 hard-float stubs,
    # fixed-point to float conversions): unusable with -msoft-float, left out.
    hard=""
    # shellcheck disable=SC2086
    for m in $(cd "$work/libgcc/debian" && fpu_members $members); do
        case " $replaced " in *" $m "*) ;; *) hard="$hard $m" ;; esac
    done
    kept=""
    for m in $members; do
        case " $replaced $hard " in *" $m "*) ;; *) kept="$kept $m" ;; esac
    done
    # shellcheck disable=SC2086
    (cd "$work/libgcc/debian" && "$triple-ar" rc "$gcclib/libgcc.a" $kept)
    "$triple-objcopy" -R .gnu.attributes -R .MIPS.abiflags "$gcclib/libgcc.a"
    # shellcheck disable=SC2086
    "$triple-ar" rcs "$gcclib/libgcc.a" $soft_objects
    {
        echo "replaced by soft-float routines: $replaced"
        echo "left out (hard-float code, no soft replacement):$hard"
    } >"$work/libgcc/members.txt"
    say "libgcc: $(echo $replaced | wc -w) of Debian's members replaced, $(echo $hard | wc -w) hard-float ones left out"

    for f in crtbegin.o crtbeginS.o crtbeginT.o crtend.o crtendS.o; do
        cp "$("$triple-gcc" -print-file-name=$f)" "$gcclib/$f"
    done
    [ -z "$(cd "$gcclib" && fpu_members crt*.o)" ] || die "gcc's crtbegin/crtend hold FPU instructions"
    for f in "$gcclib"/crt*.o; do
        "$triple-objcopy" -R .gnu.attributes -R .MIPS.abiflags "$f"
    done
    mark_done libgcc
fi

# 5. musl, linked with that libgcc; the loader beside it in root/lib.
if ! done_already musl; then
    say "building musl"
    make -C "$work/musl-build" -s -j "$jobs" >"$work/musl-build.log" 2>&1 || {
        tail -40 "$work/musl-build.log" >&2
        die "building musl failed"
    }
    make -C "$work/musl-build" -s install DESTDIR="$root" >/dev/null
    # Relative, so that it holds under qemu's -L and in any copy of root/.
    ln -sf ../usr/lib/libc.so "$root$ldso"
    [ -z "$(fpu_members "$root/usr/lib/libc.so")" ] || die "musl's libc.so holds FPU instructions"
    mark_done musl
fi

# 6. The kernel's uapi headers, as OpenWrt's staging directory has them.
if ! done_already uapi; then
    say "adding the kernel headers"
    dpkg -L linux-libc-dev-mips-cross | sed -n "s,^/usr/$triple/include/,,p" |
        while IFS= read -r f; do
            [ -f "/usr/$triple/include/$f" ] && printf '%s\n' "$f"
        done >"$work/uapi.list"
    tar -C "/usr/$triple/include" -cf - -T "$work/uapi.list" | tar -C "$root/usr/include" -xf -
    mark_done uapi
fi

# 7. C++ headers, the empty C++ runtime, the driver file and the compiler
# wrappers.
if ! done_already driver; then
    say "writing the driver file and the compiler wrappers"
    # The cross g++'s libstdc++ directories (c++/12, its target directory,
    # backward), with libstdc++'s generic os/ and locale/ headers in between:
    # what a libstdc++ configured for musl installs in its target directory.
    cxxdirs=$("$triple-g++" -xc++ -E -v - </dev/null 2>&1 | sed -n 's,^ \(/[^ ]*/c++/[^ ]*\)$,\1,p')
    [ "$(echo "$cxxdirs" | wc -l)" -eq 3 ] || die "unexpected C++ include directories: $cxxdirs"
    overlay=$out/include/c++-musl
    rm -rf "$overlay"
    mkdir -p "$overlay/bits"
    for f in os_defines.h ctype_base.h ctype_inline.h error_constants.h; do
        cp "$gsrc/libstdc++-v3/config/os/generic/$f" "$overlay/bits/$f"
    done
    cp "$gsrc/libstdc++-v3/config/locale/generic/c_locale.h" "$overlay/bits/c++locale.h"
    cp "$gsrc/libstdc++-v3/config/locale/generic/messages_members.h" "$overlay/bits/messages_members.h"
    cp "$gsrc/libstdc++-v3/config/locale/generic/time_members.h" "$overlay/bits/time_members.h"
    cxx_includes=""
    n=0
    for d in $cxxdirs; do
        d=$(realpath "$d")
        cxx_includes="$cxx_includes -isystem $d"
        n=$((n + 1))
        [ $n -eq 1 ] && cxx_includes="$cxx_includes -isystem $overlay"
    done

    rm -rf "$nocxx"
    mkdir -p "$nocxx"
    "$triple-ar" rc "$nocxx/libstdc++.a"

    lib=$root/usr/lib
    # cc1 options reach C and C++ alike; the C library's directories go
    # -idirafter, behind the -isystem directories of libstdc++ (cc1plus),
    # whose headers #include_next the C library's.
    cat >"$out/router.driver" <<EOF
%rename cc1 router_base_cc1
%rename cc1plus router_base_cc1plus

*router_cxx_includes:
$cxx_includes

*router_cxx_libdir:
-L $nocxx

*cc1:
%(router_base_cc1) -nostdinc -idirafter $gccinc -idirafter $root/usr/include

*cc1plus:
%(router_base_cc1plus) %(router_cxx_includes)

*link_libgcc:
%(router_cxx_libdir) -L $lib -L $gcclib

*libgcc:
-lgcc

*lib:
%{pthread:-lpthread} -lc

*startfile:
%{!shared:%{static-pie:$lib/rcrt1.o;pie:$lib/Scrt1.o;:$lib/crt1.o}} $lib/crti.o %{static:$gcclib/crtbeginT.o;shared|pie|static-pie:$gcclib/crtbeginS.o;:$gcclib/crtbegin.o}

*endfile:
%{static:$gcclib/crtend.o;shared|pie|static-pie:$gcclib/crtendS.o;:$gcclib/crtend.o} $lib/crtn.o

*link:
-nostdlib %{!static|static-pie:--eh-frame-hdr} %{G*} %{EB} %{EL} %{mips*} %{shared} %{!shared:%{!static:%{rdynamic:-export-dynamic} -dynamic-linker $ldso} %{static}} -melf32btsmip

EOF

    mkdir -p "$out/bin"
    for lang in gcc g++; do
        cat >"$out/bin/mips-linux-musl-$lang" <<EOF
#!/bin/sh
# Written by scripts/router-toolchain.sh: Debian's $triple-$lang for musl,
# with the defaults of OpenWrt's compiler for these routers.
exec $triple-$lang -specs=$out/router.driver $cc_defaults -no-pie "\$@"
EOF
        chmod +x "$out/bin/mips-linux-musl-$lang"
    done
    ln -sf mips-linux-musl-gcc "$out/bin/mips-linux-musl-cc"
    ln -sf mips-linux-musl-g++ "$out/bin/mips-linux-musl-c++"
    for tool in addr2line ar as ld nm objcopy objdump ranlib readelf size strings strip; do
        ln -sf "$(command -v "$triple-$tool")" "$out/bin/mips-linux-musl-$tool"
    done
    mark_done driver
fi

# 8. A check of the whole: C and C++ programs that link only musl's libc and
# run under qemu-mips; the C++ runtime stays out of reach.
if ! done_already check; then
    say "checking the toolchain"
    chk=$work/check
    rm -rf "$chk"
    mkdir -p "$chk"
    cat >"$chk/c.c" <<'EOF'
#include <stdio.h>
#include <stdlib.h>
int main(int argc, char **argv)
{
    volatile double ms = argc * 1500.25; /* __floatsidf, __muldf3, then __divdf3 */
    printf("%.2f %s\n", ms / 1000.0, argc > 1 ? argv[1] : "-");
    return 0;
}
EOF
    cat >"$chk/cxx.cpp" <<'EOF'
#include <cstdio>
#include <cstring>
#include <iterator>
int main()
{
    static const char word[] = "router";
    std::printf("%zu %d\n", std::size(word), (int)std::strlen(word));
    return 0;
}
EOF
    printf '#include <string>\nint main(){ std::string s("x"); return (int)s.size() - 1; }\n' >"$chk/runtime.cpp"
    cc="$out/bin/mips-linux-musl-gcc"
    cxx="$out/bin/mips-linux-musl-g++"
    $cc $target_cflags -Werror -o "$chk/c" "$chk/c.c" 2>"$chk/log" || { cat "$chk/log" >&2; die "C check failed"; }
    $cxx $target_cflags -Werror -fno-exceptions -fno-rtti -o "$chk/cxx" "$chk/cxx.cpp" 2>"$chk/log" ||
        { cat "$chk/log" >&2; die "C++ check failed"; }
    $cxx $target_cflags -c -o "$chk/runtime.o" "$chk/runtime.cpp" 2>"$chk/log" ||
        { cat "$chk/log" >&2; die "C++ check failed"; }
    if $cxx -o "$chk/runtime" "$chk/runtime.o" >"$chk/log" 2>&1 || ! grep -q 'undefined reference' "$chk/log"; then
        cat "$chk/log" >&2
        die "a program using the C++ runtime did not fail to link: the empty libstdc++.a is not in force"
    fi
    [ -z "$(fpu_members "$chk/c" "$chk/cxx")" ] || die "a check program holds FPU instructions"
    for p in c cxx; do
        interp=$("$triple-readelf" -l "$chk/$p" | sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p')
        needed=$("$triple-readelf" -d "$chk/$p" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
        [ "$interp" = "$ldso" ] && [ "$needed" = "libc.so " ] ||
            die "$p: interpreter '$interp', needs '$needed'"
    done
    qemu=$(command -v qemu-mips)
    got=$("$qemu" -L "$root" "$chk/c" x; "$qemu" -L "$root" "$chk/cxx")
    [ "$got" = "3.00 x
7 6" ] || die "the check programs printed: $got"
    mark_done check
fi

# 9. Optional: the C++ runtime of the unit tests. libgcc's unwinder and
# libstdc++ (configured for mips-linux-musl: its generic os/ and locale/
# models) from gcc-12-source, soft float, static, into test-runtime/. Test
# programs take them through test-runtime.driver, which puts libstdc++'s own
# headers and libraries in place of the cross g++'s headers and the empty
# library.
if [ "$test_runtime" = 1 ] && ! done_already test-runtime; then
    say "building the test runtime: libgcc's unwinder and libstdc++ (a few minutes)"
    tr=$out/test-runtime
    trw=$work/test-runtime
    rm -rf "$tr" "$trw"
    mkdir -p "$tr/lib" "$trw/libstdc++"
    libgcc_objects "$trw/eh" eh unwind-dw2 unwind-dw2-fde-dip unwind-sjlj unwind-c emutls
    "$triple-ar" rcs "$tr/lib/libgcc_eh.a" "$trw/eh"/*.o
    [ -z "$(fpu_members "$tr/lib/libgcc_eh.a")" ] || die "the unwinder holds FPU instructions"

    # One string ABI, the new one, as OpenWrt configures its libstdc++; no
    # precompiled headers, no <experimental/filesystem> library: less to
    # build. While libstdc++ builds, its own headers are its C++ headers. Its
    # threads take libgcc's gthr-posix.h from ../libgcc, as in gcc's tree.
    printf '*router_cxx_includes:\n\n\n' >"$trw/build.driver"
    mkdir -p "$trw/libgcc"
    cp "$gsrc/libgcc/gthr-posix.h" "$trw/libgcc/gthr-default.h"
    (cd "$trw/libstdc++" && PATH="$out/bin:$PATH" && export PATH &&
        "$gsrc/libstdc++-v3/configure" --host=mips-linux-musl --build="$(sh "$gsrc/config.guess")" \
            --prefix="$tr" --with-gxx-include-dir="$tr/include/c++" --disable-shared --enable-static \
            --disable-multilib --disable-nls --disable-libstdcxx-pch --disable-libstdcxx-filesystem-ts \
            --disable-libstdcxx-dual-abi --with-default-libstdcxx-abi=new \
            CC=mips-linux-musl-gcc CXX="mips-linux-musl-g++ -specs=$trw/build.driver" \
            CFLAGS="$target_cflags -g0" CXXFLAGS="$target_cflags -g0" >../configure.log 2>&1 &&
        say "libstdc++ configured, building" &&
        make -j "$jobs" >../make.log 2>&1 && make install >../install.log 2>&1) || {
        tail -40 "$trw/configure.log" "$trw/make.log" "$trw/install.log" 2>/dev/null >&2
        die "building libstdc++ failed (logs in $trw)"
    }
    grep -q '^#define _GLIBCXX_HAS_GTHREADS 1' "$tr/include/c++/mips-linux-musl/bits/c++config.h" ||
        die "libstdc++ was configured without threads"
    {
        printf '*router_cxx_includes:\n-isystem %s -isystem %s -isystem %s\n\n' "$tr/include/c++" \
            "$tr/include/c++/mips-linux-musl" "$tr/include/c++/backward"
        printf '*router_cxx_libdir:\n-L %s\n\n' "$tr/lib"
        printf '*libgcc:\n-lgcc_eh -lgcc\n\n'
    } >"$tr/test-runtime.driver"

    chk=$trw/check
    mkdir -p "$chk"
    printf '%s\n' '#include <iostream>' '#include <sstream>' '#include <stdexcept>' \
        'int main()' '{' '    try {' '        throw std::runtime_error("caught");' \
        '    } catch (const std::exception &e) {' '        std::ostringstream text;' \
        "        text << e.what() << ' ' << 42;" '        std::cout << text.str() << std::endl;' \
        '    }' '    return 0;' '}' >"$chk/runtime.cpp"
    # shellcheck disable=SC2086
    "$out/bin/mips-linux-musl-g++" -specs="$tr/test-runtime.driver" $target_cflags -Werror \
        -o "$chk/runtime" "$chk/runtime.cpp" 2>"$chk/log" || {
        cat "$chk/log" >&2
        die "a program could not link the test runtime"
    }
    got=$(qemu-mips -L "$root" "$chk/runtime")
    [ "$got" = "caught 42" ] || die "the test runtime's check printed: $got"
    mark_done test-runtime
fi

say "ready in $(($(date +%s) - started)) s: $out/bin/mips-linux-musl-gcc, qemu-mips -L $root"
