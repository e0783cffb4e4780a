# SPDX-License-Identifier: BSD-2-Clause
# Two configurations of the project as on a machine without the
# googletest package:
# - with the tests on and GoogleTest's sources pointed at a folder that
#   does not exist, configuring must stop and name the package and the
#   option that turns the tests off;
# - with -DBUILD_TESTING=OFF it must succeed without a warning (it does
#   not even read where GoogleTest is), and the build it generates
#   must hold the module, the reference engine and quorlin-say and nothing
#   of GoogleTest, Google Benchmark or the fuzz targets.
#
# cmake -DSOURCE_DIR=<dir> -DSCRATCH=<dir> -DGENERATOR=<name> -P check_configure.cmake

file(REMOVE_RECURSE ${SCRATCH})
set(missing ${SCRATCH}/no-googletest)

execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${SCRATCH}/tests-on -G ${GENERATOR}
          -DQUORLIN_GTEST_SRC=${missing}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX REPLACE "[ \n]+" " " said "${err}")
if(status EQUAL 0)
  message(FATAL_ERROR "configuring the tests without GoogleTest succeeded:\n${out}${err}")
endif()
foreach(needed "googletest" "-DBUILD_TESTING=OFF")
  string(FIND "${said}" "${needed}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the configure error does not name ${needed}:\n${err}")
  endif()
endforeach()

execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${SCRATCH}/tests-off -G ${GENERATOR}
          -DBUILD_TESTING=OFF
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "configuring with -DBUILD_TESTING=OFF failed:\n${out}${err}")
endif()
if(NOT err STREQUAL "")
  message(FATAL_ERROR "configuring with -DBUILD_TESTING=OFF warned:\n${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${SCRATCH}/tests-off --target help
  RESULT_VARIABLE status OUTPUT_VARIABLE targets ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "listing the targets failed:\n${err}")
endif()
foreach(wanted quorlin eci_reference quorlin_say)
  if(NOT targets MATCHES "(^|\n)${wanted}:")
    message(FATAL_ERROR "the build without tests lacks ${wanted}:\n${targets}")
  endif()
endforeach()
foreach(unwanted gtest benchmark bench_ fuzz_ _test)
  if(targets MATCHES "(^|\n)[^\n]*${unwanted}[^\n]*:")
    message(FATAL_ERROR "the build without tests has a target with ${unwanted}:\n${targets}")
  endif()
endforeach()
file(REMOVE_RECURSE ${SCRATCH})
message("without GoogleTest: the tests stop with a clear message; -DBUILD_TESTING=OFF configures")
