// Database layer: a 10,000-row by 5-column query through libdb_query
// against the same query through raw sqlite3_exec with a no-op callback, on
// one keyed connection; and the latency of a keyed open with its first
// statement (key derivation dominates).
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "libpal/string/str_table.h"
#include "libvdb/libvdb.h"
#include "libvdb/vdb_sqlcipher.h"

namespace {

constexpr int kRows = 10000;
const char kQuery[] = "SELECT a, b, c, d, e FROM t";

struct bench_db {
    std::string dir, url;
    libdb *db = nullptr;
    bench_db()
    {
        char t[] = "/tmp/bench_vdb_XXXXXX";
        if (!mkdtemp(t)) abort();
        dir = t;
        url = dir + "/bench.db?key=bench-key";
        db = libdb_open(url.c_str());
        if (!db) abort();
        std::string fill = "CREATE TABLE t(a INTEGER, b TEXT, c REAL, d TEXT, e INTEGER);"
                           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                           std::to_string(kRows) +
                           ") INSERT INTO t SELECT i, 'name-' || i, i * 0.5, "
                           "CASE WHEN i % 7 = 0 THEN NULL ELSE 'note ' || (i % 100) END, i * 31 FROM n;";
        if (!libdb_exec(db, fill.c_str())) abort();
    }
    ~bench_db()
    {
        libdb_close(db);
        std::system(("rm -rf '" + dir + "'").c_str());
    }
};

bench_db &shared_db()
{
    static bench_db *d = new bench_db;
    return *d;
}

int no_op(void *, int, char **, char **)
{
    return 0;
}

void run_layer(libdb *db)
{
    str_table *t = libdb_query(db, kQuery);
    if (!t || str_table_get_rows(t, "tab1") != kRows) abort();
    str_table_free(t);
}

void run_raw(libdb *db)
{
    if (sqlite3_exec(db->conn, kQuery, no_op, nullptr, nullptr) != SQLITE_OK) abort();
}

void BM_vdb_query(benchmark::State &state)
{
    libdb *db = shared_db().db;
    for (auto _ : state) run_layer(db);
    state.SetItemsProcessed((int64_t)state.iterations() * kRows);
}
BENCHMARK(BM_vdb_query)->Name("query_10k_rows@vk")->Unit(benchmark::kMillisecond);

void BM_raw_exec(benchmark::State &state)
{
    libdb *db = shared_db().db;
    for (auto _ : state) run_raw(db);
    state.SetLabel("sqlite3_exec with a no-op row callback, same keyed connection");
    state.SetItemsProcessed((int64_t)state.iterations() * kRows);
}
BENCHMARK(BM_raw_exec)->Name("query_10k_rows@sqlite3_exec")->Unit(benchmark::kMillisecond);

void BM_keyed_open(benchmark::State &state)
{
    const std::string &url = shared_db().url;
    for (auto _ : state) {
        libdb *db = libdb_open(url.c_str());
        if (!db || !libdb_exec(db, "SELECT count(*) FROM sqlite_master")) abort();
        libdb_close(db);
    }
}
BENCHMARK(BM_keyed_open)->Name("keyed_open@vk")->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete &shared_db();
    return 0;
}
