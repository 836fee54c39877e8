# The configure-time check of QUORVEL_LAUNCHER_ISSUERS, given with -D as to a configuration.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/Publishers.cmake)
quorvel_issuers_source(${CMAKE_CURRENT_BINARY_DIR}/issuers.cpp ${QUORVEL_LAUNCHER_ISSUERS})
