# SPDX-License-Identifier: BSD-2-Clause
# Runs one protocol test binary with QUORLIN_TEST_WRAPPER set to valgrind's
# memcheck, one log file per module process. Every process must end under
# valgrind's eye with "ERROR SUMMARY: 0 errors": definite leaks count as
# errors, and a process without a summary was killed before its leak
# check and so proves nothing. Fails as well when the tests fail or when
# no module ran under valgrind at all.
#
# With SHARDS above 1 it runs GoogleTest's shard SHARD (0 to SHARDS - 1)
# of the filtered tests.
#
# cmake -DVALGRIND=<path> -DTEST_BINARY=<path> -DFILTER=<gtest filter>
#       [-DSHARD=<i> -DSHARDS=<n>] -DLOG_DIR=<dir> -P run_memcheck.cmake

file(REMOVE_RECURSE "${LOG_DIR}")
file(MAKE_DIRECTORY "${LOG_DIR}")

set(ENV{QUORLIN_TEST_WRAPPER}
  "${VALGRIND} --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite --log-file=${LOG_DIR}/%p.log")
# Deadlines of the tests' children, for a module some twenty times slower.
set(ENV{QUORLIN_TEST_TIME_SCALE} 10)

if(SHARDS AND SHARDS GREATER 1)
  set(ENV{GTEST_TOTAL_SHARDS} ${SHARDS})
  set(ENV{GTEST_SHARD_INDEX} ${SHARD})
endif()

execute_process(COMMAND "${TEST_BINARY}" "--gtest_filter=${FILTER}" RESULT_VARIABLE result)

file(GLOB logs "${LOG_DIR}/*.log")
list(LENGTH logs processes)
set(failed 0)
foreach(log IN LISTS logs)
  file(READ "${log}" text)
  if(NOT text MATCHES "ERROR SUMMARY: 0 errors")
    math(EXPR failed "${failed} + 1")
    message("---- ${log}\n${text}")
  endif()
endforeach()

message("memcheck: ${processes} module processes, ${failed} with errors or without a summary")
if(processes EQUAL 0)
  message(FATAL_ERROR "memcheck: no process ran under valgrind")
endif()
if(NOT result EQUAL 0 OR failed GREATER 0)
  message(FATAL_ERROR "memcheck: tests exited with ${result}; ${failed} processes not clean")
endif()
