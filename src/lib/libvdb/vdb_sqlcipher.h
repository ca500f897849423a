#pragma once
// The encrypted SQLite of the database layer: SQLCipher, whose header
// declares sqlite3_key only when SQLITE_HAS_CODEC is set.
#ifndef SQLITE_HAS_CODEC
#define SQLITE_HAS_CODEC 1
#endif
#include <sqlcipher/sqlite3.h>

// Shuts the library (and its cipher) down; a later open starts it again.
inline int sqlite3mc_shutdown(void)
{
    return sqlite3_shutdown();
}
