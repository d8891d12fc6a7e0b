# The configure check on the publisher's key and the minimum update, one case per run of
# `cmake -P` as a configuration would meet it: the check must stop with the reason and the
# way out, or let the configuration go on.
#   cmake -DQZ4_SOURCE_DIR=<source tree> -P tests/cmake/update_signing_test.cmake
cmake_minimum_required(VERSION 3.25)
if(DEFINED QZ4_CASE_ALLOW)
  include(${QZ4_SOURCE_DIR}/cmake/update_signing.cmake)
  qz4_check_update_signing("${QZ4_CASE_KEYS}" "${QZ4_CASE_ALLOW}" "${QZ4_CASE_MINIMUM}")
  return()
endif()

set(key 6972c5ce482253c6fd99aac70014770052f4df6bc876e25bd2c50d8e249f8e5f)
set(refusal "network attacker serves .* administrator rights.* -DQZ4_UPDATE_PUBLIC_KEY=.* -DQZ4_ALLOW_UNSIGNED_UPDATES=ON")
set(not_a_number "is not an update number")
# name | keys | QZ4_ALLOW_UNSIGNED_UPDATES | QZ4_MINIMUM_UPDATE | stops | what the output says
set(cases
  "no key|||0|stops|${refusal}"
  "no key, opt-in OFF||OFF|0|stops|${refusal}"
  "separators and blanks only| , \t,|OFF|0|stops|${refusal}"
  "no key, the explicit opt-in||ON|0|goes on|installs whatever the update hosts serve"
  "a key|${key}|OFF|0|goes on|"
  "a key and the opt-in|${key},|ON|0|goes on|"
  "the largest minimum|${key}|OFF|4294967295|goes on|"
  "a minimum beyond 32 bits|${key}|OFF|4294967296|stops|${not_a_number}"
  "a minimum of eleven digits|${key}|OFF|00000000001|stops|${not_a_number}"
  "a negative minimum|${key}|OFF|-1|stops|${not_a_number}"
  "a minimum in words|${key}|OFF|five|stops|${not_a_number}"
  "no minimum|${key}|OFF||stops|${not_a_number}")

set(failures 0)
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 name)
  list(GET fields 1 keys)
  list(GET fields 2 allow)
  list(GET fields 3 minimum)
  list(GET fields 4 expected)
  list(GET fields 5 pattern)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DQZ4_SOURCE_DIR=${QZ4_SOURCE_DIR} "-DQZ4_CASE_KEYS=${keys}"
            "-DQZ4_CASE_ALLOW=${allow}" "-DQZ4_CASE_MINIMUM=${minimum}" -P ${CMAKE_CURRENT_LIST_FILE}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  # CMake wraps and indents what it prints.
  string(REGEX REPLACE "[ \t\r\n]+" " " said "${output}")
  set(outcome "goes on")
  if(NOT result EQUAL 0)
    set(outcome "stops")
  endif()
  if(NOT outcome STREQUAL expected OR (pattern AND NOT said MATCHES "${pattern}"))
    message(SEND_ERROR "${name}: the check ${outcome} (expected: ${expected}, saying \"${pattern}\"); it said:\n${output}")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures} case(s) failed")
endif()
