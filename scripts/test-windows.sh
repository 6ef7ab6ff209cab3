#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows suite: cross-builds quennet-update for 64-bit Windows with
# mingw-w64 against hidapi's Windows back end (built from Debian's source
# package of the release the Linux build uses), runs the in-process tests and
# the real quennet-update.exe under wine, makes the zip and tries the exe from
# it. Ends with "N passed, M failed".
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh --windows
export WINEDEBUG=-all
export WINEPREFIX="$PWD/build/windows/wineprefix"
deps="$PWD/build/windows-deps"
mkdir -p build/windows "$deps"

# hidapi's source from Debian, through a private source list made from this
# machine's own apt sources (deb lines turned into deb-src), so that the
# machine's apt configuration stays as it is.
if [ ! -f "$deps/hidapi/lib/cmake/hidapi/hidapi-config.cmake" ]; then
    version=$(dpkg-query -W -f='${source:Version}' libhidapi-dev)
    apt_dir="$deps/apt"
    rm -rf "$apt_dir" "$deps/source" "$deps/hidapi-build"
    mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$deps/source"
    for sources in /etc/apt/sources.list.d/*.sources; do
        [ -f "$sources" ] && sed 's/^Types: deb$/Types: deb-src/' "$sources" >"$apt_dir/sources/$(basename "$sources")"
    done
    for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$list" ] && sed -n 's/^deb /deb-src /p' "$list" >"$apt_dir/sources/$(basename "$list").list"
    done
    apt_options=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt_dir/sources"
                 -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
    apt-get "${apt_options[@]}" update -qq
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
set +e
ctest --preset windows | tee build/windows/ctest.log
set -e
cat build/windows/*-figures.txt 2>/dev/null || true
ctest_passed=$(sed -n 's/.* \([0-9]*\) tests failed out of \([0-9]*\)/\2 \1/p' build/windows/ctest.log | awk '{print $1 - $2}')
ctest_failed=$(sed -n 's/.* \([0-9]*\) tests failed out of .*/\1/p' build/windows/ctest.log)

# The zip: the exe at its root with README.txt and the licence, and the exe
# from it under wine.
passed=${ctest_passed:-0}
failed=${ctest_failed:-1}
check() {
    local name=$1
    shift
    if "$@"; then echo "ok: $name"; passed=$((passed + 1)); else echo "FAILED: $name"; failed=$((failed + 1)); fi
}
rm -rf build/windows/zip && mkdir -p build/windows/zip
(cd build/windows && cpack -B zip >/dev/null)
zip=$(ls build/windows/zip/quennet-update-*-windows-x64.zip)
listing=$(unzip -Z1 "$zip")
echo "$(basename "$zip"): $(stat -c %s "$zip") bytes: $(echo $listing)"
for member in quennet-update.exe README.txt LICENSE.txt images.sha256; do
    check "the zip holds $member at its root" grep -qx "$member" <<<"$listing"
done
check "a placeholder zip says so in its name" grep -q placeholder <<<"$(basename "$zip")"
check "... and first thing in its README.txt" bash -c "unzip -p '$zip' README.txt | head -n 1 | grep -q 'PLACEHOLDER IMAGES'"
imports=$(x86_64-w64-mingw32-objdump -p build/windows/quennet-update.exe | sed -n 's/^\tDLL Name: //p' | tr '\n' ' ')
check "the exe imports only system DLLs ($imports)" bash -c "! grep -qiE 'libgcc|libstdc|libwinpthread|hidapi' <<<'$imports'"
unzip -q -o "$zip" -d build/windows/zip/unpacked
check "quennet-update.exe from the zip under wine" tests/windows_exe_test.sh "$PWD/build/windows/zip/unpacked/quennet-update.exe"

echo "windows: $passed passed, $failed failed"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
