# The mirror URLs (QUORVEL_MIRROR_URLS): hosts serving the same launcher, tried in turn after the
# download URL fails. Each is checked while the build is configured, with the download URL's rules,
# and compiled into the program as a table.
include(${CMAKE_CURRENT_LIST_DIR}/StringTable.cmake)

# quorvel_mirrors_source(OUT URL...): writes the table of URLs to the C++ file OUT; stops the
# configuration when a URL is one the program would reject, or names the download URL or another
# mirror again.
function(quorvel_mirrors_source out)
  set(seen "${QUORVEL_DOWNLOAD_URL}")
  foreach(url IN LISTS ARGN)
    quorvel_check_download_url("${url}" QUORVEL_MIRROR_URLS)
    if(url IN_LIST seen)
      message(FATAL_ERROR "QUORVEL_MIRROR_URLS entry \"${url}\" is given twice (or is the "
        "download URL): each mirror is a host of its own, tried once a round")
    endif()
    list(APPEND seen "${url}")
  endforeach()
  quorvel_string_table_source(${out} QUORVEL_MIRROR_URLS download/download_url.h
    quorvel::mirror_urls "the download URL alone" ${ARGN})
endfunction()
