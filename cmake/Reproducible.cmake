# How every Windows binary is compiled and linked: small, and the same bytes from every build of the
# same sources with the same options, wherever and whenever it is built.
set(c_like $<COMPILE_LANGUAGE:C,CXX>)

# A section per function and per variable, so that the linker drops what nothing refers to. GNU
# ld keeps every function's unwind entry (.pdata), and with it the function: the program is
# therefore linked twice by gc_link.py, whose second link drops those functions as well.
# quorvel_shipped_link(TARGET) links a target so: the program and the end-to-end tests' builds of
# it. The other test executables keep the plain link, whose few extra kilobytes nobody downloads.
add_compile_options($<${c_like}:-ffunction-sections> $<${c_like}:-fdata-sections>)
add_link_options(-Wl,--gc-sections)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
function(quorvel_shipped_link target)
  set_target_properties(${target} PROPERTIES
    CXX_LINKER_LAUNCHER "${Python3_EXECUTABLE};${PROJECT_SOURCE_DIR}/cmake/gc_link.py")
endfunction()

# No link time stamp in the PE header, and no build paths in the objects (__FILE__ and the debug
# information name files relative to the source and build trees).
add_link_options(-Wl,--no-insert-timestamp)
set(prefix_maps -ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
add_compile_options("$<${c_like}:${prefix_maps}>")

# Link-time optimisation: the compiler sees the whole program when it links, so it inlines, merges
# and drops across files (about 55 KB of the program). In one partition: GCC 12 stops with an
# internal compiler error when it splits this code into several.
option(QUORVEL_LTO "Link-time optimisation (on in the release preset)" ${QUORVEL_RELEASE})
if(QUORVEL_LTO)
  set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON)
  add_link_options(-flto-partition=one)
endif()

if(QUORVEL_RELEASE)
  # The shipped file is stripped; the release script keeps this information in a separate file.
  add_compile_options($<${c_like}:-g>)
endif()
