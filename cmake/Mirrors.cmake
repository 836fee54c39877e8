# The mirror URLs (QUORVEL_MIRROR_URLS): hosts serving the same launcher, tried in turn after the
# download URL fails. Each is checked while the build is configured, with the download URL's rules,
# and compiled into the program as a table.

# quorvel_mirrors_source(OUT URL...): writes the table of URLs to the C++ file OUT; stops the
# configuration when a URL is one the program would reject, or names the download URL or another
# mirror again.
function(quorvel_mirrors_source out)
  set(entries "")
  set(seen "${QUORVEL_DOWNLOAD_URL}")
  foreach(url IN LISTS ARGN)
    quorvel_check_download_url("${url}" QUORVEL_MIRROR_URLS)
    if(url IN_LIST seen)
      message(FATAL_ERROR "QUORVEL_MIRROR_URLS entry \"${url}\" is given twice (or is the "
        "download URL): each mirror is a host of its own, tried once a round")
    endif()
    list(APPEND seen "${url}")
    string(REPLACE "\\" "\\\\" escaped "${url}")
    string(REPLACE "\"" "\\\"" escaped "${escaped}")
    string(APPEND entries "    \"${escaped}\",\n")
  endforeach()
  if(entries STREQUAL "")
    set(body "  return {};  // the download URL alone\n")
  else()
    set(body "  static constexpr std::string_view URLS[] = {\n${entries}  };\n  return URLS;\n")
  endif()
  file(CONFIGURE OUTPUT ${out} CONTENT
"// Generated from QUORVEL_MIRROR_URLS when the build is configured.
#include \"download/download_url.h\"

std::span<const std::string_view> quorvel::mirror_urls() {
@body@}
" @ONLY)
endfunction()
