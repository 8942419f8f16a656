#!/bin/sh
# SPDX-License-Identifier: ISC
# Fails when a program links libgcc's soft-float routines: on a router
# without an FPU every double or float operation of the program's own code
# becomes one of these calls (and kilobytes of flash). The C library's own
# conversions (strtof, printf) live in libc.so and do not count.
#
#   check_no_soft_float.sh NM PROGRAM...
nm=$1
shift
status=0
for prog in "$@"; do
    found=$("$nm" "$prog" | awk '{ print $NF }' |
        grep -E '^__(add|sub|mul|div|neg)[sdt]f3$|^__(eq|ne|lt|le|gt|ge|un|cmp)[sdt]f2$|^__(extend|trunc)[sdt]f[sdt]f2$|^__fix(uns)?[sdt]f[sdt]i$|^__float(un)?[sdt]i[sdt]f$|^__(pow|mul|div)[sdt]c3$|^__powi[sdt]f2$' |
        sort -u | tr '\n' ' ')
    if [ -n "$found" ]; then
        echo "$prog links soft-float routines: $found"
        status=1
    else
        echo "$(basename "$prog"): no soft-float routines"
    fi
done
exit $status
