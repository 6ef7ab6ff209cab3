# SPDX-License-Identifier: MIT
# A revision as the package versions carry it: its two bytes as decimal
# numbers, major.minor (0.97 is 0.151, 0.9A is 0.154, 1.0A is 1.10). dpkg
# and rpm compare digits as numbers but letters after digits, so the hex
# digits themselves would sort 0.9A below 0.99 and 1.0A below 1.09.
function(quennet_package_revision out major minor)
  math(EXPR major_number "0x${major}")
  math(EXPR minor_number "0x${minor}")
  set(${out} "${major_number}.${minor_number}" PARENT_SCOPE)
endfunction()

# cmake -DREVISION=0.9A -P cmake/package_revision.cmake prints 0.154.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  string(REPLACE "." ";" parts "${REVISION}")
  list(GET parts 0 major)
  list(GET parts 1 minor)
  quennet_package_revision(shown ${major} ${minor})
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${shown}")
endif()
