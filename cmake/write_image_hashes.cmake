# SPDX-License-Identifier: MIT
# Build step: writes the SHA-256 of each image this build embeds, in the form
# sha256sum prints and checks, with the revisions the banner shows.
#   cmake -DMAINBOARD=raw -DCONTROL=raw -DMAINBOARD_NAME=... -DCONTROL_NAME=... -DOUTPUT=file -P write_image_hashes.cmake
file(SHA256 "${MAINBOARD}" mainboard)
file(SHA256 "${CONTROL}" control)
file(WRITE "${OUTPUT}" "${mainboard}  ${MAINBOARD_NAME}\n${control}  ${CONTROL_NAME}\n")
