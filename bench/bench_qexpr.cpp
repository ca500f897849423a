// Rule evaluation of the typical filter "level <= 4 and msg holds error"
// over 1470-byte log records, written in the rule language
//   @rule_mode and; level <= 4; msg find error     (substring, any case)
//   @rule_mode and; level <= 4; msg match error    (regular expression)
// against the same test hand-written in C++; and a "match" rule's pattern
// compiled once against compiled for every call.
//
// Variables are read through a variable procedure over a plain record.
// Run with --benchmark_repetitions=5 for min and median.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "libpal/env/malloc.h"
#include "libpal/qexpr/qexpr.h"
#include "libpal/regex/regex_ex.h"

namespace {

constexpr size_t kRecordLen = 1470;
constexpr size_t kRecords = 64;

struct record {
    u8 level;
    const char *tag;
    const char *msg;
};

// Records of 1470 bytes (fields plus message); every level passes the
// first rule, so the message is always searched. One in eight holds
// "error" near its end; the others are searched to their end.
struct record_set {
    std::vector<std::string> texts;
    std::vector<record> recs;
    record_set()
    {
        const std::string head = "connect to 10.0.0.1:514 timed out after 1000 ms; retry ";
        for (size_t i = 0; i < kRecords; ++i) {
            std::string m;
            while (m.size() < kRecordLen - 16) m += head;
            m.resize(kRecordLen - 16);
            if (i % 8 == 0) m.replace(m.size() - 20, 5, "Error");
            m += "\n";
            texts.push_back(m);
        }
        for (size_t i = 0; i < kRecords; ++i) recs.push_back({(u8)(1 + i % 4), "pal", texts[i].c_str()});
    }
};

const record_set &records()
{
    static const record_set *r = new record_set;
    return *r;
}

int var_proc(const char *name, qexpr_value *v, void *arg)
{
    const record *r = (const record *)arg;
    switch (name[0]) {
    case 'l':
        v->type = VALUE_U8;
        v->num = r->level;
        return 0;
    case 'm':
        v->type = VALUE_STR;
        v->str = r->msg;
        return 0;
    case 't':
        v->type = VALUE_STR;
        v->str = r->tag;
        return 0;
    default: return -1;
    }
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
    const auto &rs = records().recs;
    size_t i = 0, kept = 0;
    for (auto _ : state) {
        kept += qexpr_filter_drop(q, var_proc, (void *)&rs[i]) == 0;
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

// The same filter written directly: the baseline.
void BM_handwritten(benchmark::State &state)
{
    const auto &rs = records().recs;
    size_t i = 0, kept = 0;
    for (auto _ : state) {
        const record &r = rs[i];
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
    return state.range(0) ? short_text : records().recs[i].msg;
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
