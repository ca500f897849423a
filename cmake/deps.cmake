# Link dependencies of the libraries that need something beyond libc.
find_library(SQLCIPHER_LIB sqlcipher)
if(SQLCIPHER_LIB)
  target_link_libraries(vk PUBLIC ${SQLCIPHER_LIB})
endif()
