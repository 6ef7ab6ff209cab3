// SPDX-License-Identifier: MIT
// The device software this build carries: one release's Mainboard EEPROM image,
// Control flash image and bootloader entry code, as constant data. The images
// are opaque: they are cut into packets by offset and sent as stored.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/protocol_constants.h"

// The build says which images it embeds: a release's, or placeholders of the
// right sizes generated where none were given (QUENNET_PLACEHOLDER_IMAGES).
inline constexpr bool PLACEHOLDER_IMAGES = QUENNET_PLACEHOLDER_IMAGES != 0;
// The program's own version, from the build.
inline constexpr const char* PROGRAM_VERSION = QUENNET_PROGRAM_VERSION;

// Revisions of the two images, shown in the banner; a release changes them
// with the images.
inline constexpr version_pair TARGET_MAINBOARD_REVISION{0x00, 0x97};
inline constexpr version_pair TARGET_CONTROL_REVISION{0x00, 0x99};

inline constexpr size_t MAINBOARD_IMAGE_SIZE = 5930;   // bytes, EEPROM addresses 0 .. 5929
inline constexpr size_t CONTROL_IMAGE_SIZE = 61440;    // bytes, flash offsets 0 .. 0xEFFF

extern const uint8_t mainboard_image[MAINBOARD_IMAGE_SIZE];
extern const uint8_t control_image[CONTROL_IMAGE_SIZE];

// Opens the Control processor's bootloader; sent in this order.
inline constexpr uint8_t bootloader_entry_code[8] = {0x3B, 0xA7, 0x5C, 0x19, 0xD2, 0x6E, 0x84, 0xF1};
