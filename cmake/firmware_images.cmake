# SPDX-License-Identifier: MIT
# The release's two images enter the build as constant data: the release
# folder's (cmake/release.cmake checked their sizes), or, for the placeholder
# release, deterministic placeholders of the right sizes. Either way the
# generated source is rebuilt when its input changes.

# The embedding tool runs at build time, so it is built for the build
# machine: in a cross build with the build machine's own compiler, when
# configuring (and again when its source changes).
if(CMAKE_CROSSCOMPILING)
  find_program(QUENNET_HOST_CXX NAMES c++ g++ REQUIRED)
  set(host_embed_image "${CMAKE_CURRENT_BINARY_DIR}/host/embed_image")
  file(MAKE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/host")
  execute_process(COMMAND ${QUENNET_HOST_CXX} -std=c++20 -O2 -o "${host_embed_image}"
                          "${PROJECT_SOURCE_DIR}/payload/embed_image.cpp"
                  RESULT_VARIABLE host_status ERROR_VARIABLE host_errors)
  if(NOT host_status EQUAL 0)
    message(FATAL_ERROR "cannot build embed_image for the build machine:\n${host_errors}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/payload/embed_image.cpp")
  add_executable(embed_image IMPORTED)
  set_target_properties(embed_image PROPERTIES IMPORTED_LOCATION "${host_embed_image}")
  set(QUENNET_EMBED_IMAGE_DEPENDS "${host_embed_image}")
else()
  add_executable(embed_image payload/embed_image.cpp)
  set(QUENNET_EMBED_IMAGE_DEPENDS embed_image)
endif()

set(QUENNET_IMAGE_SOURCES "")

function(quennet_embed_image symbol path size kind)
  set(output "${CMAKE_CURRENT_BINARY_DIR}/payload/${symbol}.cpp")
  if(path)
    # The release's own file is the input, never an output (make would drop
    # the loop it made, with a warning at every build).
    set(source_args --input "${path}")
    set(depends "${path}")
    set(raw "${path}")
    set(outputs "${output}")
  else()
    set(raw "${CMAKE_CURRENT_BINARY_DIR}/payload/${symbol}.bin")
    set(source_args --placeholder ${kind} --raw-output "${raw}")
    set(depends "")
    set(outputs "${output}" "${raw}")
  endif()
  set(${symbol}_RAW "${raw}" PARENT_SCOPE)  # the image's bytes as a file, for their SHA-256
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/payload"
    COMMAND embed_image --symbol ${symbol} --size ${size} --output "${output}" ${source_args}
    DEPENDS ${QUENNET_EMBED_IMAGE_DEPENDS} ${depends}
    COMMENT "Embedding ${symbol}"
    VERBATIM)
  set(QUENNET_IMAGE_SOURCES ${QUENNET_IMAGE_SOURCES} "${output}" PARENT_SCOPE)
endfunction()

quennet_embed_image(mainboard_image "${QUENNET_MAINBOARD_RELEASE_IMAGE}" ${QUENNET_MAINBOARD_IMAGE_SIZE} mainboard)
quennet_embed_image(control_image "${QUENNET_CONTROL_RELEASE_IMAGE}" ${QUENNET_CONTROL_IMAGE_SIZE} control)
set(QUENNET_MAINBOARD_RAW "${mainboard_image_RAW}")
set(QUENNET_CONTROL_RAW "${control_image_RAW}")

# Targets in other folders that compile the generated sources depend on this.
add_custom_target(quennet_image_sources DEPENDS ${QUENNET_IMAGE_SOURCES})
