# SPDX-License-Identifier: MIT
# The hardening every Debian package is built with, for the program that
# parses what a USB device sends: fortified functions, the stack protector,
# stack clash and control-flow protection, read-only relocations with
# immediate binding, and a position-independent executable.
# On Linux the flags are what this distribution's dpkg-buildflags gives for
# hardening=+all, less its optimisation, debug and path-mapping flags, which
# the build sets itself; mingw-w64 gets the equivalents it supports.
option(QUENNET_HARDENING "Build with the distribution's hardening flags" ON)
if(NOT QUENNET_HARDENING)
  return()
endif()

set(CMAKE_POSITION_INDEPENDENT_CODE ON)
if(WIN32)
  # Fortified functions and the stack protector (its runtime linked in
  # statically, like everything else); ASLR with high-entropy addresses and
  # a non-executable stack and heap.
  add_compile_options(-D_FORTIFY_SOURCE=2 -fstack-protector-strong)
  add_link_options(-fstack-protector-strong -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va)
  return()
endif()

include(CheckPIESupported)
check_pie_supported(LANGUAGES CXX)
find_program(QUENNET_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT QUENNET_DPKG_BUILDFLAGS)
  message(STATUS "dpkg-buildflags not found: built without the distribution's hardening flags")
  return()
endif()
# Stack clash and control-flow protection, which dpkg-buildflags gives from
# Debian 13 on (Debian 12's gives neither) and hardening-check asks for.
include(CheckCXXCompilerFlag)
foreach(flag -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "QUENNET_HAS${flag}" has_flag)
  check_cxx_compiler_flag(${flag} ${has_flag})
  if(${has_flag})
    add_compile_options(${flag})
  endif()
endforeach()
set(hardening_environment
    "DEB_BUILD_MAINT_OPTIONS=hardening=+all reproducible=-fixfilepath,-fixdebugpath"
    "DEB_CXXFLAGS_MAINT_STRIP=-g -O2" "DEB_CPPFLAGS_MAINT_STRIP=-Wdate-time")
if(QUENNET_DEB_ARCHITECTURE)
  # A cross build gets the target's flags (arm64's branch protection where
  # the distribution asks for it), not this machine's.
  list(APPEND hardening_environment "DEB_HOST_ARCH=${QUENNET_DEB_ARCHITECTURE}")
endif()
foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${hardening_environment} ${QUENNET_DPKG_BUILDFLAGS} --get ${kind}
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  if(kind STREQUAL "LDFLAGS")
    add_link_options(${flags})
  else()
    add_compile_options(${flags})
  endif()
endforeach()
