# SPDX-License-Identifier: ISC
# Toolchain file for the router build: big-endian MIPS 24Kc, soft float,
# musl, with the flags an OpenWrt package build for ath79 passes. The
# toolchain comes from scripts/router-toolchain.sh (Debian's packages only):
#
#   scripts/router-toolchain.sh [--test-runtime]
#   cmake -S . -B build/router -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/router-mips-musl.cmake
#
# ROUTER_TOOLCHAIN_DIR is where that script built it (default
# build/router-toolchain beside this file). CTest runs the target's programs
# under qemu-mips with the toolchain's root/ as their root (-L). The shipped
# programs link no C++ runtime library; the unit tests link the one that
# --test-runtime builds (TARNWICK_TEST_CXX_OPTIONS, tests/CMakeLists.txt).
#
# Where the flags come from, in an OpenWrt build of packaging/openwrt
# (include/cmake.mk runs CMake with CFLAGS and CXXFLAGS = TARGET_CFLAGS):
#   -Os -pipe -mno-branch-likely   CPU_CFLAGS of include/target.mk
#   -mips32r2 -mtune=24kc          CPU_CFLAGS_24kc, ath79's CPU type
#   -fno-caller-saves -fno-plt     EXTRA_OPTIMIZATION (-fno-plt changes
#                                  nothing on MIPS with gcc 12)
#   -msoft-float                   rules.mk, for targets without an FPU
#   -fstack-protector, -Wformat -Werror=format-security, -z now -z relro
#                                  include/hardening.mk with OpenWrt's
#                                  default choices (regular stack
#                                  protector, format checks, full RELRO);
#                                  ROUTER_HARDENING=OFF leaves them out
#   -DNDEBUG                       cmake.mk: CMAKE_BUILD_TYPE=Release with
#                                  CMAKE_<LANG>_FLAGS_RELEASE=-DNDEBUG; here
#                                  Release and MinSizeRel both get just that
#   CMAKE_SKIP_RPATH               cmake.mk
#   no PIE                         hardening.mk gives PIE only to packages
#                                  that ask for it (PKG_ASLR_PIE_REGULAR)
# and from OpenWrt's compiler itself, which the wrappers of
# scripts/router-toolchain.sh copy: musl, soft float (--with-float=soft),
# -mplt (--with-mips-plt: without it non-PIC code calls every function
# through the GOT), no PIE by default.
# Left out: -fhonour-copts (a patch of OpenWrt's gcc that Debian's lacks),
# -D_FORTIFY_SOURCE=1 (it takes effect through OpenWrt's fortify-headers
# package, which Debian does not have; musl alone ignores it), the
# -fmacro-prefix-map of the package's build directory (the project maps
# __FILE__ itself).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

# try_compile reads this file again: hand it the settings given on the
# command line.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ROUTER_TOOLCHAIN_DIR ROUTER_HARDENING)
if(NOT ROUTER_TOOLCHAIN_DIR)
  get_filename_component(ROUTER_TOOLCHAIN_DIR "${CMAKE_CURRENT_LIST_DIR}/../build/router-toolchain" ABSOLUTE)
endif()
if(NOT DEFINED ROUTER_HARDENING)
  set(ROUTER_HARDENING ON)
endif()
set(ROUTER_ROOT ${ROUTER_TOOLCHAIN_DIR}/root)

if(NOT EXISTS ${ROUTER_TOOLCHAIN_DIR}/bin/mips-linux-musl-gcc)
  message(FATAL_ERROR "no router toolchain in ${ROUTER_TOOLCHAIN_DIR}: run scripts/router-toolchain.sh "
                      "(or set ROUTER_TOOLCHAIN_DIR)")
endif()
set(CMAKE_C_COMPILER ${ROUTER_TOOLCHAIN_DIR}/bin/mips-linux-musl-gcc)
set(CMAKE_CXX_COMPILER ${ROUTER_TOOLCHAIN_DIR}/bin/mips-linux-musl-g++)
# ar, ranlib, strip and the rest: CMake takes those beside the compilers,
# with their prefix.

set(_router_cflags "-Os -pipe -mno-branch-likely -mips32r2 -mtune=24kc -fno-caller-saves -fno-plt -msoft-float")
set(_router_ldflags "")
if(ROUTER_HARDENING)
  string(APPEND _router_cflags " -Wformat -Werror=format-security -fstack-protector -Wl,-z,now -Wl,-z,relro")
  set(_router_ldflags "-znow -zrelro")
endif()
set(CMAKE_C_FLAGS_INIT "${_router_cflags}")
set(CMAKE_CXX_FLAGS_INIT "${_router_cflags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_router_ldflags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_router_ldflags}")
# The project's default build type is MinSizeRel; CMake's own flags for it
# (-Os -DNDEBUG) would repeat -Os. These entries are made before CMake's.
foreach(_lang C CXX)
  foreach(_config RELEASE MINSIZEREL)
    set(CMAKE_${_lang}_FLAGS_${_config} "-DNDEBUG" CACHE STRING "Flags of the ${_config} build type (router build: as OpenWrt)")
  endforeach()
endforeach()
set(CMAKE_SKIP_RPATH ON)

# Libraries and headers only from the target's root (and any roots the
# caller adds, e.g. a cross-built libuci with TARNWICK_LIBUCI_PREFIX).
if(NOT ROUTER_ROOT IN_LIST CMAKE_FIND_ROOT_PATH)
  list(APPEND CMAKE_FIND_ROOT_PATH ${ROUTER_ROOT})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(ROUTER_QEMU NAMES qemu-mips qemu-mips-static)
if(ROUTER_QEMU)
  # -L: the root holding lib/ld-musl-mips-sf.so.1.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ROUTER_QEMU} -L ${ROUTER_ROOT})
endif()

# The test programs alone link a C++ runtime library: libstdc++ and libgcc's
# unwinder built for this target by scripts/router-toolchain.sh
# --test-runtime.
set(_router_test_driver ${ROUTER_TOOLCHAIN_DIR}/test-runtime/test-runtime.driver)
if(EXISTS ${_router_test_driver})
  set(TARNWICK_TEST_CXX_OPTIONS -specs=${_router_test_driver})
else()
  get_property(_router_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
  get_property(_router_told GLOBAL PROPERTY ROUTER_TOLD_NO_TEST_RUNTIME)
  if(NOT _router_in_try_compile AND NOT _router_told)
    set_property(GLOBAL PROPERTY ROUTER_TOLD_NO_TEST_RUNTIME ON)
    message(STATUS "router toolchain without its test runtime: the shipped programs build, the unit "
                   "tests do not link (scripts/router-toolchain.sh --test-runtime builds it)")
  endif()
endif()
