#pragma once
// SQLite backend of the database layer. The database is named by a URL:
// its path is the file, its query value "key" the page-encryption key.
// Statements are texts: the layer binds no parameters, so SQL built from
// outside input is the caller's to quote.
#include "libpal/env/os_types.h"

struct sqlite3;
struct str_table;

// Rows of a query go to this section of the result table "sqlite_tab".
#define VDB_QUERY_TABLE "sqlite_tab"
#define VDB_QUERY_SECTION "tab1"

sqlite3 *vdb_sqlite3_open(const char *url);
void vdb_sqlite3_close(sqlite3 *conn);
int vdb_sqlite3_exec(sqlite3 *conn, const char *sql);
str_table *vdb_sqlite3_query(sqlite3 *conn, const char *sql);
int vdb_sqlite3_query_row(void *table, int count, char **values, char **names);
const char *vdb_sqlite3_errmsg(sqlite3 *conn);
int vdb_sqlite3_last_errno(sqlite3 *conn);
int vdb_sqlite3_exit(void);
