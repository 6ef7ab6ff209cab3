// SPDX-License-Identifier: MIT
// The device software this build carries: one release's Mainboard EEPROM image,
// Control flash image and bootloader entry code, as constant data. The images
// are opaque: they are cut into packets by offset and sent as stored. The
// release's revisions, entry code and image sizes come from the release the
// build was given (payload/release_constants.h, generated).
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/protocol_constants.h"
#include "payload/release_constants.h"

extern const uint8_t mainboard_image[MAINBOARD_IMAGE_SIZE];
extern const uint8_t control_image[CONTROL_IMAGE_SIZE];
