#pragma once
// Rule sets of the rule language: load rule text, evaluate a record through
// a variable procedure, dump the installed rules.
//
//   qexpr *q = qexpr_new(nullptr);
//   char err[QEXPR_ERR_SIZE];
//   if (qexpr_load_str(q, "level <= 4; msg find error", err) < 0) ... err ...
//   int drop = qexpr_filter_drop(q, get_var, record);
//   qexpr_del(q);
//
// Without a rule context string operators ignore case.
#include "libpal/basic/value_type.h"
#include "libpal/env/os_types.h"
#include "libpal/memory/mem_util.h"
#include "libpal/qexpr/qparser.h"

struct str_map;
struct dict;
struct os_mutex;

// A typed value: what a variable procedure fills, and how a rule's value
// is handed to the comparison engine. type is VALUE_U8, VALUE_U16,
// VALUE_U32, VALUE_U64 or VALUE_STR.
struct qexpr_value {
    u32 type;
    union {
        u64 num;
        const char *str;
    };
    // The rule's compiled pattern for "match" (a regex_cached), else 0.
    u64 spare;
    // The other form, filled when needed: a number's decimal text, a
    // text's integer value.
    i64 alt_num;
    char alt_text[24];
};

// Looks the variable up: 0 with val filled, or a negative code.
typedef int (*qexpr_var_proc)(const char *name, qexpr_value *val, void *arg);

// Optional context of a rule set; only read by the rule set.
struct qexpr_ctx {
    str_map *vars;   // name -> text
    str_map *typed;  // name -> qexpr_value *
    dict *subst;     // substitution values for $NAME in rule values
    u32 trace;       // log every evaluation at level dbg
    u32 nocase;      // string operators ignore case
};

// One installed rule.
struct qexpr_rule {
    i8 enabled;
    char *name;
    int code;
    char *value;
    int form;
    qexpr_value rv;      // the value as the engine sees it
    u8 missing_logged;   // "var_proc get_arg1" already logged for this load
};

enum : u32 { QEXPR_MODE_OR = 0, QEXPR_MODE_AND = 1 };

struct qexpr {
    qexpr_ctx *ctx;
    u32 mode;
    os_mutex *mutex;
    mem_ptr rules;        // installed main rules
    mem_ptr inc_rules;    // installed include rules
    mem_ptr new_rules;    // main rules being parsed
    mem_ptr new_inc;      // include rules being parsed
    u32 level;            // 0 main text, 1 included file
    u32 new_mode;         // rule mode being parsed, installed with the rules
};

qexpr *qexpr_new(qexpr_ctx *ctx);
int qexpr_del(qexpr *q);
int qexpr_load_str(qexpr *q, const char *text, char *err);
int qexpr_load_file(qexpr *q, const char *path, char *err);
int qexpr_add_rules(qexpr *q, int enabled, const char *name, const char *op, const char *value,
                    int form);
int qexpr_commit(qexpr *q, char *err);
int qexpr_rules_reset(qexpr *q);
int qexpr_copy(qexpr *dst, qexpr *src);

typedef int (*qexpr_rule_fn)(int enabled, int directive, const char *name, int code,
                             const char *value, int form, void *arg, qexpr_rule *rule);
int qexpr_rules_foreach(qexpr *q, qexpr_rule_fn fn, void *arg);

char *qexpr_dump_main_rules(qexpr *q);
char *qexpr_dump_rules_str(qexpr *q);
u64 qexpr_dump_crc(qexpr *q);

// 1 to drop the record, 0 to keep it.
int qexpr_filter_drop(qexpr *q, qexpr_var_proc proc, void *arg);
int qexpr_eval(const qexpr_value *var, const qexpr_value *rule, int code);
int expr_operate_str(const char *a, const char *b, int code, int nocase, int trace);
const char *qexpr_var_getenv(const char *name, qexpr *q);
