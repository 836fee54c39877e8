# Small tools built from the program's own sources for the build machine while the build is
# configured, also in a cross build: the download URL check, and the publisher's checksum tool for
# the release script.

# quorvel_host_tool(NAME SOURCE): builds ${CMAKE_BINARY_DIR}/host-tools/NAME from SOURCE (under
# src/download/tools) and the download library's parsers when it is missing or older than a source
# or a header under src/download or src/runtime.
function(quorvel_host_tool name source)
  find_program(QUORVEL_HOST_CXX NAMES c++ g++ clang++ NO_CMAKE_FIND_ROOT_PATH
    DOC "The build machine's C++ compiler, for the tools run while configuring")
  if(NOT QUORVEL_HOST_CXX)
    message(FATAL_ERROR "No C++ compiler for the build machine (c++, g++ or clang++)")
  endif()
  set(src ${PROJECT_SOURCE_DIR}/src)
  include(${src}/download/parsing.cmake)
  set(sources ${QUORVEL_DOWNLOAD_PARSING} ${QUORVEL_DOWNLOAD_PARSING_RUNTIME})
  list(TRANSFORM sources PREPEND ${src}/download/)
  list(PREPEND sources ${src}/download/tools/${source})
  set(tool ${CMAKE_BINARY_DIR}/host-tools/${name})
  file(GLOB headers ${src}/download/*.h ${src}/runtime/*.h)
  set(stale FALSE)
  foreach(file ${sources} ${headers})
    if(NOT EXISTS ${tool} OR ${file} IS_NEWER_THAN ${tool})
      set(stale TRUE)
    endif()
  endforeach()
  if(stale)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/host-tools)
    execute_process(
      COMMAND ${QUORVEL_HOST_CXX} -std=c++20 -O2 -I${src} ${sources} -o ${tool}
      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
      file(REMOVE ${tool})
      message(FATAL_ERROR "Building the host tool ${name} with ${QUORVEL_HOST_CXX} failed:\n${out}")
    endif()
  endif()
endfunction()

# quorvel_check_download_url(URL [SETTING]): stops the configuration when URL is one the program
# would reject or could not use, saying what is wrong: checked with the rules quorvel-check applies
# too. SETTING names the option the URL came from (default QUORVEL_DOWNLOAD_URL).
function(quorvel_check_download_url url)
  set(setting QUORVEL_DOWNLOAD_URL)
  if(ARGC GREATER 1)
    set(setting "${ARGV1} entry")
  endif()
  quorvel_host_tool(check_url check_url.cpp)
  execute_process(COMMAND ${CMAKE_BINARY_DIR}/host-tools/check_url "${url}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE why OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${setting} \"${url}\" cannot be used: ${why}.\n"
      "Give the launcher's full address, for example "
      "-DQUORVEL_DOWNLOAD_URL=https://downloads.example.com/Download/Micro/QuorvelLauncher.exe")
  endif()
endfunction()
