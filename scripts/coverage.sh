#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the fuzz target's committed corpus reaches of the program: builds the
# fuzz target with clang's source-based coverage (the coverage preset), runs
# every input of fuzz/corpus once, and prints, for each file of app/ and
# link/, the lines and branches reached. Branches that no input can reach by
# design are named in scripts/unreachable-branches.txt (the file, the
# condition's text, TRUE|FALSE, the reason); docs/testing.md lists them. The last line is
#   coverage: B of N branches in app/ and link/ reached, U named unreachable
# and the script fails unless B + U = N, naming every branch missed that is
# not named, and every named one that is no longer missed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh --test-tools
cmake --preset coverage >/dev/null
cmake --build --preset coverage --target quennet_fuzz >/dev/null
build=build/coverage
rm -rf "$build/profiles"
mkdir -p "$build/profiles"
LLVM_PROFILE_FILE="$PWD/$build/profiles/run-%p.profraw" "$build/fuzz/quennet_fuzz" -runs=0 fuzz/corpus >"$build/corpus-run.log" 2>&1 ||
    { cat "$build/corpus-run.log"; exit 1; }
llvm-profdata merge -sparse "$build"/profiles/*.profraw -o "$build/coverage.profdata"
# The build leaves folder names out of the binary: paths are relative to here.
cov=(-instr-profile="$build/coverage.profdata" -compilation-dir="$PWD")
llvm-cov report "$build/fuzz/quennet_fuzz" "${cov[@]}" >"$build/report.txt"
echo "file                         lines reached       branches reached"
awk '$1 ~ /^(app|link)\// {
    printf "%-28s %5d of %-5d %6.2f%%  %4d of %-4d %6.2f%%\n", $1, $8 - $9, $8, $10, $11 - $12, $11, $13
}' "$build/report.txt"
# Every branch outcome missed, as FILE:LINE:COLUMN TRUE|FALSE.
llvm-cov show "$build/fuzz/quennet_fuzz" "${cov[@]}" -show-branches=count |
    awk -v root="$PWD/" '
        /^\/[^ ]*:$/ { file = substr($0, length(root) + 1); sub(/:$/, "", file) }
        file ~ /^(app|link)\// && /Branch \(/ {
            match($0, /\(([0-9]+):([0-9]+)\)/); where = file ":" substr($0, RSTART + 1, RLENGTH - 2)
            if ($0 ~ /True: 0,/) print where " TRUE"
            if ($0 ~ /False: 0\]/) print where " FALSE"
        }' | sort >"$build/missed.txt"
# Every named branch as FILE:LINE:COLUMN OUTCOME, from where its condition's
# text stands in the file now.
named_branches() {
    local file condition outcome
    grep -v '^#' scripts/unreachable-branches.txt | while IFS='|' read -r file condition outcome _; do
        file=$(echo "$file" | xargs)
        outcome=$(echo "$outcome" | xargs)
        condition=$(echo "$condition" | sed 's/^ *//; s/ *$//')
        [ -n "$file" ] || continue
        awk -v text="$condition" -v where="$file" -v outcome="$outcome" '
            { at = index($0, text); if (at) { print where ":" NR ":" at " " outcome; ++found } }
            END { if (found != 1) { print "scripts/unreachable-branches.txt: \"" text "\" stands " found + 0 " times in " where > "/dev/stderr"; exit 1 } }' "$file"
    done
}
named_branches | sort >"$build/named.txt"
total=$(awk '$1 ~ /^(app|link)\// { n += $11 } END { print n }' "$build/report.txt")
missed=$(wc -l <"$build/missed.txt")
named=$(wc -l <"$build/named.txt")
status=0
unnamed=$(comm -23 "$build/missed.txt" "$build/named.txt")
reached_named=$(comm -13 "$build/missed.txt" "$build/named.txt")
if [ -n "$unnamed" ]; then
    echo "branches missed that are not named unreachable (grow the corpus: scripts/fuzz.sh):"
    echo "$unnamed" | sed 's/^/  /'
    status=1
fi
if [ -n "$reached_named" ]; then
    echo "branches named unreachable that the corpus reaches (take them off the list):"
    echo "$reached_named" | sed 's/^/  /'
    status=1
fi
echo "coverage: $((total - missed)) of $total branches in app/ and link/ reached, $named named unreachable"
exit $status
