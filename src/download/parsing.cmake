# What reads bytes from the network: the download library's parsers, built alone for the fuzz
# targets and, with the build machine's compiler, into the tools run while configuring
# (cmake/HostTools.cmake). Paths relative to src/download.
set(QUORVEL_DOWNLOAD_PARSING
  authenticode.cpp
  crc64.cpp
  der.cpp
  download_url.cpp
  http_reply.cpp
  http_request.cpp
  number.cpp
  pe_signature.cpp
  signed_data.cpp
  timestamp_token.cpp
  url_rules.cpp
  utf8.cpp
)
