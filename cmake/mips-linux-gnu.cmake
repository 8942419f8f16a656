# SPDX-License-Identifier: ISC
# Toolchain file for big-endian 32-bit MIPS with Debian's cross compilers
# (packages gcc-mips-linux-gnu and g++-mips-linux-gnu):
#
#   cmake -S . -B build/mips -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake
#
# Libraries and headers are looked up only in the target's tree
# (/usr/mips-linux-gnu) and in any further roots the caller lists, e.g. a
# cross-built libuci: -DCMAKE_FIND_ROOT_PATH=/path/to/prefix together with
# -DTARNWICK_LIBUCI_PREFIX=/path/to/prefix. Where qemu-mips is installed
# (package qemu-user), CTest and gtest_discover_tests run the target's
# programs through it.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(MIPS_TRIPLE mips-linux-gnu)
set(MIPS_SYSROOT /usr/${MIPS_TRIPLE})

set(CMAKE_C_COMPILER ${MIPS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MIPS_TRIPLE}-g++)
# ar, ranlib and strip: CMake takes the ones with the compilers' prefix.

# This file is read again for every try_compile: add the target tree once.
if(NOT MIPS_SYSROOT IN_LIST CMAKE_FIND_ROOT_PATH)
  list(APPEND CMAKE_FIND_ROOT_PATH ${MIPS_SYSROOT})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(MIPS_QEMU qemu-mips)
if(MIPS_QEMU)
  # -L: the target's dynamic loader and C library.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MIPS_QEMU} -L ${MIPS_SYSROOT})
endif()
