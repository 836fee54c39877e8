# The program's version and the publisher's names, as build options. The version becomes the
# compile definition QUORVEL_VERSION (a string literal, for every target) and, on Windows, the
# version resource (resources/version.rc.in) that Explorer shows on the file's Details tab.

set(QUORVEL_VERSION "" CACHE STRING
  "The program's version: one to four numbers 0-65535 joined by dots (empty: the project's version)")
set(QUORVEL_PRODUCT_NAME "Quorvel" CACHE STRING "Product name in the version resource")
set(QUORVEL_FILE_DESCRIPTION "Quorvel Setup" CACHE STRING "File description in the version resource")
set(QUORVEL_COMPANY_NAME "Brisko" CACHE STRING "Company name in the version resource")
set(QUORVEL_COPYRIGHT "" CACHE STRING
  "Copyright in the version resource (empty: \"Copyright © YEAR COMPANY\", YEAR from SOURCE_DATE_EPOCH when set)")

if(QUORVEL_VERSION STREQUAL "")
  set(quorvel_version ${PROJECT_VERSION})
else()
  set(quorvel_version ${QUORVEL_VERSION})
endif()
if(NOT quorvel_version MATCHES "^([0-9]+)(\\.([0-9]+))?(\\.([0-9]+))?(\\.([0-9]+))?$")
  message(FATAL_ERROR "QUORVEL_VERSION \"${quorvel_version}\" is not a version: give one to four "
    "numbers joined by dots, such as 1.4.2")
endif()
set(parts "${CMAKE_MATCH_1}" "${CMAKE_MATCH_3}" "${CMAKE_MATCH_5}" "${CMAKE_MATCH_7}")
set(quorvel_version_numbers)
foreach(n IN LISTS parts)
  if(n STREQUAL "")
    set(n 0)
  endif()
  # Leading zeros would read as octal in the resource script; each part is a 16-bit number.
  string(REGEX REPLACE "^0+([0-9])" "\\1" n "${n}")
  string(LENGTH "${n}" digits)
  if(digits GREATER 5 OR n GREATER 65535)
    message(FATAL_ERROR "QUORVEL_VERSION \"${quorvel_version}\": each number must be at most 65535")
  endif()
  list(APPEND quorvel_version_numbers ${n})
endforeach()
list(JOIN quorvel_version_numbers "," QUORVEL_VERSION_COMMAS)
set(QUORVEL_EFFECTIVE_VERSION ${quorvel_version} CACHE INTERNAL "The version this build carries")
add_compile_definitions(QUORVEL_VERSION="${quorvel_version}")

function(quorvel_rc_string out text)
  # Resource-script strings: a backslash starts an escape and a quote is doubled.
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\"\"" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

if(WIN32)
  set(copyright "${QUORVEL_COPYRIGHT}")
  if(copyright STREQUAL "")
    # string(TIMESTAMP) takes its time from SOURCE_DATE_EPOCH when that is set.
    string(TIMESTAMP year "%Y" UTC)
    set(copyright "Copyright © ${year} ${QUORVEL_COMPANY_NAME}")
  endif()
  quorvel_rc_string(RC_VERSION "${quorvel_version}")
  quorvel_rc_string(RC_PRODUCT_NAME "${QUORVEL_PRODUCT_NAME}")
  quorvel_rc_string(RC_FILE_DESCRIPTION "${QUORVEL_FILE_DESCRIPTION}")
  quorvel_rc_string(RC_COMPANY_NAME "${QUORVEL_COMPANY_NAME}")
  quorvel_rc_string(RC_COPYRIGHT "${copyright}")
  configure_file(${PROJECT_SOURCE_DIR}/resources/version.rc.in
    ${CMAKE_BINARY_DIR}/resources/version.rc @ONLY)
endif()
