# SPDX-License-Identifier: MIT
# Renders the owner's guide (the manual page's source) as the Windows zip's
# README.txt: its Windows parts (the register windows=1), plain ASCII text
# without bold or underline, Windows line ends, and for a placeholder build
# a warning as its first line.
#   cmake -DGROFF=... -DPAGE=... -DOUTPUT=... -DPLACEHOLDER=0|1 -P render_readme.cmake
execute_process(COMMAND ${GROFF} -man -Tascii -rwindows=1 -P-cbou -ww "${PAGE}"
                OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT errors STREQUAL "")
  message(FATAL_ERROR "groff could not render ${PAGE}: ${errors}")
endif()
if(PLACEHOLDER)
  set(text "THIS BUILD CARRIES PLACEHOLDER IMAGES, NOT A RELEASE: DO NOT USE IT ON A QUENNET.\n\n${text}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUTPUT}" "${text}")
