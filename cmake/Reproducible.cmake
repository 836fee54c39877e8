# How every Windows binary is compiled and linked: small, and the same bytes from every build of the
# same sources with the same options, wherever and whenever it is built.
set(c_like $<COMPILE_LANGUAGE:C,CXX>)

# A section per function and per variable, so that the linker drops what nothing refers to.
add_compile_options($<${c_like}:-ffunction-sections> $<${c_like}:-fdata-sections>)
add_link_options(-Wl,--gc-sections)

# No link time stamp in the PE header, and no build paths in the objects (__FILE__ and the debug
# information name files relative to the source and build trees).
add_link_options(-Wl,--no-insert-timestamp)
add_compile_options($<${c_like}:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>
  $<${c_like}:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>)

if(QUORVEL_RELEASE)
  # The shipped file is stripped; the release script keeps this information in a separate file.
  add_compile_options($<${c_like}:-g>)
  set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON)
endif()
