# SPDX-License-Identifier: MIT
# Cross build for 64-bit ARM Linux (arm64: a 64-bit Raspberry Pi OS, ARM
# laptops and boards) with Debian's cross compiler and the arm64 libraries
# installed beside the machine's own (multiarch), as
# `scripts/install-packages.sh --arm64` sets them up. umockdev's development
# files and its preload library cannot be installed for two architectures on
# Debian 12, so that script unpacks the arm64 ones into build/arm64-deps.
# ctest runs the arm64 executables under qemu-user (qemu-aarch64), and the
# programs they start through QUENNET_LAUNCHER; no binfmt handler is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for arm64")
set(QUENNET_ARM64_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build/arm64-deps" CACHE PATH
    "umockdev's arm64 files, unpacked by scripts/install-packages.sh --arm64")
set(ENV{PKG_CONFIG_PATH} "${QUENNET_ARM64_DEPS}/usr/lib/aarch64-linux-gnu/pkgconfig")
set(CMAKE_LIBRARY_PATH "${QUENNET_ARM64_DEPS}/usr/lib/aarch64-linux-gnu")
# The Debian package's architecture and the RPM's, and the target that
# dpkg-buildflags and dpkg-shlibdeps answer for.
set(QUENNET_DEB_ARCHITECTURE arm64)
set(QUENNET_RPM_ARCHITECTURE aarch64)
find_program(QUENNET_QEMU qemu-aarch64)
if(QUENNET_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${QUENNET_QEMU}")
endif()
