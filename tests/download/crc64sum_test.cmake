# Runs the publisher's crc64sum tool on known files: cmake -DTOOL=... -DWORK=... -P crc64sum_test.cmake
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/digits "123456789")
file(WRITE ${WORK}/empty "")

execute_process(COMMAND ${TOOL} ${WORK}/digits OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "11051210869376104954\n")
  message(FATAL_ERROR "one file: rc=${rc} output='${out}'")
endif()

execute_process(COMMAND ${TOOL} ${WORK}/digits ${WORK}/empty OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "11051210869376104954 ${WORK}/digits\n0 ${WORK}/empty\n")
  message(FATAL_ERROR "two files: rc=${rc} output='${out}'")
endif()

execute_process(COMMAND ${TOOL} ${WORK}/missing OUTPUT_VARIABLE out ERROR_VARIABLE err
  RESULT_VARIABLE rc)
if(rc EQUAL 0 OR NOT out STREQUAL "" OR NOT err MATCHES "missing")
  message(FATAL_ERROR "missing file: rc=${rc} output='${out}' error='${err}'")
endif()
