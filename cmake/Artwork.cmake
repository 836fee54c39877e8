# The publisher's banner picture and icon, as build options. Each is checked here, before anything
# is built, and copied into the build tree under a fixed name for resources/resources.rc; a change
# to the file configures the build again, and so checks it again.

set(QUORVEL_BANNER_PNG "${PROJECT_SOURCE_DIR}/resources/banner.png" CACHE FILEPATH
  "The banner PNG the window shows at its own size (at most 1024x672, every pixel opaque)")
set(QUORVEL_ICON "${PROJECT_SOURCE_DIR}/resources/quorvel.ico" CACHE FILEPATH
  "The program's icon file (.ico; 16, 32, 48 and 256 pixel images recommended)")

find_package(Python3 REQUIRED COMPONENTS Interpreter)

# quorvel_artwork(OPTION KIND NAME): checks the file OPTION names and copies it to
# resources/artwork/NAME; stops with the checker's reason when the program could not use it.
function(quorvel_artwork option kind name)
  set(file "${${option}}")
  execute_process(
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/check_artwork.py ${kind} ${file}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out)
  string(STRIP "${out}" out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${option} \"${file}\" cannot be used: ${out}")
  endif()
  if(out)
    string(REPLACE "\n" ";" lines "${out}")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^warning: " "" line "${line}")
      # The project's own placeholder artwork is known and meant as it is.
      if(file STREQUAL "${PROJECT_SOURCE_DIR}/resources/${name}")
        message(STATUS "${option} (the placeholder): ${line}")
      else()
        message(WARNING "${option} \"${file}\": ${line}")
      endif()
    endforeach()
  endif()
  configure_file(${file} ${CMAKE_BINARY_DIR}/resources/artwork/${name} COPYONLY)
endfunction()

quorvel_artwork(QUORVEL_BANNER_PNG banner banner.png)
quorvel_artwork(QUORVEL_ICON icon quorvel.ico)
