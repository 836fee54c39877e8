# The names the downloaded launcher may be signed by (QUORVEL_LAUNCHER_PUBLISHERS) and the CAs one
# of which its chain must hold (QUORVEL_LAUNCHER_ISSUERS), checked while the build is configured and
# compiled into the program as tables.
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

# quorvel_issuers_source(OUT FINGERPRINT...): writes the table of CA certificates' SHA-256
# FINGERPRINTs (64 hex digits, either case; written in lower case) to the C++ file OUT.
function(quorvel_issuers_source out)
  set(fingerprints "")
  foreach(fingerprint IN LISTS ARGN)
    string(LENGTH "${fingerprint}" length)
    if(NOT fingerprint MATCHES "^[0-9a-fA-F]+$" OR NOT length EQUAL 64)
      message(FATAL_ERROR "QUORVEL_LAUNCHER_ISSUERS entry \"${fingerprint}\" cannot be used: give "
        "the SHA-256 fingerprint of the CA certificate as 64 hex digits, without colons or spaces, "
        "for example the output of: openssl x509 -in ca.pem -outform DER | sha256sum")
    endif()
    string(TOLOWER "${fingerprint}" fingerprint)
    list(APPEND fingerprints ${fingerprint})
  endforeach()
  quorvel_string_table_source(${out} QUORVEL_LAUNCHER_ISSUERS download/launcher_signature.h
    quorvel::launcher_issuers "any CA: the signer's chain is not asked for one" ${fingerprints})
endfunction()

if(NOT "${QUORVEL_LAUNCHER_ISSUERS}" STREQUAL "" AND "${QUORVEL_LAUNCHER_PUBLISHERS}" STREQUAL "")
  message(FATAL_ERROR "QUORVEL_LAUNCHER_ISSUERS needs QUORVEL_LAUNCHER_PUBLISHERS: the CAs only "
    "narrow down the names the launcher may be signed by, and without names nothing is checked")
endif()
