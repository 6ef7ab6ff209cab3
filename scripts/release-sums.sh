#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The checksums an owner checks a download against: writes SHA256SUMS over
# the release's .deb, RPM and zip files in FOLDER (the folder that goes to
# the maker's site), in the form `sha256sum -c` reads, and with
# QUENNET_SIGNING_KEY (a GnuPG key id) the detached, ASCII-armoured
# signature SHA256SUMS.asc, which `gpg --verify SHA256SUMS.asc SHA256SUMS`
# checks.
#   scripts/release-sums.sh FOLDER
set -euo pipefail
folder=${1:?usage: scripts/release-sums.sh FOLDER}
cd "$folder"
shopt -s nullglob
files=(*.deb *.rpm *.zip)
[ ${#files[@]} -gt 0 ] || { echo "release-sums: no .deb, .rpm or .zip in $folder"; exit 1; }
rm -f SHA256SUMS SHA256SUMS.asc
sha256sum -- "${files[@]}" >SHA256SUMS
if [ -n "${QUENNET_SIGNING_KEY:-}" ]; then
    gpg --batch --yes --armor --detach-sign --local-user "$QUENNET_SIGNING_KEY" --output SHA256SUMS.asc SHA256SUMS
fi
cat SHA256SUMS
