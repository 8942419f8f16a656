# SPDX-License-Identifier: ISC
# Chooses how the settings are read: through libuci (the router's own
# library) or through the project's built-in reader of the UCI file syntax.
#   TARNWICK_UCI=auto     libuci where it is found, else built-in
#   TARNWICK_UCI=libuci   libuci or a configure error
#   TARNWICK_UCI=builtin  always the built-in reader
# TARNWICK_LIBUCI_PREFIX (or CMAKE_PREFIX_PATH) points at a libuci install.

if(NOT TARNWICK_UCI MATCHES "^(auto|libuci|builtin)$")
  message(FATAL_ERROR "TARNWICK_UCI must be auto, libuci or builtin, not '${TARNWICK_UCI}'")
endif()

set(TARNWICK_UCI_BACKEND builtin)
if(NOT TARNWICK_UCI STREQUAL "builtin")
  set(_hints)
  if(TARNWICK_LIBUCI_PREFIX)
    set(_hints HINTS ${TARNWICK_LIBUCI_PREFIX})
  endif()
  find_path(LIBUCI_INCLUDE_DIR uci.h ${_hints} PATH_SUFFIXES include)
  find_library(LIBUCI_LIBRARY uci ${_hints} PATH_SUFFIXES lib)
  # A static libuci may need libubox for its blob helpers; link it when present.
  find_library(LIBUBOX_LIBRARY ubox ${_hints} PATH_SUFFIXES lib)
  if(LIBUCI_INCLUDE_DIR AND LIBUCI_LIBRARY)
    set(TARNWICK_UCI_BACKEND libuci)
  elseif(TARNWICK_UCI STREQUAL "libuci")
    message(FATAL_ERROR "TARNWICK_UCI=libuci but uci.h or libuci was not found "
                        "(set TARNWICK_LIBUCI_PREFIX)")
  endif()
endif()
message(STATUS "UCI backend: ${TARNWICK_UCI_BACKEND}")
