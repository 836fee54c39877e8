# The standard headers most of the program's files include, and <windows.h> on Windows, compiled
# once per build tree: parsing them was about half of each file's compile in the Windows and
# release builds, and a quarter in the sanitizer builds.
#
# quorvel_precompile(DIR...) gives every C++ library and program of those directories the one
# precompiled header. Call it where DIRs were added, so that the header is compiled with the
# options their files are compiled with (GCC ignores a precompiled header made with others, and
# -Winvalid-pch says so).
#
# The fuzz build keeps it off: clang then compiles the portable files the fuzz targets use from
# their own includes alone, so such a file that leans on this header for an include fails there.
option(QUORVEL_PCH "Precompile the common standard headers (and <windows.h>)" ON)

function(quorvel_precompile)
  if(NOT QUORVEL_PCH)
    return()
  endif()
  # In a directory of its own: the release script's fresh configure empties the top one's CMakeFiles.
  add_subdirectory(${PROJECT_SOURCE_DIR}/cmake/precompiled ${CMAKE_BINARY_DIR}/precompiled)
  foreach(dir ${ARGN})
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target ${targets})
      get_target_property(type ${target} TYPE)
      get_target_property(sources ${target} SOURCES)
      if(type MATCHES "^(STATIC_LIBRARY|OBJECT_LIBRARY|EXECUTABLE)$" AND sources MATCHES "\\.cpp(;|$)")
        target_precompile_headers(${target} REUSE_FROM quorvel_pch)
      endif()
    endforeach()
  endforeach()
endfunction()
