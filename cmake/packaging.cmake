# SPDX-License-Identifier: MIT
# Install rules and packages: a .deb that Debian's lintian accepts and an RPM
# for Fedora and openSUSE, both reproducible, or on Windows a zip; each tells
# which images it carries and under which terms.
include(GNUInstallDirs)
set(QUENNET_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where the udev rule goes, relative to the install prefix")
set(QUENNET_IMAGE_TERMS "" CACHE FILEPATH "File with the terms under which the release's images are distributed; the packages carry it")
set(QUENNET_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/quennet-update")
# Installing (and so cpack) builds nothing first: a package needs the
# program and its files (targets quennet-update and quennet_package_files),
# not the tests and tools of the build. Build, then pack.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# The time every packaged file carries, and the changelog's date: the last
# commit's, as Debian's reproducible builds take it.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(QUENNET_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                  OUTPUT_VARIABLE QUENNET_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                  RESULT_VARIABLE git_status)
  if(NOT git_status EQUAL 0 OR QUENNET_SOURCE_DATE_EPOCH STREQUAL "")
    set(QUENNET_SOURCE_DATE_EPOCH 0)
  endif()
  # A new commit configures again at the next build, so that the packages
  # of a build folder made before it do not keep the older commit's time.
  if(EXISTS "${PROJECT_SOURCE_DIR}/.git/logs/HEAD")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/.git/logs/HEAD")
  endif()
endif()

set(CPACK_PACKAGE_NAME quennet-update)
set(CPACK_PACKAGE_VERSION "${QUENNET_PACKAGE_VERSION}")
set(CPACK_PACKAGE_VENDOR "Harlowmere Audio")
set(CPACK_PACKAGE_CONTACT "Harlowmere Audio <support@harlowmere-audio.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "update the software of a Calverra Quennet")
set(CPACK_PACKAGE_DESCRIPTION
    "Writes the Mainboard and Control software of release Mainboard\nv${QUENNET_MAINBOARD_REVISION}, Control v${QUENNET_CONTROL_REVISION} to a Calverra Quennet USB audio device, and lets\nthe person at the machine reach the device without root.")

# The SHA-256 of each image this build embeds, for owners to check.
set(packaging_dir "${PROJECT_BINARY_DIR}/packaging")
if(QUENNET_PLACEHOLDER_IMAGES)
  set(image_kind "placeholder")
else()
  set(image_kind "release")
endif()
add_custom_command(
  OUTPUT "${packaging_dir}/images.sha256"
  COMMAND ${CMAKE_COMMAND} -DMAINBOARD=${QUENNET_MAINBOARD_RAW} -DCONTROL=${QUENNET_CONTROL_RAW}
          -DMAINBOARD_NAME=mainboard-v${QUENNET_MAINBOARD_REVISION}-${image_kind}.bin
          -DCONTROL_NAME=control-v${QUENNET_CONTROL_REVISION}-${image_kind}.bin
          -DOUTPUT=${packaging_dir}/images.sha256 -P ${PROJECT_SOURCE_DIR}/cmake/write_image_hashes.cmake
  DEPENDS ${QUENNET_MAINBOARD_RAW} ${QUENNET_CONTROL_RAW} ${PROJECT_SOURCE_DIR}/cmake/write_image_hashes.cmake
  COMMENT "Writing the images' SHA-256")

if(QUENNET_IMAGE_TERMS)
  get_filename_component(QUENNET_IMAGE_TERMS "${QUENNET_IMAGE_TERMS}" ABSOLUTE)
  if(NOT EXISTS "${QUENNET_IMAGE_TERMS}")
    message(FATAL_ERROR "QUENNET_IMAGE_TERMS: ${QUENNET_IMAGE_TERMS} does not exist")
  endif()
endif()
configure_file(cmake/cpack_generators.cmake.in "${PROJECT_BINARY_DIR}/cpack_generators.cmake" @ONLY)
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/cpack_generators.cmake")

if(WIN32)
  # A zip with the program at its root, a README for Windows owners, the
  # licence and the images' SHA-256 and terms.
  # README.txt for Windows owners: the owner's guide, rendered by groff.
  set(windows_readme "${packaging_dir}/README.txt")
  find_program(QUENNET_GROFF groff REQUIRED)
  if(QUENNET_PLACEHOLDER_IMAGES)
    set(placeholder 1)
  else()
    set(placeholder 0)
  endif()
  add_custom_command(
    OUTPUT "${windows_readme}"
    COMMAND ${CMAKE_COMMAND} -DGROFF=${QUENNET_GROFF} -DPAGE=${PROJECT_SOURCE_DIR}/packaging/quennet-update.1
            -DOUTPUT=${windows_readme} -DPLACEHOLDER=${placeholder} -P ${PROJECT_SOURCE_DIR}/cmake/render_readme.cmake
    DEPENDS packaging/quennet-update.1 cmake/render_readme.cmake
    COMMENT "Rendering README.txt from the owner's guide")
  add_custom_target(quennet_package_files ALL DEPENDS "${packaging_dir}/images.sha256" "${windows_readme}")
  install(TARGETS quennet-update RUNTIME DESTINATION . COMPONENT program)
  install(FILES "${windows_readme}" DESTINATION . COMPONENT program)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT program)
  install(FILES "${packaging_dir}/images.sha256" DESTINATION . COMPONENT program)
  if(QUENNET_IMAGE_TERMS)
    install(FILES "${QUENNET_IMAGE_TERMS}" DESTINATION . RENAME IMAGE-TERMS.txt COMPONENT program)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_PACKAGE_FILE_NAME "quennet-update-${CPACK_PACKAGE_VERSION}-windows-x64")
  # The exe is stripped when it is linked, not here: the exe signed in the
  # build folder is the one zipped, its signature intact.
  set(CPACK_STRIP_FILES OFF)
  include(CPack)
  return()
endif()

# --- What is installed ---------------------------------------------------------
install(TARGETS quennet-update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
# As Debian's dh_strip does: no compiler identification (.comment) in the
# installed program.
install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/quennet-update\")"
        COMPONENT program)
# The udev rule. The .deb's gives the Quennet to the seat's user and to the
# group plugdev, which every Debian system has. Fedora and openSUSE have no
# such group, and udev would warn of it at every plug-in: the RPM's rule is
# the same without the group (the seat's user only). A plain install gets
# the RPM's, which suits every distribution.
file(READ "${PROJECT_SOURCE_DIR}/packaging/70-quennet-update.rules" deb_rule)
set(plugdev_assignment ", GROUP=\"plugdev\", MODE=\"0660\"")
string(REGEX MATCH "\nSUBSYSTEM==[^\n]*\n$" rule_line "${deb_rule}")
string(FIND "${rule_line}" "${plugdev_assignment}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "packaging/70-quennet-update.rules: its last line must end with${plugdev_assignment}")
endif()
string(REPLACE "${plugdev_assignment}" "" rule_line "${rule_line}")
file(WRITE "${packaging_dir}/rpm/70-quennet-update.rules"
"# SPDX-License-Identifier: MIT
# Calverra Quennet (Harlowmere Audio): read and write access to the device's
# HID interfaces for the person logged in at this machine's seat, so that
# quennet-update runs without root. The uaccess tag hands the node to the
# active local session (applied by the seat rules, 73-seat-late.rules, which
# is why this file sorts before them); other accounts get no access. For
# access without a seat (over SSH), a rule of your own in /etc/udev/rules.d
# can give the node to a group: GROUP=\"NAME\", MODE=\"0660\".${rule_line}")
install(FILES packaging/70-quennet-update.rules DESTINATION ${QUENNET_UDEV_RULES_DIR} COMPONENT deb)
install(FILES "${packaging_dir}/rpm/70-quennet-update.rules" DESTINATION ${QUENNET_UDEV_RULES_DIR} COMPONENT rpm)

# The manual page and the Debian changelog, compressed without a name or a
# time in the gzip header.
find_program(QUENNET_GZIP gzip REQUIRED)
# The dates of the changelog and of the AppStream release.
set(saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT QUENNET_SOURCE_DATE_EPOCH EQUAL 0)
  set(ENV{SOURCE_DATE_EPOCH} "${QUENNET_SOURCE_DATE_EPOCH}")
endif()
string(TIMESTAMP QUENNET_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP QUENNET_RELEASE_DATE "%Y-%m-%d" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${saved_epoch}")
configure_file(packaging/changelog.in "${packaging_dir}/changelog" @ONLY)
# AppStream metadata: the Quennet's modalias, so that software centres can
# offer the program when the device is plugged in.
configure_file(packaging/quennet-update.metainfo.xml.in "${packaging_dir}/com.harlowmere.quennet_update.metainfo.xml" @ONLY)
install(FILES "${packaging_dir}/com.harlowmere.quennet_update.metainfo.xml"
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo COMPONENT program)
add_custom_command(
  OUTPUT "${packaging_dir}/quennet-update.1.gz" "${packaging_dir}/changelog.gz"
  COMMAND ${QUENNET_GZIP} -9n -c "${PROJECT_SOURCE_DIR}/packaging/quennet-update.1" > "${packaging_dir}/quennet-update.1.gz"
  COMMAND ${QUENNET_GZIP} -9n -c "${packaging_dir}/changelog" > "${packaging_dir}/changelog.gz"
  DEPENDS packaging/quennet-update.1 "${packaging_dir}/changelog"
  COMMENT "Compressing the manual page and the changelog")

add_custom_target(quennet_package_files ALL
  DEPENDS "${packaging_dir}/quennet-update.1.gz" "${packaging_dir}/changelog.gz" "${packaging_dir}/images.sha256")

install(FILES "${packaging_dir}/quennet-update.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
install(FILES "${packaging_dir}/images.sha256" DESTINATION ${QUENNET_DOC_DIR} COMPONENT program)

# The terms of the images: the release engineer's file, or a word on where
# they come from.
if(QUENNET_IMAGE_TERMS)
  install(FILES "${QUENNET_IMAGE_TERMS}" DESTINATION ${QUENNET_DOC_DIR} RENAME IMAGE-TERMS COMPONENT program)
  set(QUENNET_IMAGES_COMMENT "The Mainboard and Control images embedded in quennet-update are\n not covered by this licence: their terms are in IMAGE-TERMS beside this file.")
elseif(QUENNET_PLACEHOLDER_IMAGES)
  set(QUENNET_IMAGES_COMMENT "The Mainboard and Control images come with the device's release. This\n build carries placeholder images instead, which carry no terms.")
else()
  set(QUENNET_IMAGES_COMMENT "The Mainboard and Control images embedded in quennet-update come with\n the device's release and are not covered by this licence.")
endif()

# Debian: a machine-readable copyright file and the changelog; RPM: the
# licence where Fedora and openSUSE keep licences.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" license_text)
string(REGEX REPLACE "^MIT License\n\n" "" license_text "${license_text}")
string(REGEX REPLACE "\n$" "" license_text "${license_text}")
string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REPLACE "\n" "\n " QUENNET_LICENSE_PARAGRAPH " ${license_text}")
configure_file(packaging/copyright.in "${packaging_dir}/copyright" @ONLY)
install(FILES "${packaging_dir}/copyright" "${packaging_dir}/changelog.gz" DESTINATION ${QUENNET_DOC_DIR} COMPONENT deb)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/quennet-update COMPONENT rpm)

# --- Packages ---------------------------------------------------------------------
set(CPACK_GENERATOR DEB RPM)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_RPM_COMPONENT_INSTALL ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")

if(QUENNET_DEB_ARCHITECTURE)
  # A cross build (cmake/aarch64-linux-gnu.cmake) names the target's
  # architecture, not this machine's, and strips with the target's tools.
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QUENNET_DEB_ARCHITECTURE})
  set(CPACK_RPM_PACKAGE_ARCHITECTURE ${QUENNET_RPM_ARCHITECTURE})
  set(quennet_rpm_cross_tools "
%define __strip ${CMAKE_STRIP}
%define __objdump ${CMAKE_OBJDUMP}")
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # dependencies from the binary, by dpkg-shlibdeps
# and the hidapi that finds the Quennet, which the binary cannot tell.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libhidapi-hidraw0 (>= ${QUENNET_HIDAPI_MINIMUM})")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/postinst")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_PACKAGE_URL "https://harlowmere-audio.invalid/quennet")
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
# rpmbuild finds the libraries the binary needs (libhidapi-hidraw.so.0, which
# Fedora's hidapi and openSUSE's libhidapi-hidraw0 provide).
set(CPACK_RPM_PACKAGE_AUTOREQ ON)
set(CPACK_RPM_PACKAGE_REQUIRES "(hidapi >= ${QUENNET_HIDAPI_MINIMUM} or libhidapi-hidraw0 >= ${QUENNET_HIDAPI_MINIMUM})")
set(CPACK_RPM_POST_INSTALL_SCRIPT_FILE "${PROJECT_SOURCE_DIR}/packaging/postinst")
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/lib/udev /usr/lib/udev/rules.d /usr/share/licenses /usr/share/man /usr/share/man/man1 /usr/share/metainfo)
set(CPACK_RPM_SPEC_MORE_DEFINE "%define _buildhost reproducible
%define source_date_epoch_from_changelog 0
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _build_id_links none${quennet_rpm_cross_tools}")
include(CPack)
