#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows suite: cross-builds quennet-update for 64-bit Windows with
# mingw-w64 against hidapi's Windows back end (built from Debian's source
# package of the release the Linux build uses), runs the in-process tests and
# the real quennet-update.exe under wine, makes the zip and tries the exe from
# it. The exe is signed first, as a release's is (docs/releasing.md), with a
# certificate made here for the test only, so that the signed exe is the one
# tested and zipped. Ends with "N passed, M failed".
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/windows-build.sh
source scripts/lib.sh
exe=build/windows/quennet-update.exe
signing=build/windows/signing
sign_exe() {
    rm -rf "$signing" && mkdir -p "$signing" &&
        openssl req -x509 -newkey rsa:3072 -nodes -keyout "$signing/key.pem" -out "$signing/cert.pem" -days 2 \
            -subj "/CN=Harlowmere Audio test signing/O=Harlowmere Audio" -addext extendedKeyUsage=codeSigning 2>/dev/null &&
        osslsigncode sign -certs "$signing/cert.pem" -key "$signing/key.pem" -n quennet-update -h sha256 \
            -in "$exe" -out "$signing/quennet-update.exe" >/dev/null &&
        mv "$signing/quennet-update.exe" "$exe" &&
        (cd build/windows && rm -rf zip && cpack -B zip >/dev/null)
}
check "the exe signed with a test certificate, and zipped again" sign_exe
export WINEDEBUG=-all
export WINEPREFIX="$PWD/build/windows/wineprefix"
set +e
ctest --preset windows | tee build/windows/ctest.log
set -e
cat build/windows/*-figures.txt 2>/dev/null || true
ctest_passed=$(sed -n 's/.* \([0-9]*\) tests failed out of \([0-9]*\)/\2 \1/p' build/windows/ctest.log | awk '{print $1 - $2}')
ctest_failed=$(sed -n 's/.* \([0-9]*\) tests failed out of .*/\1/p' build/windows/ctest.log)

# The zip: the exe at its root with README.txt and the licence, and the exe
# from it under wine.
passed=$((passed + ${ctest_passed:-0}))
failed=$((failed + ${ctest_failed:-1}))
zip=$(ls build/windows/zip/quennet-update-*-windows-x64.zip)
listing=$(unzip -Z1 "$zip")
echo "$(basename "$zip"): $(stat -c %s "$zip") bytes: $(echo $listing)"
for member in quennet-update.exe README.txt LICENSE.txt images.sha256; do
    check "the zip holds $member at its root" grep -qx "$member" <<<"$listing"
done
# The test machine's helpers for wine (a cfgmgr32.dll stand-in and a wait
# for the device) are built beside the exe and must never ship.
check "the zip holds no test helper" bash -c "! grep -qiE 'cfgmgr32|wait-for-quennet' <<<'$listing'"
check "... though they were built" test -f build/windows/emu/cfgmgr32.dll -a -f build/windows/emu/wait-for-quennet.exe
source build/windows/release.env
if [ "$QUENNET_PLACEHOLDER" = 1 ]; then
    check "a placeholder zip says so in its name" grep -q placeholder <<<"$(basename "$zip")"
    check "... and first thing in its README.txt" bash -c "unzip -p '$zip' README.txt | head -n 1 | grep -q 'PLACEHOLDER IMAGES'"
else
    check "a release's zip is named by its version" grep -qF "$QUENNET_PACKAGE_VERSION-windows" <<<"$(basename "$zip")"
fi
imports=$(x86_64-w64-mingw32-objdump -p build/windows/quennet-update.exe | sed -n 's/^\tDLL Name: //p' | tr '\n' ' ')
check "the exe imports only system DLLs ($imports)" bash -c "! grep -qiE 'libgcc|libstdc|libwinpthread|hidapi' <<<'$imports'"
# The hardening mingw-w64 gives: ASLR with high-entropy addresses, DEP, and
# the stack protector; and README.txt with Windows line ends.
aslr_and_dep() {
    local headers
    headers=$(x86_64-w64-mingw32-objdump -p "$exe")
    [[ "$headers" == *HIGH_ENTROPY_VA* && "$headers" == *DYNAMIC_BASE* && "$headers" == *NX_COMPAT* ]]
}
# The exe is stripped of names: its objects show the protector's calls.
stack_protector() { [[ "$(x86_64-w64-mingw32-nm build/windows/libquennet_core.a)" == *' U __stack_chk_fail'* ]]; }
windows_line_ends() {
    local readme=build/windows/zip/README.txt
    unzip -p "$zip" README.txt >"$readme"
    [ "$(wc -l <"$readme")" -gt 100 ] && [ "$(grep -c $'\r$' "$readme")" = "$(wc -l <"$readme")" ]
}
# It asks the system to stay awake while it writes and clears that with one
# call, and locks the device against a second copy with a named mutex.
stay_awake_and_lock() {
    local table
    table=$(x86_64-w64-mingw32-objdump -p "$exe")
    [[ "$table" == *SetThreadExecutionState* && "$table" == *CreateMutexA* ]]
}
check "the exe imports SetThreadExecutionState and CreateMutexA" stay_awake_and_lock
check "the exe is built for ASLR and DEP" aslr_and_dep
check "... and with the stack protector" stack_protector
check "README.txt has Windows line ends only" windows_line_ends
unzip -q -o "$zip" -d build/windows/zip/unpacked
shipped=build/windows/zip/unpacked/quennet-update.exe
signed() { [[ "$(osslsigncode verify -CAfile "$signing/cert.pem" -in "$shipped")" == *$'\nSignature verification: ok\n'* ]]; }
version_resource() {
    local resources
    resources=$(x86_64-w64-mingw32-windres -J coff -O rc -i "$shipped")
    grep -qF "VALUE \"ProductVersion\", \"$QUENNET_PACKAGE_VERSION\"" <<<"$resources" &&
        grep -qF "VALUE \"FileVersion\", \"$QUENNET_PACKAGE_VERSION\"" <<<"$resources" &&
        grep -qF 'VALUE "CompanyName", "Harlowmere Audio"' <<<"$resources" &&
        grep -qF 'requestedExecutionLevel level=""asInvoker""' <<<"$resources"
}
check "the zip's exe is signed: osslsigncode verify" signed
check "... and shows $QUENNET_PACKAGE_VERSION in its version resource, with its asInvoker manifest" version_resource
check "quennet-update.exe from the zip under wine" tests/windows_exe_test.sh "$PWD/build/windows/zip/unpacked/quennet-update.exe" \
    build/windows/release.env

closing_line
