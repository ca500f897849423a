#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/qexpr/qexpr"
#include "libpal/qexpr/qexpr.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <strings.h>
#include <utility>

#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/hash/crc.h"
#include "libpal/hash/dict.h"
#include "libpal/libpal.h"
#include "libpal/os/os_mac.h"
#include "libpal/qexpr/mem_search.h"
#include "libpal/regex/regex_ex.h"
#include "libpal/string/conv_num.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_env.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_map.h"
#include "libpal/string/str_vector.h"

namespace {

bool nocase_of(const qexpr *q)
{
    return q->ctx ? q->ctx->nocase != 0 : true;
}

bool is_match_code(int code)
{
    return code == QOP_MATCH || code == QOP_NMATCH;
}

void rule_free(qexpr_rule *r)
{
    if (!r) return;
    regex_cached_free((regex_cached *)(uintptr_t)r->rv.spare);
    os_free(r->name);
    os_free(r->value);
    os_free(r);
}

// A rule with its own copies; a "match" pattern is compiled here, once,
// with the case rule of the set it is made for.
qexpr_rule *rule_new(const qexpr *q, int enabled, const char *name, int code, const char *value,
                     int form)
{
    qexpr_rule *r = (qexpr_rule *)os_zalloc(sizeof *r);
    if (!r) return nullptr;
    r->enabled = (i8)(enabled ? 1 : 0);
    r->code = form == (int)QEXPR_FORM_CMD ? 0 : code;
    r->form = form;
    r->name = os_strdup(name ? name : "");
    r->value = os_strdup(value ? value : "");
    if (!r->name || !r->value) {
        rule_free(r);
        return nullptr;
    }
    r->rv.type = VALUE_STR;
    r->rv.str = r->value;
    r->rv.alt_num = str_to_i64(r->value);
    if (form != (int)QEXPR_FORM_CMD && is_match_code(code)) {
        regex_cached *re = regex_cached_new(r->value, nocase_of(q));
        if (!re) {
            rule_free(r);
            return nullptr;
        }
        r->rv.spare = (u64)(uintptr_t)re;
    }
    return r;
}

void list_free(mem_ptr *v)
{
    for (u64 i = 0; i < v->count; ++i) rule_free((qexpr_rule *)v->slots[i]);
    mem_ptr_exit(v);
}

qexpr_rule *rule_at(const mem_ptr *v, u64 i)
{
    return (qexpr_rule *)v->slots[i];
}

mem_ptr *staged_list(qexpr *q)
{
    return q->level ? &q->new_inc : &q->new_rules;
}

int add_rule(qexpr *q, qexpr_rule *r)
{
    if (!r) return -1;
    if (mem_ptr_add(staged_list(q), r) != 0) {
        rule_free(r);
        return -1;
    }
    return 0;
}

const char *subst_lookup(const char *name, void *arg)
{
    return qexpr_var_getenv(name, (qexpr *)arg);
}

// The procedure the tokenizer hands each expression to.
int add_proc(void *arg, int enabled, const char *name, int code, const char *value, int expand,
             int form)
{
    qexpr *q = (qexpr *)arg;
    bool directive = form == (int)QEXPR_FORM_CMD;
    if (!directive && q->ctx) {
        bool known = (q->ctx->typed && str_map_find(q->ctx->typed, name) >= 0) ||
                     (q->ctx->vars && str_map_find(q->ctx->vars, name) >= 0);
        if (!known) return -2;
    }
    char *expanded = nullptr;
    if (!directive && expand) {
        expanded = str_env_expand_imp(value, subst_lookup, q);
        if (!expanded) return -1;
    }
    int r = add_rule(q, rule_new(q, enabled, name, code, expanded ? expanded : value, form));
    os_free(expanded);
    return r;
}

int load_level(qexpr *q, const char *text, u32 level, char *err);

// Carries out the enabled directives of list from index from on.
int run_directives(qexpr *q, mem_ptr *list, u64 from, u32 level, char *err)
{
    for (u64 i = from; i < list->count; ++i) {
        qexpr_rule *r = rule_at(list, i);
        if (r->form != (int)QEXPR_FORM_CMD || !r->enabled) continue;
        if (strcmp(r->name, "rule_mode") == 0) {
            if (strcmp(r->value, "or") == 0) {
                q->new_mode = QEXPR_MODE_OR;
            } else if (strcmp(r->value, "and") == 0) {
                q->new_mode = QEXPR_MODE_AND;
            } else {
                snprintf(err, QEXPR_ERR_SIZE, "rule_mode = %s error, [or and]", r->value);
                return -1;
            }
        } else if (strcmp(r->name, "include") == 0) {
            if (level > 0) {
                snprintf(err, QEXPR_ERR_SIZE, "Only one level of include is supported");
                return -1;
            }
            char *path = str_env_expand_imp(r->value, subst_lookup, q);
            if (!path) {
                snprintf(err, QEXPR_ERR_SIZE, "expr malloc failed");
                return -1;
            }
            char *text = qexpr_file_load(path);
            if (!text) {
                snprintf(err, QEXPR_ERR_SIZE, "include [%s][%s] error: %s", r->value, path,
                         os_errno_text(errno));
                os_free(path);
                return -1;
            }
            os_free(path);
            int rc = load_level(q, text, 1, err);
            os_free(text);
            if (rc < 0) return -1;
        } else {
            snprintf(err, QEXPR_ERR_SIZE, "unsupprot cmd [%s] error", r->name);
            return -1;
        }
    }
    return 0;
}

// Parses text into the list of its level and carries out the directives
// it brought.
int load_level(qexpr *q, const char *text, u32 level, char *err)
{
    q->level = level;
    mem_ptr *list = staged_list(q);
    u64 from = list->count;
    int r = qparser_parse(text, add_proc, q, err);
    q->level = 0;
    if (r < 0) return -1;
    return run_directives(q, list, from, level, err);
}

// Puts the staged rules and mode in force; the old rules are freed after
// the lock is released.
void install(qexpr *q)
{
    {
        os_mutex_guard g(q->mutex);
        std::swap(q->rules, q->new_rules);
        std::swap(q->inc_rules, q->new_inc);
        q->mode = q->new_mode;
    }
    qexpr_rules_reset(q);
}

u32 width_of(u32 type)
{
    switch (type) {
    case VALUE_U8: return 1;
    case VALUE_U16: return 2;
    case VALUE_U32: return 4;
    case VALUE_U64: return 8;
    default: return 0;
    }
}

int eval_number(const qexpr_value *var, const qexpr_value *rule, int code, u32 width)
{
    u64 mask = width == 8 ? ~0ull : (1ull << (8 * width)) - 1;
    u64 a = var->num & mask;
    if (code == QOP_FINDHEX || code == QOP_NFINDHEX) {
        if (rule->type != VALUE_STR || !rule->str) return 0;
        u8 bytes[8];
        u8 v8 = (u8)a;
        u16 v16 = (u16)a;
        u32 v32 = (u32)a;
        const void *src = width == 1 ? (const void *)&v8 : width == 2 ? (const void *)&v16
                        : width == 4 ? (const void *)&v32 : (const void *)&a;
        memcpy(bytes, src, width);
        bool m = mem_pattern_search(bytes, width, rule->str) != nullptr;
        return code == QOP_FINDHEX ? m : !m;
    }
    u64 b = (rule->type == VALUE_STR ? (u64)rule->alt_num : rule->num) & mask;
    switch (code) {
    case QOP_EQ: return a == b;
    case QOP_NE: return a != b;
    case QOP_LT: return a < b;
    case QOP_GT: return a > b;
    case QOP_LE: return a <= b;
    case QOP_GE: return a >= b;
    default: return 0;
    }
}

int eval_regex(const qexpr_value *rule, const char *a, const char *b, bool icase)
{
    const regex_cached *re = (const regex_cached *)(uintptr_t)rule->spare;
    if (re && regex_cached_icase(re) == (int)icase) return regex_cached_match(re, a);
    return regmatch_imp(b, a, icase);
}

int eval_string(const qexpr_value *var, const qexpr_value *rule, int code)
{
    const char *a = var->str ? var->str : "";
    const char *b = rule->type == VALUE_STR ? (rule->str ? rule->str : "") : rule->alt_text;
    if (code == QOP_FINDHEX || code == QOP_NFINDHEX) {
        bool m = mem_pattern_search(a, strlen(a), b) != nullptr;
        return code == QOP_FINDHEX ? m : !m;
    }
    if (code >= 2 && code <= 13) {
        int c = ((code - 2) / 2) % 2 == 0 ? strcmp(a, b) : strcasecmp(a, b);
        switch (code) {
        case 2:
        case 4: return c == 0;
        case 3:
        case 5: return c != 0;
        case 6:
        case 8: return c < 0;
        case 7:
        case 9: return c > 0;
        case 10:
        case 12: return c <= 0;
        default: return c >= 0;  // 11, 13
        }
    }
    bool m;
    switch (code & ~1) {
    case 14: m = strstr(a, b) != nullptr; break;
    case 16: m = strcasestr(a, b) != nullptr; break;
    case 18: m = str_find_word(a, b) != nullptr; break;
    case 20: m = str_ifind_word(a, b) != nullptr; break;
    case 22: m = str_start_with(a, b); break;
    case 24: m = str_istart_with(a, b); break;
    case 26: m = str_end_with(a, b); break;
    case 28: m = str_iend_with(a, b); break;
    case 30: m = str_wildcard(a, b) == 1; break;
    case 32: m = str_iwildcard(a, b) == 1; break;
    case 34: m = eval_regex(rule, a, b, false); break;
    case 36: m = eval_regex(rule, a, b, true); break;
    default: return 0;
    }
    return (code & 1) ? !m : m;
}

// The other form of a variable's value, for the trace line.
void fill_other_form(qexpr_value *v)
{
    if (v->type == VALUE_STR) {
        v->alt_num = str_to_i64(v->str ? v->str : "");
    } else if (v->type == VALUE_U64) {
        snprintf(v->alt_text, sizeof v->alt_text, "%" PRIu64, v->num);
    } else {
        snprintf(v->alt_text, sizeof v->alt_text, "%u", (unsigned)v->num);
    }
}

// Reads a rule's variable: 1 with val filled, 0 to skip the rule, -1 to end
// the walk of the list (no procedure and no context).
int get_var(qexpr *q, qexpr_rule *r, qexpr_var_proc proc, void *arg, qexpr_value *val)
{
    memset(val, 0, sizeof *val);
    if (proc) {
        if (proc(r->name, val, arg) < 0) {
            // Once per load, not once per record.
            if (!r->missing_logged) {
                r->missing_logged = 1;
                LOG_ERR("var_proc get_arg1 [%s] failed\n", r->name);
            }
            return 0;
        }
        return 1;
    }
    if (!q->ctx) return -1;
    if (q->ctx->typed) {
        const qexpr_value *tv = (const qexpr_value *)str_map_get(q->ctx->typed, r->name);
        if (tv) {
            *val = *tv;
            return 1;
        }
    }
    if (q->ctx->vars && str_map_find(q->ctx->vars, r->name) >= 0) {
        val->type = VALUE_STR;
        val->str = (const char *)str_map_get(q->ctx->vars, r->name);
        return 1;
    }
    return 0;
}

}  // namespace

qexpr *qexpr_new(qexpr_ctx *ctx)
{
    qexpr *q = (qexpr *)os_zalloc(sizeof *q);
    if (!q) return nullptr;
    q->ctx = ctx;
    q->mutex = os_mutex_new();
    if (!q->mutex) {
        os_free(q);
        return nullptr;
    }
    return q;
}

int qexpr_del(qexpr *q)
{
    if (!q) return 0;
    list_free(&q->rules);
    list_free(&q->inc_rules);
    list_free(&q->new_rules);
    list_free(&q->new_inc);
    os_mutex_free(q->mutex);
    os_free(q);
    return 0;
}

int qexpr_rules_reset(qexpr *q)
{
    OS_CHECK_RET(q, -1);
    list_free(&q->new_rules);
    list_free(&q->new_inc);
    q->level = 0;
    q->new_mode = q->mode;
    return 0;
}

int qexpr_add_rules(qexpr *q, int enabled, const char *name, const char *op, const char *value,
                    int form)
{
    OS_CHECK_RET(q && name, -1);
    int code = 0;
    if (form != (int)QEXPR_FORM_CMD) {
        code = qexpr_opcode_find(op);
        if (code < 0) {
            LOG_ERR("opcode=[%s] Unsupported\n", op ? op : "");
            return -1;
        }
    }
    return add_rule(q, rule_new(q, enabled, name, code, value, form));
}

int qexpr_commit(qexpr *q, char *err)
{
    char local[QEXPR_ERR_SIZE];
    if (!err) err = local;
    err[0] = 0;
    OS_CHECK_RET(q, -1);
    if (run_directives(q, &q->new_rules, 0, 0, err) < 0) {
        qexpr_rules_reset(q);
        return -1;
    }
    install(q);
    return 0;
}

int qexpr_load_str(qexpr *q, const char *text, char *err)
{
    char local[QEXPR_ERR_SIZE];
    if (!err) err = local;
    err[0] = 0;
    OS_CHECK_RET(q && text, -1);
    qexpr_rules_reset(q);
    if (qparser_parse(text, add_proc, q, err) < 0) {
        qexpr_rules_reset(q);
        return -1;
    }
    return qexpr_commit(q, err);
}

int qexpr_load_file(qexpr *q, const char *path, char *err)
{
    char local[QEXPR_ERR_SIZE];
    if (!err) err = local;
    err[0] = 0;
    OS_CHECK_RET(q && path, -1);
    char *text = qexpr_file_load(path);
    if (!text) return 0;
    // The load checks the syntax itself and leaves the rules alone on an
    // error.
    int r = qexpr_load_str(q, text, err);
    os_free(text);
    return r < 0 ? -1 : 0;
}

int qexpr_copy(qexpr *dst, qexpr *src)
{
    OS_CHECK_RET(dst && src, -1);
    if (dst == src) return 0;
    mem_ptr rules{}, inc{};
    u32 mode;
    int r = 0;
    {
        os_mutex_guard g(src->mutex);
        mode = src->mode;
        const mem_ptr *from[2] = {&src->rules, &src->inc_rules};
        mem_ptr *to[2] = {&rules, &inc};
        for (int k = 0; k < 2 && r == 0; ++k) {
            for (u64 i = 0; i < from[k]->count && r == 0; ++i) {
                const qexpr_rule *s = rule_at(from[k], i);
                qexpr_rule *c = rule_new(dst, s->enabled, s->name, s->code, s->value, s->form);
                if (!c || mem_ptr_add(to[k], c) != 0) {
                    rule_free(c);
                    r = -1;
                }
            }
        }
    }
    if (r == 0) {
        os_mutex_guard g(dst->mutex);
        std::swap(dst->rules, rules);
        std::swap(dst->inc_rules, inc);
        dst->mode = mode;
    }
    list_free(&rules);
    list_free(&inc);
    return r;
}

int qexpr_rules_foreach(qexpr *q, qexpr_rule_fn fn, void *arg)
{
    OS_CHECK_RET(q && fn, -1);
    os_mutex_guard g(q->mutex);
    for (u64 i = 0; i < q->rules.count; ++i) {
        qexpr_rule *r = rule_at(&q->rules, i);
        bool directive = r->form == (int)QEXPR_FORM_CMD;
        fn(r->enabled, directive, r->name, directive ? 0 : r->code, r->value, directive ? 0 : r->form,
           arg, r);
    }
    return 0;
}

namespace {

void dump_list(str_buf *b, const mem_ptr *v)
{
    for (u64 i = 0; i < v->count; ++i) {
        const qexpr_rule *r = rule_at(v, i);
        // Rule values are stored expanded: they must read back literally.
        qexpr_canon_line(b, r->enabled, r->name, r->code, r->value, true, r->form, true);
    }
}

char *dump(qexpr *q, bool with_include)
{
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    {
        os_mutex_guard g(q->mutex);
        str_buf_printf(b, "# rule_mode=%s\n", q->mode == QEXPR_MODE_AND ? "and" : "or");
        str_buf_append_cstr(b, "#main----------------------\n");
        dump_list(b, &q->rules);
        if (with_include) {
            str_buf_append_cstr(b, "#include-------------------\n");
            dump_list(b, &q->inc_rules);
        }
        str_buf_append_cstr(b, "#end-----------------------\n");
    }
    return str_buf_detach(b);
}

}  // namespace

char *qexpr_dump_main_rules(qexpr *q)
{
    OS_CHECK_TXT(q != nullptr, "h!=NULL", nullptr);
    return dump(q, false);
}

char *qexpr_dump_rules_str(qexpr *q)
{
    OS_CHECK_TXT(q != nullptr, "h!=NULL", nullptr);
    return dump(q, true);
}

u64 qexpr_dump_crc(qexpr *q)
{
    char *text = qexpr_dump_rules_str(q);
    if (!text) return 0;
    u64 crc = hash_crc64(text, strlen(text), 0);
    os_free(text);
    return crc;
}

const char *qexpr_var_getenv(const char *name, qexpr *q)
{
    if (!name) return nullptr;
    if (q && q->ctx && q->ctx->subst) {
        const char *v = (const char *)dict_get(q->ctx->subst, name, nullptr);
        if (v) return v;
    }
    return os_getenv(name);
}

int qexpr_eval(const qexpr_value *var, const qexpr_value *rule, int code)
{
    if (!var || !rule) return 0;
    if (var->type == VALUE_STR) return eval_string(var, rule, code);
    u32 width = width_of(var->type);
    return width ? eval_number(var, rule, code, width) : 0;
}

int expr_operate_str(const char *a, const char *b, int code, int nocase, int trace)
{
    if (!a || !b) return 0;
    if (trace) LOG_DBG("[%s %s %s]\n", a, qexpr_opcode_name(code), b);
    if (nocase && code > 1) code += 2;
    qexpr_value va{}, vb{};
    va.type = VALUE_STR;
    va.str = a;
    vb.type = VALUE_STR;
    vb.str = b;
    vb.alt_num = str_to_i64(b);
    return qexpr_eval(&va, &vb, code);
}

int qexpr_filter_drop(qexpr *q, qexpr_var_proc proc, void *arg)
{
    OS_CHECK_RET(q, 0);
    os_mutex_guard g(q->mutex);
    bool nocase = nocase_of(q);
    bool trace = q->ctx && q->ctx->trace;
    int verdict = 0;
    const mem_ptr *lists[2] = {&q->rules, &q->inc_rules};
    for (const mem_ptr *list : lists) {
        for (u64 i = 0; i < list->count; ++i) {
            qexpr_rule *r = rule_at(list, i);
            if (!r->enabled || r->form == (int)QEXPR_FORM_CMD) continue;
            qexpr_value val;
            int got = get_var(q, r, proc, arg, &val);
            if (got < 0) break;
            if (got == 0) continue;
            int code = r->code;
            if (nocase && ((val.type == VALUE_STR && code > 1) || (val.type != VALUE_STR && code > 13)))
                code += 2;
            int m = qexpr_eval(&val, &r->rv, code);
            bool negated = r->form == (int)QEXPR_FORM_NOT;
            if (trace) {
                fill_other_form(&val);
                LOG_DBG("[ %s %s(%s) %s %s ] = %d\n", negated ? "!" : "", r->name,
                        val.type == VALUE_STR ? (val.str ? val.str : "") : val.alt_text,
                        qexpr_opcode_name(r->code), r->value, m);
            }
            verdict = (m != 0) == negated ? 1 : 0;  // plain: keep on a match
            if (q->mode == QEXPR_MODE_AND ? !m : m) return verdict;
        }
    }
    return verdict;
}
