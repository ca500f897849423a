#define LOG_MOD "tag"
#define LOG_SRC "src/lib/libvdb/libvdb"
#include "libvdb/libvdb.h"

#include "liblog/log.h"
#include "libpal/env/malloc.h"

libdb *libdb_open(const char *url)
{
    sqlite3 *conn = vdb_sqlite3_open(url);
    if (!conn) return nullptr;
    libdb *db = (libdb *)os_zalloc(sizeof(libdb));
    if (!db) {
        vdb_sqlite3_close(conn);
        return nullptr;
    }
    db->conn = conn;
    return db;
}

void libdb_close(libdb *db)
{
    if (!db) return;
    vdb_sqlite3_close(db->conn);
    os_free(db);
}

int libdb_exec(libdb *db, const char *sql)
{
    OS_CHECK_RET(db && sql, 0);
    return vdb_sqlite3_exec(db->conn, sql);
}

str_table *libdb_query(libdb *db, const char *sql)
{
    OS_CHECK_RET(db && sql, nullptr);
    return vdb_sqlite3_query(db->conn, sql);
}

const char *libdb_errmsg(libdb *db)
{
    OS_CHECK_RET(db, "");
    return vdb_sqlite3_errmsg(db->conn);
}

int libdb_last_errno(libdb *db)
{
    OS_CHECK_RET(db, -1);
    return vdb_sqlite3_last_errno(db->conn);
}

int libdb_exit(void)
{
    return vdb_sqlite3_exit();
}
