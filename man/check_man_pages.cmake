# SPDX-License-Identifier: BSD-2-Clause
# Checks the manual pages: no warning from `mandoc -T lint` (style notes,
# such as a cross-reference to a page this machine lacks, are allowed) or
# from `groff -ww -z`; every configuration key in the module's key table
# is described in quorlin.conf(5); every long option of `quorlin-say
# --help` is described in quorlin-say(1).
#
# cmake -DMANDOC=<path> [-DGROFF=<path>] -DPAGES=<page;...>
#       -DCONFIG_SOURCE=<quorlin_config.cpp> [-DQUORLIN_SAY=<path>]
#       -P check_man_pages.cmake

set(problems 0)
set(option_count 0)
macro(problem text)
  message("${text}")
  math(EXPR problems "${problems} + 1")
endmacro()

foreach(page IN LISTS PAGES)
  execute_process(COMMAND ${MANDOC} -T lint -W warning ${page}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
    problem("mandoc -T lint ${page} (status ${status}):\n${out}${err}")
  endif()
  if(GROFF)
    execute_process(COMMAND ${GROFF} -ww -z -mandoc ${page}
      RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
      problem("groff -ww -z ${page} (status ${status}):\n${out}${err}")
    endif()
  endif()
  cmake_path(GET page FILENAME name)
  file(READ ${page} text_${name})
endforeach()

# mdoc writes a long option as "Fl \-name" and a key as "Cm Name".
file(STRINGS ${CONFIG_SOURCE} key_lines REGEX "\"Corvane[A-Za-z]+\"")
set(keys)
foreach(line IN LISTS key_lines)
  string(REGEX MATCH "\"(Corvane[A-Za-z]+)\"" _ "${line}")
  list(APPEND keys ${CMAKE_MATCH_1})
endforeach()
list(LENGTH keys key_count)
if(key_count LESS 17)
  problem("found only ${key_count} configuration keys in ${CONFIG_SOURCE}")
endif()
foreach(key IN LISTS keys)
  string(FIND "${text_quorlin.conf.5}" ".It Cm ${key} " at)
  if(at EQUAL -1)
    problem("quorlin.conf.5 does not describe the key ${key}")
  endif()
endforeach()

if(QUORLIN_SAY)
  execute_process(COMMAND ${QUORLIN_SAY} --help
    RESULT_VARIABLE status OUTPUT_VARIABLE help ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    problem("quorlin-say --help failed (status ${status}): ${err}")
  endif()
  string(REGEX MATCHALL "--[a-z][a-z-]*" options "${help}")
  list(REMOVE_DUPLICATES options)
  list(LENGTH options option_count)
  if(option_count LESS 10)
    problem("quorlin-say --help names only ${option_count} long options:\n${help}")
  endif()
  foreach(option IN LISTS options)
    string(SUBSTRING ${option} 2 -1 bare)
    string(FIND "${text_quorlin-say.1}" "Fl \\-${bare}" at)
    if(at EQUAL -1)
      problem("quorlin-say.1 does not describe ${option}")
    endif()
  endforeach()
endif()

if(problems GREATER 0)
  message(FATAL_ERROR "${problems} problems in the manual pages")
endif()

message("manual pages clean: ${PAGES}; ${key_count} keys, ${option_count} options checked")
