# The download URL check run while configuring: cmake -DTOOL=... -DSOURCE=... -DWORK=... -P
# check_url_test.cmake. Runs the check on URLs the program would reject or could not use, then
# configures the project with one of them, which must stop with the reason.
function(expect url expected)
  execute_process(COMMAND ${TOOL} "${url}" RESULT_VARIABLE rc OUTPUT_VARIABLE out)
  if(expected STREQUAL "")
    if(NOT rc EQUAL 0 OR NOT out STREQUAL "")
      message(FATAL_ERROR "'${url}' should pass: rc=${rc} output='${out}'")
    endif()
  elseif(NOT rc EQUAL 1 OR NOT out STREQUAL "${expected}\n")
    message(FATAL_ERROR "'${url}': rc=${rc} output='${out}', expected '${expected}'")
  endif()
endfunction()

expect("https://dl.quorvel.com/Download/Micro/QuorvelLauncher.exe" "")
expect("https://127.0.0.1:+8443/Download/Micro/QuorvelLauncher.exe?x=1" "")
expect("" "the URL is empty")
expect("http://dl.quorvel.com/QuorvelLauncher.exe" "the URL must begin with \"https://\"")
expect("https://dl.quorvel.com/Download//QuorvelLauncher.exe"
  "Invalid URL format: \"//\" must occur exactly once, after \"https:\"")
expect("https://dl.quorvel.com:/QuorvelLauncher.exe"
  "the port must be a number from 1 to 65535: cannot parse integer from empty string")
expect("https://dl.quorvel.com:70000/QuorvelLauncher.exe"
  "the port must be a number from 1 to 65535: number too large to fit in target type")
expect("https://dl.quorvel.com:0/QuorvelLauncher.exe"
  "the port must be a number from 1 to 65535, not 0")
expect("https:///QuorvelLauncher.exe" "the URL names no host")
expect("https://dl.quorvel.com" "the URL names no file: a path must follow the host")
expect("https://dl.quorvel.com/Quorvel Launcher.exe"
  "the URL contains a space or a control character")

file(REMOVE_RECURSE ${WORK})
# A mirror is held to the same rules, and is no second name for a host already listed.
foreach(case "https://m.quorvel.com/a b.exe|the URL contains a space or a control character"
    "https://dl.quorvel.com/QuorvelLauncher.exe|is given twice")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 mirror)
  list(GET case 1 reason)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK} -G Ninja -DCMAKE_CXX_COMPILER=g++
      -DCMAKE_C_COMPILER=gcc -DQUORVEL_DOWNLOAD_URL=https://dl.quorvel.com/QuorvelLauncher.exe
      "-DQUORVEL_MIRROR_URLS=https://m2.quorvel.com/QuorvelLauncher.exe;${mirror}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REGEX REPLACE "[ \n]+" " " err "${err}")
  if(rc EQUAL 0 OR NOT err MATCHES "QUORVEL_MIRROR_URLS entry \"${mirror}\" .*${reason}")
    message(FATAL_ERROR "configuring with the mirror ${mirror}: rc=${rc}\n${err}")
  endif()
  file(REMOVE_RECURSE ${WORK})
endforeach()
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK} -G Ninja -DCMAKE_CXX_COMPILER=g++
    -DCMAKE_C_COMPILER=gcc -DQUORVEL_DOWNLOAD_URL=https://dl.quorvel.com:443x/QuorvelLauncher.exe
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX REPLACE "[ \n]+" " " err "${err}")
if(rc EQUAL 0 OR NOT err MATCHES
    "QUORVEL_DOWNLOAD_URL \"https://dl.quorvel.com:443x/QuorvelLauncher.exe\" cannot be used: the port must be a number from 1 to 65535: invalid digit found in string\\.")
  message(FATAL_ERROR "configuring with a bad URL: rc=${rc}\n${err}")
endif()
file(REMOVE_RECURSE ${WORK})
