// Rule sets: load arbitrary rule text and evaluate it against records
// through a fixed variable procedure; the dump of a loaded set reads back
// as the same set.
#include "fuzz_common.h"

#include "libpal/env/malloc.h"
#include "libpal/qexpr/qexpr.h"

namespace {

struct record {
    const char *tag;
    const char *msg;
    u64 num;
};

int var_proc(const char *name, qexpr_value *v, void *arg)
{
    const record *r = (const record *)arg;
    if (!strcmp(name, "tag") || !strcmp(name, "msg")) {
        v->type = VALUE_STR;
        v->str = name[0] == 't' ? r->tag : r->msg;
        return 0;
    }
    static const struct {
        const char *name;
        u32 type;
    } nums[] = {{"level", VALUE_U8}, {"port", VALUE_U16}, {"pid", VALUE_U32}, {"sec", VALUE_U64}};
    for (auto &n : nums) {
        if (!strcmp(name, n.name)) {
            v->type = n.type;
            v->num = r->num;
            return 0;
        }
    }
    return -1;
}

// Whether a rule's value has a written form that reads back as itself: a
// "$" that must not be expanded needs single quotes, which cannot hold a
// "'" or begin with a blank or a quote; an empty value (made by escapes)
// has no form at all.
int can_write(int, int directive, const char *, int, const char *value, int, void *arg, qexpr_rule *)
{
    bool ok = value[0] != 0;
    if (!directive && strchr(value, '$')) ok = ok && !strchr(value, '\'') && !strchr(" \t\"'\r\n", value[0]);
    if (!ok) *(bool *)arg = false;
    return 0;
}

std::string dump(qexpr *q)
{
    char *s = qexpr_dump_rules_str(q);
    std::string r = s ? s : "";
    os_free(s);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_parts parts(data, size, 3);
    // Includes read files: not from fuzz input.
    if (strstr(parts[0], "include")) return 0;
    if (parts.len(1) > 256 || parts.len(2) > 512) return 0;
    qexpr *q = qexpr_new(nullptr);
    FUZZ_ASSERT(q);
    char err[QEXPR_ERR_SIZE];
    int rc = qexpr_load_str(q, parts[0], err);
    FUZZ_ASSERT(rc == 0 || rc == -1);
    FUZZ_ASSERT(strlen(err) < sizeof err);
    u64 num = 0;
    memcpy(&num, parts[1], parts.len(1) < 8 ? parts.len(1) : 8);
    const record recs[] = {{parts[1], parts[2], num}, {"", "", 0}, {"pal", "connect timed out\n", 6}};
    for (const record &r : recs) {
        int d = qexpr_filter_drop(q, var_proc, (void *)&r);
        FUZZ_ASSERT(d == 0 || d == 1);
    }
    if (rc == 0) {
        std::string first = dump(q);
        qexpr *again = qexpr_new(nullptr);
        FUZZ_ASSERT(again);
        bool writable = true;
        qexpr_rules_foreach(q, can_write, &writable);
        bool same = qexpr_load_str(again, first.c_str(), err) == 0 && dump(again) == first;
        if (!same) {
            FUZZ_ASSERT(!writable);
        } else if (writable) {
            // A value without a written form is dumped as it stands, which
            // may read back as another value with the same dump ("'t$'"
            // reads as t$): only a writable set must read back as itself.
            for (const record &r : recs)
                FUZZ_ASSERT(qexpr_filter_drop(again, var_proc, (void *)&r) ==
                            qexpr_filter_drop(q, var_proc, (void *)&r));
        }
        qexpr_del(again);
    }
    qexpr_del(q);
    return 0;
}
