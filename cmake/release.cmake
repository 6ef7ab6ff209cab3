# SPDX-License-Identifier: MIT
# The release a build carries, given as one folder: QUENNET_RELEASE_DIR holds
# mainboard.bin, control.bin and release.conf (the revisions the banner shows,
# the bootloader entry code and each image's SHA-256; docs/releasing.md gives
# the format). Without
# one, the build carries the repository's placeholder release: the revisions
# and code of payload/release/release.conf and generated placeholder images.
# Configuring checks every item and stops naming the file and the problem.
# What it sets: QUENNET_PLACEHOLDER_IMAGES, QUENNET_{MAINBOARD,CONTROL}_REVISION
# ("0.97"), QUENNET_PACKAGE_VERSION, the images' paths (empty for a
# placeholder) and sizes, and
# payload/release_constants.h in the build folder, from which the program,
# the emulated device and the tests take the release.
# The folder may also come from the environment (the test command hands it
# on so to every build it makes); -D on the first configure wins.
set(QUENNET_RELEASE_DIR "$ENV{QUENNET_RELEASE_DIR}" CACHE PATH "Folder of the release to build: mainboard.bin, control.bin, release.conf; empty for the placeholder release")

# The sizes the update phases are written for: the one home of both. A
# release whose images have other sizes changes these with the phases.
set(QUENNET_MAINBOARD_IMAGE_SIZE 5930)
set(QUENNET_CONTROL_IMAGE_SIZE 61440)

foreach(retired QUENNET_MAINBOARD_IMAGE QUENNET_CONTROL_IMAGE)
  if(NOT "${${retired}}" STREQUAL "")
    message(FATAL_ERROR "${retired} is retired: give the release as one folder in QUENNET_RELEASE_DIR "
                        "(mainboard.bin, control.bin, release.conf; see docs/releasing.md)")
  endif()
endforeach()

# Stops configuring: the release's file and what is wrong with it.
function(quennet_release_error file problem)
  message(FATAL_ERROR "The release: ${file}: ${problem}")
endfunction()

set(QUENNET_MAINBOARD_RELEASE_IMAGE "")
set(QUENNET_CONTROL_RELEASE_IMAGE "")
if(QUENNET_RELEASE_DIR)
  get_filename_component(release_dir "${QUENNET_RELEASE_DIR}" ABSOLUTE)
  if(NOT IS_DIRECTORY "${release_dir}")
    quennet_release_error("${release_dir}" "no such folder")
  endif()
  foreach(name mainboard.bin control.bin release.conf)
    if(NOT EXISTS "${release_dir}/${name}" OR IS_DIRECTORY "${release_dir}/${name}")
      quennet_release_error("${release_dir}/${name}" "missing; a release folder holds mainboard.bin, control.bin and release.conf")
    endif()
  endforeach()
  foreach(component MAINBOARD CONTROL)
    string(TOLOWER "${component}" name)
    set(image "${release_dir}/${name}.bin")
    file(SIZE "${image}" actual)
    if(NOT actual EQUAL QUENNET_${component}_IMAGE_SIZE)
      quennet_release_error("${image}" "holds ${actual} bytes; the ${name}_image must be exactly ${QUENNET_${component}_IMAGE_SIZE} bytes")
    endif()
    set(QUENNET_${component}_RELEASE_IMAGE "${image}")
  endforeach()
  set(release_conf "${release_dir}/release.conf")
  set(QUENNET_PLACEHOLDER_IMAGES FALSE)
  set(QUENNET_PLACEHOLDER_VALUE false)
else()
  set(release_conf "${PROJECT_SOURCE_DIR}/payload/release/release.conf")
  set(QUENNET_PLACEHOLDER_IMAGES TRUE)
  set(QUENNET_PLACEHOLDER_VALUE true)
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${release_conf}")

# release.conf: "key = value" lines, lower-case keys, blank lines and
# "#" comments. A release folder also pins each image by its SHA-256; the
# placeholder release pins nothing (its images are generated).
set(release_keys mainboard_revision control_revision bootloader_entry_code)
if(NOT QUENNET_PLACEHOLDER_IMAGES)
  list(APPEND release_keys mainboard_sha256 control_sha256)
endif()
file(READ "${release_conf}" release_text)
# No item holds a ';', CMake's list separator: a comment's becomes a ','.
string(REPLACE ";" "," release_text "${release_text}")
string(REPLACE "\r" "" release_text "${release_text}")
string(REPLACE "\n" ";" release_lines "${release_text}")
set(line_number 0)
foreach(line IN LISTS release_lines)
  math(EXPR line_number "${line_number} + 1")
  string(STRIP "${line}" line)
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  if(NOT line MATCHES "^([a-z0-9_]+)[ \t]*=[ \t]*(.*)$")
    quennet_release_error("${release_conf}:${line_number}" "not a line of the form key = value: ${line}")
  endif()
  set(key "${CMAKE_MATCH_1}")
  set(value "${CMAKE_MATCH_2}")
  if(NOT key IN_LIST release_keys)
    string(REPLACE ";" ", " known "${release_keys}")
    quennet_release_error("${release_conf}:${line_number}" "unknown key ${key} (the keys are ${known})")
  endif()
  if(DEFINED release_${key})
    quennet_release_error("${release_conf}:${line_number}" "${key} given twice")
  endif()
  set(release_${key} "${value}")
endforeach()
foreach(key IN LISTS release_keys)
  if(NOT DEFINED release_${key})
    quennet_release_error("${release_conf}" "no ${key}")
  endif()
endforeach()

include(cmake/package_revision.cmake)
# A revision as the banner shows it without the "v": the major in hex
# without leading zeros, a dot, the minor as two hex digits (either case).
foreach(component MAINBOARD CONTROL)
  string(TOLOWER "${component}_revision" key)
  set(value "${release_${key}}")
  if(NOT value MATCHES "^(0|[1-9A-Fa-f][0-9A-Fa-f]?)\\.([0-9A-Fa-f][0-9A-Fa-f])$")
    quennet_release_error("${release_conf}" "${key} = ${value} is not a revision of two hex bytes as the banner shows it: the major in hex without leading zeros, a dot, the minor as two hex digits (such as 0.97 or 1.0A)")
  endif()
  string(TOUPPER "${CMAKE_MATCH_1}" QUENNET_${component}_MAJOR)
  string(TOUPPER "${CMAKE_MATCH_2}" QUENNET_${component}_MINOR)
  set(QUENNET_${component}_REVISION "${QUENNET_${component}_MAJOR}.${QUENNET_${component}_MINOR}")
  quennet_package_revision(QUENNET_${component}_PACKAGE_REVISION ${QUENNET_${component}_MAJOR} ${QUENNET_${component}_MINOR})
endforeach()

# Each image of a release folder must be the one release.conf pins.
if(NOT QUENNET_PLACEHOLDER_IMAGES)
  foreach(name mainboard control)
    string(TOLOWER "${release_${name}_sha256}" expected)
    string(LENGTH "${expected}" digits)
    if(NOT expected MATCHES "^[0-9a-f]+$" OR NOT digits EQUAL 64)
      quennet_release_error("${release_conf}" "${name}_sha256 = ${release_${name}_sha256} is not a SHA-256 (64 hex digits)")
    endif()
    file(SHA256 "${release_dir}/${name}.bin" found)
    if(NOT found STREQUAL expected)
      quennet_release_error("${release_dir}/${name}.bin" "its SHA-256 is ${found}; release.conf pins ${expected}")
    endif()
    # An image changed after configuring is checked again before it is
    # embedded: the build configures again first.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${release_dir}/${name}.bin")
  endforeach()
endif()

# The bootloader entry code: 8 hex bytes separated by spaces.
string(REGEX REPLACE "[ \t]+" ";" entry_bytes "${release_bootloader_entry_code}")
list(LENGTH entry_bytes entry_count)
set(QUENNET_ENTRY_CODE_BYTES "")
foreach(byte IN LISTS entry_bytes)
  if(NOT byte MATCHES "^[0-9A-Fa-f][0-9A-Fa-f]$")
    quennet_release_error("${release_conf}" "bootloader_entry_code: ${byte} is not a hex byte (two hex digits)")
  endif()
  string(TOUPPER "${byte}" byte)
  list(APPEND QUENNET_ENTRY_CODE_BYTES "0x${byte}")
endforeach()
if(NOT entry_count EQUAL 8)
  quennet_release_error("${release_conf}" "bootloader_entry_code holds ${entry_count} bytes; it must be 8 hex bytes separated by spaces")
endif()
string(REPLACE ";" ", " QUENNET_ENTRY_CODE_BYTES "${QUENNET_ENTRY_CODE_BYTES}")

if(QUENNET_PLACEHOLDER_IMAGES)
  message(STATUS "Release: the placeholder release, Mainboard v${QUENNET_MAINBOARD_REVISION}, Control v${QUENNET_CONTROL_REVISION} (set QUENNET_RELEASE_DIR to a release's folder)")
else()
  message(STATUS "Release: ${release_dir}, Mainboard v${QUENNET_MAINBOARD_REVISION}, Control v${QUENNET_CONTROL_REVISION}")
endif()
# The version of the packages and the zip: the program's, then the release's
# revisions in that order, so that a newer release sorts above.
set(QUENNET_PACKAGE_VERSION
    "${PROJECT_VERSION}+mainboard${QUENNET_MAINBOARD_PACKAGE_REVISION}+control${QUENNET_CONTROL_PACKAGE_REVISION}")
if(QUENNET_PLACEHOLDER_IMAGES)
  # A package that carries placeholder images says so in its version, which
  # dpkg and rpm sort before the release's ("~"): the release replaces it.
  string(APPEND QUENNET_PACKAGE_VERSION "~placeholder")
endif()
configure_file("${PROJECT_SOURCE_DIR}/payload/release_constants.h.in" "${PROJECT_BINARY_DIR}/payload/release_constants.h" @ONLY)
# The same for the shell scripts that check this build's output.
if(QUENNET_PLACEHOLDER_IMAGES)
  set(placeholder_flag 1)
else()
  set(placeholder_flag 0)
endif()
file(WRITE "${PROJECT_BINARY_DIR}/release.env"
"# Generated by cmake/release.cmake: the release this build carries.
QUENNET_PROGRAM_VERSION=${PROJECT_VERSION}
QUENNET_PACKAGE_VERSION=${QUENNET_PACKAGE_VERSION}
QUENNET_MAINBOARD_REVISION=${QUENNET_MAINBOARD_REVISION}
QUENNET_CONTROL_REVISION=${QUENNET_CONTROL_REVISION}
QUENNET_MAINBOARD_IMAGE_SIZE=${QUENNET_MAINBOARD_IMAGE_SIZE}
QUENNET_CONTROL_IMAGE_SIZE=${QUENNET_CONTROL_IMAGE_SIZE}
QUENNET_PLACEHOLDER=${placeholder_flag}
")
