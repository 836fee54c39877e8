# QUORVEL_SANITIZE: a comma-separated -fsanitize= list for the host builds (address,undefined / thread).
set(QUORVEL_SANITIZE "" CACHE STRING "Sanitizers for host builds")
if(QUORVEL_SANITIZE)
  add_compile_options(-fsanitize=${QUORVEL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all -g)
  add_link_options(-fsanitize=${QUORVEL_SANITIZE})
endif()
