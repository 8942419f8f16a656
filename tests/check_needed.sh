#!/bin/sh
# SPDX-License-Identifier: ISC
# Fails when a program needs a shared library other than the C library
# (glibc's libc.so.6 or musl's libc.so; libuci and libubox are allowed: the
# router's own UCI library).
status=0
for prog in "$@"; do
    needed=$(readelf -d "$prog" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    for lib in $needed; do
        case $lib in
        libc.so|libc.so.*|libuci.so*|libubox.so*|ld-linux*|ld.so*) ;; # musl's soname is libc.so
        *) echo "$prog needs $lib"; status=1 ;;
        esac
    done
    echo "$(basename "$prog"): $(echo $needed)"
done
exit $status
