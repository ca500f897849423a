#define LOG_MOD "tag"
#define LOG_SRC "src/lib/libvdb/sqlite3"
#include "libvdb/sqlite3.h"

#include <cerrno>
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_table.h"
#include "libpal/string/str_url.h"
#include "libvdb/vdb_sqlcipher.h"

namespace {

constexpr size_t kKeySize = 4096;
constexpr int kRowStop = SQLITE_ABORT;

// Clears the stack below the caller, where the URL parser and the query
// reader kept their copies of the URL and the key.
__attribute__((noinline)) void wipe_callee_stack()
{
    char pad[4 * URL_BUF_SIZE + 4096];
    explicit_bzero(pad, sizeof pad);
    __asm__ __volatile__("" : : "r"(pad) : "memory");
}

// Texts that held the URL or the key: wiped when the open ends, whatever
// way it ends.
struct open_work {
    char buf[URL_BUF_SIZE];        // the parsed URL's fields
    char query[URL_BUF_SIZE + 1];  // '?' and the query
    char path[PATH_BUF_SIZE];
    char key[kKeySize];
    ~open_work()
    {
        explicit_bzero(this, sizeof *this);
        wipe_callee_stack();
    }
};

}  // namespace

sqlite3 *vdb_sqlite3_open(const char *url_text)
{
    OS_CHECK_RET(url_text, nullptr);
    open_work w;
    url u;
    if (url_parser(&u, w.buf, url_text) != 0) {
        LOG_ERR("database url cannot be parsed\n");
        return nullptr;
    }
    if (!u.path[0] || str_safecopy_trunc(w.path, sizeof w.path, u.path) != 0) {
        LOG_ERR("database url has no usable path\n");
        return nullptr;
    }
    // The key is read from the parsed query, so that '#' ends it as it
    // ends the query and a '?' inside the value stays part of the key.
    w.query[0] = '?';
    memcpy(w.query + 1, u.query, strlen(u.query) + 1);
    if (url_get_query_imp(w.query, "key", "", w.key, sizeof w.key) != 0) {
        LOG_ERR("database key longer than %d bytes\n", (int)kKeySize - 1);
        return nullptr;
    }
    sqlite3 *conn = nullptr;
    int rc = sqlite3_open(w.path, &conn);
    if (rc != SQLITE_OK) {
        LOG_ERR("sqlite3_open %s failed: %d %s\n", w.path, rc, conn ? sqlite3_errmsg(conn) : "");
        sqlite3_close(conn);
        return nullptr;
    }
    if (w.key[0]) {
        rc = sqlite3_key(conn, w.key, (int)strlen(w.key));
        if (rc != SQLITE_OK) {
            LOG_ERR("sqlite3_key %s failed: %d\n", w.path, rc);
            sqlite3_close(conn);
            return nullptr;
        }
    }
    return conn;
}

void vdb_sqlite3_close(sqlite3 *conn)
{
    sqlite3_close(conn);
}

int vdb_sqlite3_exec(sqlite3 *conn, const char *sql)
{
    OS_CHECK_RET(conn && sql, 0);
    char *msg = nullptr;
    int rc = sqlite3_exec(conn, sql, nullptr, nullptr, &msg);
    sqlite3_free(msg);
    return rc == SQLITE_OK ? 1 : 0;
}

int vdb_sqlite3_query_row(void *table, int count, char **values, char **)
{
    // A NULL value is an empty text, so that every row keeps its width.
    const char *small[16] = {};
    const char **cells = count <= 16 ? small : (const char **)os_malloc(sizeof(char *) * (size_t)count);
    if (!cells) return kRowStop;
    for (int i = 0; i < count; ++i) cells[i] = values[i] ? values[i] : "";
    int r = str_table_add_row((str_table *)table, VDB_QUERY_SECTION, count, cells);
    if (cells != small) os_free(cells);
    return r == 0 ? 0 : kRowStop;
}

str_table *vdb_sqlite3_query(sqlite3 *conn, const char *sql)
{
    OS_CHECK_RET(conn && sql, nullptr);
    str_table *table = str_table_new(VDB_QUERY_TABLE);
    if (!table) return nullptr;
    char *msg = nullptr;
    int rc = sqlite3_exec(conn, sql, vdb_sqlite3_query_row, table, &msg);
    sqlite3_free(msg);
    if (rc == SQLITE_OK) return table;
    str_table_free(table);
    return nullptr;
}

const char *vdb_sqlite3_errmsg(sqlite3 *conn)
{
    return sqlite3_errmsg(conn);
}

int vdb_sqlite3_last_errno(sqlite3 *conn)
{
    int rc = sqlite3_errcode(conn);
    errno = rc;
    switch (rc & 0xff) {
    case SQLITE_OK: return 0;
    case SQLITE_ERROR:
    case SQLITE_INTERNAL: return -1;
    case SQLITE_PERM:
    case SQLITE_AUTH: return -5;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_FULL: return -11;
    case SQLITE_READONLY: return -10;
    case SQLITE_NOTADB: return -4;
    default: LOG_DBG("unknown errno: %lu\n", (unsigned long)rc); return -1;
    }
}

int vdb_sqlite3_exit(void)
{
    return sqlite3mc_shutdown();
}
