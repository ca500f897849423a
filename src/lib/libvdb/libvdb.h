#pragma once
// Database access layer: a handle over an encrypted SQLite database named
// by a URL such as "/data/app.db?key=secret" or "file:///data/app.db?key=secret"
// (the key %-encoded where it holds '&', '#' or '%'). Query rows come back
// as a string table; NULL values are empty texts. The URL carries the key:
// never log it.
#include "libvdb/sqlite3.h"

struct libdb {
    sqlite3 *conn;
};

libdb *libdb_open(const char *url);
void libdb_close(libdb *db);
// 1 when every statement of sql ran, else 0.
int libdb_exec(libdb *db, const char *sql);
// The rows in section "tab1" of a new table "sqlite_tab" (freed with
// str_table_free), or NULL.
str_table *libdb_query(libdb *db, const char *sql);
const char *libdb_errmsg(libdb *db);
// The status code of the connection's last result: 0, -1, -4 (not a
// database, or a wrong key), -5, -10 or -11.
int libdb_last_errno(libdb *db);
int libdb_exit(void);
