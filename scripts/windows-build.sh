#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows build: cross-builds quennet-update.exe (and the tests and
# test-only helpers) for 64-bit Windows with mingw-w64 against hidapi's
# Windows back end, built once from Debian's source package of the release
# the Linux build uses, and makes the zip in build/windows/zip.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
scripts/install-packages.sh --windows
deps="$PWD/build/windows-deps"
mkdir -p build/windows "$deps"

# hidapi's source from Debian, through a private source list made from this
# machine's own apt sources (deb lines turned into deb-src), so that the
# machine's apt configuration stays as it is.
if [ ! -f "$deps/hidapi/lib/cmake/hidapi/hidapi-config.cmake" ]; then
    # The native architecture's package: with a foreign one installed beside
    # it, an unqualified name prints both versions run together.
    version=$(dpkg-query -W -f='${source:Version}' "libhidapi-dev:$(dpkg --print-architecture)")
    rm -rf "$deps/source" "$deps/hidapi-build"
    mkdir -p "$deps/source"
    private_apt "$deps/apt" deb-src
    (cd "$deps/source" && apt-get "${apt_options[@]}" source -qq "hidapi=$version" >/dev/null 2>&1)
    source_dir=$(find "$deps/source" -maxdepth 1 -type d -name 'hidapi-*' | head -n 1)
    cmake -S "$source_dir" -B "$deps/hidapi-build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DCMAKE_INSTALL_PREFIX="$deps/hidapi" >/dev/null
    cmake --build "$deps/hidapi-build" -j2 >/dev/null
    cmake --install "$deps/hidapi-build" >/dev/null
    echo "hidapi $version for Windows: $deps/hidapi"
fi

cmake --preset windows >/dev/null
cmake --build --preset windows
rm -rf build/windows/zip && mkdir -p build/windows/zip
(cd build/windows && cpack -B zip >/dev/null)
