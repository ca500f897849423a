// Rule evaluation of the typical filter "level <= 4 and msg holds error"
// over 1470-byte bsv log records, written in the rule language
//   @rule_mode and; level <= 4; msg find error     (substring, any case)
//   @rule_mode and; level <= 4; msg match error    (regular expression)
// with the record's fields read by name through bsv_value_match, as the
// record rings filter; against the same test hand-written in C++ over the
// parsed record; and a "match" rule's pattern compiled once against
// compiled for every call.
//
// Run with --benchmark_repetitions=5 for min and median.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_type.h"
#include "libbsv/value.h"
#include "libpal/env/malloc.h"
#include "libpal/qexpr/qexpr.h"
#include "libpal/regex/regex_ex.h"

namespace {

constexpr size_t kRecords = 64;

// Full-size log records: the message fills the record to 1470 bytes. Every
// level passes the first rule, so the message is always searched; one in
// eight holds "Error" near its end, the others are searched to the end.
struct record_set {
    bsv_value *ctx = bsv_value_init(BSV_SCHEMA_LOG, 0);
    std::vector<std::vector<u8>> recs;
    std::vector<bsv_log_rec> parsed;
    record_set()
    {
        const std::string head = "connect to 10.0.0.1:514 timed out after 1000 ms; retry ";
        for (size_t i = 0; i < kRecords; ++i) {
            std::string m;
            while (m.size() < 1400) m += head;
            if (i % 8 == 0) m.replace(m.size() - 60, 5, "Error");
            std::vector<u8> buf(BSV_LOG_REC_MAX);
            int n = bsv_log_build(buf.data(), (int)(1 + i % 4), "pal", "src/lib/libnet/sock_cli.cpp",
                                  120, "sock_tcp_connect", m.c_str());
            buf.resize(n > 0 ? (size_t)n : 0);
            recs.push_back(buf);
        }
        for (auto &r : recs) {
            bsv_log_rec lr{};
            bsv_log_parse(r.data(), (int)r.size(), ctx, &lr);
            parsed.push_back(lr);
        }
    }
};

const record_set &records()
{
    static const record_set *r = new record_set;
    return *r;
}

struct filter_arg {
    const bsv_value *ctx;
    const std::vector<u8> *rec;
};

// The variable procedure of a filtered reader: a record field by name.
int var_proc(const char *name, qexpr_value *v, void *arg)
{
    const filter_arg *f = (const filter_arg *)arg;
    bsv_value_res r;
    if (bsv_value_match(f->ctx, f->rec->data(), f->rec->size(), name, &r) != 0) return -1;
    v->type = r.type;
    v->num = r.num;  // the text pointer shares the word
    return 0;
}

void run_rules(benchmark::State &state, const char *text)
{
    qexpr *q = qexpr_new(nullptr);
    char err[QEXPR_ERR_SIZE];
    if (qexpr_load_str(q, text, err) != 0) {
        state.SkipWithError(err);
        qexpr_del(q);
        return;
    }
    const record_set &rs = records();
    if (rs.recs[0].size() != BSV_LOG_REC_MAX) state.SkipWithError("records are not full-size");
    size_t i = 0, kept = 0;
    for (auto _ : state) {
        filter_arg a{rs.ctx, &rs.recs[i]};
        kept += qexpr_filter_drop(q, var_proc, &a) == 0;
        i = (i + 1) % kRecords;
    }
    benchmark::DoNotOptimize(kept);
    state.SetItemsProcessed((int64_t)state.iterations());
    qexpr_del(q);
}

void BM_rules_find(benchmark::State &state)
{
    run_rules(state, "@rule_mode and; level <= 4; msg find error");
}
BENCHMARK(BM_rules_find);

void BM_rules_match(benchmark::State &state)
{
    run_rules(state, "@rule_mode and; level <= 4; msg match error");
}
BENCHMARK(BM_rules_match);

// The same filter written directly over the parsed records: the baseline.
void BM_handwritten(benchmark::State &state)
{
    const auto &rs = records().parsed;
    size_t i = 0, kept = 0;
    for (auto _ : state) {
        const bsv_log_rec &r = rs[i];
        kept += r.level <= 4 && strcasestr(r.msg, "error") != nullptr;
        i = (i + 1) % kRecords;
    }
    benchmark::DoNotOptimize(kept);
    state.SetItemsProcessed((int64_t)state.iterations());
}
BENCHMARK(BM_handwritten);

// A "match" rule's pattern compiled once against compiled on every call,
// over the 1470-byte records (argument 0) and over 64-byte messages
// (argument 1), where compiling dominates.
const char *const kPattern = "time(d)? ?out [0-9]+ ms";

const char *regex_text(const benchmark::State &state, size_t i)
{
    static const char *const short_text = "link eth0 timed out after 1000 ms, retrying in 5 s now\n";
    return state.range(0) ? short_text : records().parsed[i].msg;
}

void BM_regex_cached(benchmark::State &state)
{
    regex_cached *re = regex_cached_new(kPattern, 1);
    size_t i = 0, hits = 0;
    for (auto _ : state) {
        hits += regex_cached_match(re, regex_text(state, i));
        i = (i + 1) % kRecords;
    }
    benchmark::DoNotOptimize(hits);
    state.SetItemsProcessed((int64_t)state.iterations());
    regex_cached_free(re);
}
BENCHMARK(BM_regex_cached)->Arg(0)->Arg(1);

void BM_regex_compile_per_call(benchmark::State &state)
{
    size_t i = 0, hits = 0;
    for (auto _ : state) {
        hits += regmatch_imp(kPattern, regex_text(state, i), 1);
        i = (i + 1) % kRecords;
    }
    benchmark::DoNotOptimize(hits);
    state.SetItemsProcessed((int64_t)state.iterations());
}
BENCHMARK(BM_regex_compile_per_call)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
