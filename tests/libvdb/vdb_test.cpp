#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "common/log_capture.h"
#include "libpal/string/str_table.h"
#include "libvdb/libvdb.h"
#include "common/tmp_dir.h"

namespace {

// A fresh directory for the test's database files.
struct VdbTest : testing::Test {
    testutil::tmp_dir tmp{"vdb"};
    std::string dir = tmp.path;
    void SetUp() override { ASSERT_FALSE(dir.empty()); }
    std::string file(const char *name) const { return dir + "/" + name; }
};

std::string cell(const str_table *t, int row, int col)
{
    const char *c = str_table_get(t, "tab1", row, col);
    return c ? c : "(none)";
}

// Runs a shell command line; its standard output and exit status.
std::string run(const std::string &cmd, int *status)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) {
        *status = -1;
        return out;
    }
    char buf[1024];
    size_t k;
    while ((k = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, k);
    int st = pclose(p);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

// True when the peer program is there; otherwise the test is skipped with
// the package's name (under CI it fails instead).
bool have_peer(const char *program, const char *package)
{
    int st;
    run(std::string("command -v ") + program + " >/dev/null 2>&1", &st);
    if (st == 0) return true;
    const char *ci = getenv("CI");
    if (ci && std::string(ci) == "true")
        ADD_FAILURE() << program << " is missing: install the Debian package " << package;
    else
        std::printf("skipped: %s is missing (Debian package %s)\n", program, package);
    return false;
}

// The keyed database of the round trip: rows with NULLs in every place.
const char kFill[] =
    "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, note TEXT);"
    "INSERT INTO t VALUES(1, NULL, 'first');"
    "INSERT INTO t VALUES(2, 'bob', NULL);"
    "INSERT INTO t VALUES(3, 'carol', 'x y');";

TEST_F(VdbTest, KeyedDatabaseRoundTrip)
{
    // The key is %-decoded: "s3cret&x".
    std::string url = file("keyed.db") + "?mode=rw&key=s3cret%26x";
    libdb *db = libdb_open(url.c_str());
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(libdb_exec(db, kFill), 1) << libdb_errmsg(db);
    EXPECT_EQ(libdb_last_errno(db), 0);
    libdb_close(db);

    db = libdb_open(("file://" + file("keyed.db") + "?key=s3cret%26x#top").c_str());
    ASSERT_NE(db, nullptr);
    str_table *t = libdb_query(db, "SELECT id, name, note FROM t ORDER BY id");
    ASSERT_NE(t, nullptr) << libdb_errmsg(db);
    EXPECT_STREQ(t->name, "sqlite_tab");
    EXPECT_EQ(str_table_get_rows(t, "tab1"), 3);
    EXPECT_EQ(str_table_get_cols(t, "tab1"), 3);
    // NULL values are empty texts: every column stays in its place.
    EXPECT_EQ(cell(t, 0, 1), "");
    EXPECT_EQ(cell(t, 0, 2), "first");
    EXPECT_EQ(cell(t, 1, 1), "bob");
    EXPECT_EQ(cell(t, 1, 2), "");
    EXPECT_EQ(cell(t, 2, 2), "x y");
    str_table_free(t);

    // No rows: an empty table without the rows' section.
    t = libdb_query(db, "SELECT * FROM t WHERE id > 10");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->nsections, 0u);
    EXPECT_EQ(str_table_get_rows(t, "tab1"), -1);
    str_table_free(t);
    libdb_close(db);

    // A wrong key, or none, shows on the first statement as "not a database".
    for (std::string bad : {"?key=s3cret", ""}) {
        db = libdb_open((file("keyed.db") + bad).c_str());
        ASSERT_NE(db, nullptr);
        EXPECT_EQ(libdb_query(db, "SELECT * FROM t"), nullptr);
        int code = libdb_last_errno(db);
        int eno = errno;
        EXPECT_EQ(code, -4);
        EXPECT_EQ(eno, 26);
        EXPECT_STREQ(libdb_errmsg(db), "file is encrypted or is not a database");
        EXPECT_EQ(libdb_exec(db, "SELECT 1 FROM t"), 0);
        libdb_close(db);
    }
    EXPECT_EQ(libdb_exit(), 0);
}

TEST_F(VdbTest, StatementErrorsAndTheirCodes)
{
    libdb *db = libdb_open(file("plain.db").c_str());
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(libdb_exec(db, "CREATE TABLE t(a UNIQUE, b); INSERT INTO t VALUES(1, 2);"), 1);

    EXPECT_EQ(libdb_exec(db, "SELEC 1"), 0);
    EXPECT_EQ(libdb_last_errno(db), -1);
    EXPECT_NE(std::string(libdb_errmsg(db)).find("syntax error"), std::string::npos);
    EXPECT_EQ(libdb_query(db, "SELECT nope FROM t"), nullptr);
    EXPECT_STREQ(libdb_errmsg(db), "no such column: nope");

    {
        // A code without a status of its own: -1, logged.
        testutil::log_capture cap;
        EXPECT_EQ(libdb_exec(db, "INSERT INTO t VALUES(1, 3)"), 0);
        EXPECT_EQ(libdb_last_errno(db), -1);
        EXPECT_TRUE(cap.has("unknown errno: 19\n")) << cap.get();
    }

    // Statements of different widths in one query cannot share a section.
    EXPECT_EQ(libdb_query(db, "SELECT a FROM t; SELECT a, b FROM t"), nullptr);
    // Rows stay whole however many columns they have.
    str_table *t = libdb_query(db, "SELECT 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,NULL,19,20");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(str_table_get_cols(t, "tab1"), 20);
    EXPECT_EQ(cell(t, 0, 17), "");
    EXPECT_EQ(cell(t, 0, 19), "20");
    str_table_free(t);

    // A second connection that holds the write lock: busy (-11).
    libdb *other = libdb_open(file("plain.db").c_str());
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(libdb_exec(other, "BEGIN EXCLUSIVE"), 1);
    EXPECT_EQ(libdb_exec(db, "INSERT INTO t VALUES(5, 6)"), 0);
    EXPECT_EQ(libdb_last_errno(db), -11);
    EXPECT_EQ(libdb_exec(other, "COMMIT"), 1);
    libdb_close(other);
    libdb_close(db);

    // A file that is not a database.
    std::ofstream(file("text.db")) << std::string(4096, 'x');
    db = libdb_open(file("text.db").c_str());
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(libdb_query(db, "SELECT 1 FROM sqlite_master"), nullptr);
    EXPECT_EQ(libdb_last_errno(db), -4);
    libdb_close(db);
}

TEST_F(VdbTest, OpensThatCannotWork)
{
    testutil::log_capture cap;
    EXPECT_EQ(libdb_open(nullptr), nullptr);
    EXPECT_EQ(libdb_open(file("missing/dir/x.db").c_str()), nullptr);
    EXPECT_EQ(libdb_open(""), nullptr);
    // A key too long for its copy fails instead of opening without one.
    std::string url = file("long.db") + "?key=" + std::string(5000, 'k');
    EXPECT_EQ(libdb_open(url.c_str()), nullptr);
    EXPECT_NE(access(file("long.db").c_str(), F_OK), 0);
    EXPECT_FALSE(cap.has(std::string(100, 'k')));  // the key stays out of the log
    // A path too long for the path buffer.
    EXPECT_EQ(libdb_open((dir + "/" + std::string(5000, 'p')).c_str()), nullptr);
    EXPECT_EQ(libdb_last_errno(nullptr), -1);
    EXPECT_EQ(libdb_exec(nullptr, "SELECT 1"), 0);
}

// True when the stack below the caller's frame, where the frames of the
// calls it made lay, still holds text.
__attribute__((noinline)) bool stack_below_holds(const std::string &text)
{
    char probe[96 * 1024];
    __asm__ __volatile__("" : : "r"(probe) : "memory");
    return std::string_view(probe, sizeof probe).find(text) != std::string_view::npos;
}

TEST_F(VdbTest, TheKeyLeavesNoCopyBehind)
{
    // Built on the heap, so that the only stack copies are the layer's.
    std::string key = "Kq7-";
    key += "unique-key-material-91";
    std::string url = file("wipe.db") + "?key=" + key;
    libdb *db = libdb_open(url.c_str());
    ASSERT_NE(db, nullptr);
    EXPECT_FALSE(stack_below_holds(key));
    EXPECT_FALSE(stack_below_holds(file("wipe.db")));  // the URL's copies went too
    libdb_close(db);
}

TEST_F(VdbTest, TheShellsSeeAnEncryptedFile)
{
    bool cipher = have_peer("sqlcipher", "sqlcipher");
    bool plain = have_peer("sqlite3", "sqlite3");
    if (!cipher && !plain) return;
    std::string keyed = file("shell.db"), open = file("open.db");
    libdb *db = libdb_open((keyed + "?key=s3cret%26x").c_str());
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(libdb_exec(db, kFill), 1);
    libdb_close(db);
    db = libdb_open(open.c_str());
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(libdb_exec(db, kFill), 1);
    libdb_close(db);

    int st;
    if (cipher) {
        std::ofstream(file("cmds")) << "PRAGMA key='s3cret&x';\nSELECT id, name, note FROM t ORDER BY id;\n";
        std::string out = run("sqlcipher '" + keyed + "' < '" + file("cmds") + "' 2>&1", &st);
        EXPECT_EQ(st, 0) << out;
        EXPECT_EQ(out, "1||first\n2|bob|\n3|carol|x y\n");
        std::ofstream(file("cmds")) << "PRAGMA key='wrong';\nSELECT id FROM t;\n";
        out = run("sqlcipher '" + keyed + "' < '" + file("cmds") + "' 2>&1", &st);
        EXPECT_NE(out.find("not a database"), std::string::npos) << out;
    }
    if (plain) {
        std::string out = run("sqlite3 '" + keyed + "' 'SELECT id FROM t' 2>&1", &st);
        EXPECT_NE(st, 0);
        EXPECT_NE(out.find("not a database"), std::string::npos) << out;
        // Without a key the file is a plain SQLite database.
        out = run("sqlite3 '" + open + "' 'SELECT count(*) FROM t' 2>&1", &st);
        EXPECT_EQ(st, 0) << out;
        EXPECT_EQ(out, "3\n");
    }
}

}  // namespace
