# The names the downloaded launcher may be signed by (QUORVEL_LAUNCHER_PUBLISHERS), checked while the
# build is configured and compiled into the program as a table.
include(${CMAKE_CURRENT_LIST_DIR}/StringTable.cmake)

# quorvel_publishers_source(OUT NAME...): writes the table of NAMEs to the C++ file OUT; stops the
# configuration when a name could never match a certificate's subject name.
function(quorvel_publishers_source out)
  foreach(name IN LISTS ARGN)
    string(STRIP "${name}" stripped)
    if(NOT stripped STREQUAL name OR name STREQUAL "")
      message(FATAL_ERROR "QUORVEL_LAUNCHER_PUBLISHERS entry \"${name}\" cannot be used: a "
        "signer's name has no leading or trailing spaces and is not empty.\nGive the common name "
        "(CN) of the code-signing certificate's subject exactly, for example "
        "-DQUORVEL_LAUNCHER_PUBLISHERS=\"Example Games Ltd\"")
    endif()
    if(name MATCHES "[\n\r\t]")
      message(FATAL_ERROR "QUORVEL_LAUNCHER_PUBLISHERS entry \"${name}\" holds a control character")
    endif()
  endforeach()
  quorvel_string_table_source(${out} QUORVEL_LAUNCHER_PUBLISHERS download/launcher_signature.h
    quorvel::launcher_publishers
    "no check: the launcher is installed once its checksum matches" ${ARGN})
endfunction()
