# quorvel_string_table_source(OUT SETTING HEADER FUNCTION EMPTY_NOTE VALUE...): writes OUT, a C++ file
# that defines FUNCTION (declared in HEADER) to return the VALUEs as a span of string views, or an
# empty span with EMPTY_NOTE as its comment. SETTING names the build option the values came from.
function(quorvel_string_table_source out setting header function empty_note)
  set(entries "")
  foreach(value IN LISTS ARGN)
    string(REPLACE "\\" "\\\\" escaped "${value}")
    string(REPLACE "\"" "\\\"" escaped "${escaped}")
    string(APPEND entries "    \"${escaped}\",\n")
  endforeach()
  if(entries STREQUAL "")
    set(body "  return {};  // ${empty_note}\n")
  else()
    set(body "  static constexpr std::string_view VALUES[] = {\n${entries}  };\n  return VALUES;\n")
  endif()
  file(CONFIGURE OUTPUT ${out} CONTENT
"// Generated from ${setting} when the build is configured.
#include \"${header}\"

std::span<const std::string_view> ${function}() {
@body@}
" @ONLY)
endfunction()
