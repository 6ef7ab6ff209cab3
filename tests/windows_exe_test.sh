#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real quennet-update.exe under wine: the banner, the outcome with no
# device, exit status 1, the prompt returning at once on a closed input,
# --version and --help, and, on a console, the prompt waiting for a fresh key
# without Enter. Wine cannot open HID
# devices (its cfgmgr32 lacks a function hidapi needs), so under wine the
# program always finds no Quennet: nothing past discovery can be seen here.
#
#   windows_exe_test.sh QUENNET-UPDATE.EXE RELEASE.ENV
# RELEASE.ENV: the build's release.env, the release the exe carries.
set -uo pipefail
exe=$1
source "$2"
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$(dirname "$exe")/wineprefix}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
source "$(dirname "$0")/../scripts/lib.sh"

# The banner of the build's release; a build with placeholder images says so.
placeholder_line=""
images="the release's images"
if [ "$QUENNET_PLACEHOLDER" = 1 ]; then
    placeholder_line='This build carries placeholder images, not a release: do not use it on a device.\n'
    images="placeholder images"
fi
printf "\n=== Calverra Quennet Update Tool ===\n${placeholder_line}\nTarget Software Revision:\n  Mainboard v%s\n  Control v%s\n\nCannot find Quennet - Please make sure it is switched on and connected via USB\nPress any key to continue . . . \n" \
    "$QUENNET_MAINBOARD_REVISION" "$QUENNET_CONTROL_REVISION" >"$scratch/expected"

started=$(date +%s%N)
timeout 120 wine "$exe" </dev/null >"$scratch/console" 2>"$scratch/errors"
status=$?
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
check "banner and no-device message, byte for byte" cmp "$scratch/expected" "$scratch/console"
check "exit status 1 (was $status)" test "$status" -eq 1
check "nothing on standard error" test ! -s "$scratch/errors"
# Wine itself takes a while to start; a prompt that waited for a key would
# hit the time-out above (120 s) instead: the bound sits halfway.
check "the prompt returns at once on a closed input (${elapsed_ms} ms)" test "$elapsed_ms" -lt 60000

# --version and --help answer at once, with status 0 and no prompt.
no_prompt() { ! grep -q 'Press any key' <<<"$1"; }
for option in --version --help; do
    output=$(timeout 120 wine "$exe" "$option" </dev/null 2>/dev/null)
    status=$?
    check "$option: status 0 (was $status)" test "$status" -eq 0
    check "$option: no prompt" no_prompt "$output"
done
check "--version names the program and its images" grep -q "^quennet-update $QUENNET_PROGRAM_VERSION .*$images" <<<"$(wine "$exe" --version 2>/dev/null | tr '\n' ' ')"

# On a console (script gives wine a pseudo-terminal, and wine makes it a
# console): the prompt waits for a key, here an arrow key (an escape sequence
# that wine's console turns into one key), and takes it without Enter.
# A key typed before the prompt cannot be shown to be thrown away here: wine's
# console takes a key from the terminal only when a read asks for one, after
# the prompt has emptied the console's input (a key typed at once ended the
# prompt in 3 of 3 tries); the POSIX terminal test shows it. script itself
# reads its input to the end, so the moment wine ends is written down inside
# it. Wine draws the console with escape sequences and cursor moves for spaces.
# A prompt that does not take the key waits until the input ends, 20 s after
# the key: the bound sits halfway, 10 s after the key, where no busy machine
# keeps wine from ending.
started=$(date +%s%N)
{ sleep 4; printf '\033[A'; sleep 20; } | timeout 60 script -qefc \
    "wine '$exe'; echo \"exit status \$?\"; date +%s%N >'$scratch/ended'" /dev/null >"$scratch/terminal" 2>&1
ended=$(cat "$scratch/ended" 2>/dev/null || echo "$started")
elapsed_ms=$(((ended - started) / 1000000))
shown=$(sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$scratch/terminal" | tr -d ' \r\n')
check "on a console the prompt is shown" grep -q "Pressanykeytocontinue" <<<"$shown"
check "on a console the prompt waits for the key (${elapsed_ms} ms)" test "$elapsed_ms" -ge 4000
check "an arrow key without Enter ends it (${elapsed_ms} ms)" test "$elapsed_ms" -lt 14000
check "on a console the exit status is 1" grep -q "exitstatus1" <<<"$shown"

closing_line
