# Link dependencies of the libraries that need something beyond libc.
# SQLCipher (Debian libsqlcipher-dev) is the encrypted SQLite of src/lib/libvdb.
find_library(SQLCIPHER_LIB sqlcipher)
find_path(SQLCIPHER_INCLUDE_DIR sqlcipher/sqlite3.h)
if(NOT SQLCIPHER_LIB OR NOT SQLCIPHER_INCLUDE_DIR)
  message(FATAL_ERROR "SQLCipher is missing: the database layer (src/lib/libvdb) needs "
          "sqlcipher/sqlite3.h and libsqlcipher. Install the Debian package libsqlcipher-dev "
          "(scripts/install-deps does it when run as root).")
endif()
target_link_libraries(vk PUBLIC ${SQLCIPHER_LIB})
