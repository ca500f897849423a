#pragma once
// Rule language text: the tokenizer, the operator table and the canonical
// one-rule-per-line form.
//
// A rule text is a list of expressions separated by ";" or line feeds:
//   [~][!|@]name op value      e.g.  level >= 3;  !msg find "disk full"
// "~" keeps an expression but disables it, "!" negates it, "@" makes it a
// directive (name and value, no operator). "#" starts a comment, a "'" where
// an expression could begin skips everything up to the next "'".
#include "libpal/env/os_types.h"

struct str_buf;

// Size of every error buffer of the rule language.
constexpr size_t QEXPR_ERR_SIZE = 4096;
// Longest name, operator and value (after escapes are undone).
constexpr size_t QEXPR_NAME_MAX = 255;
constexpr size_t QEXPR_OP_MAX = 63;
constexpr size_t QEXPR_VALUE_MAX = 255;
// Longest double-quoted value as written, escapes included (each value
// byte needs at most four characters).
constexpr size_t QEXPR_VALUE_RAW_MAX = 4 * QEXPR_VALUE_MAX;

// Operator codes. Each string operator's case-insensitive twin is code + 2;
// odd codes negate the code before them.
enum qexpr_op : int {
    QOP_FINDHEX = 0,
    QOP_NFINDHEX = 1,
    QOP_EQ = 2,
    QOP_NE = 3,
    QOP_LT = 6,
    QOP_GT = 7,
    QOP_LE = 10,
    QOP_GE = 11,
    QOP_FIND = 14,
    QOP_NFIND = 15,
    QOP_GFIND = 18,
    QOP_NGFIND = 19,
    QOP_STARTSWITH = 22,
    QOP_NSTARTSWITH = 23,
    QOP_ENDSWITH = 26,
    QOP_NENDSWITH = 27,
    QOP_GLOB = 30,
    QOP_NGLOB = 31,
    QOP_MATCH = 34,
    QOP_NMATCH = 35,
    QOP_IMATCH = 36,
    QOP_NIMATCH = 37,
};

// Expression forms and value quoting.
enum : u32 { QEXPR_FORM_PLAIN = 0, QEXPR_FORM_NOT = 1, QEXPR_FORM_CMD = 2 };
enum : u32 { QEXPR_QUOTE_NONE = 0, QEXPR_QUOTE_DOUBLE = 1, QEXPR_QUOTE_SINGLE = 2 };

// Receives each expression: 0, or a negative code that stops the parse
// (-2: the variable does not exist). expand is 1 when environment
// references in the value are to be expanded.
typedef int (*qexpr_proc)(void *arg, int enabled, const char *name, int code, const char *value,
                          int expand, int form);

// One expression as the tokenizer hands it on.
struct qexpr_expr {
    u8 enabled;
    char name[QEXPR_NAME_MAX + 1];
    char op[QEXPR_OP_MAX + 1];
    char value[QEXPR_VALUE_RAW_MAX + 1];
    u32 quote;
    u32 form;
    u32 line;
    u32 pos;
    qexpr_proc proc;
    void *arg;
    char *err;  // QEXPR_ERR_SIZE bytes
};

int qparser_parse(const char *text, qexpr_proc proc, void *arg, char *err);
int qparser_parse_str(const char *text, char *err);
char *qparser_format_str(const char *text, char *err);
int qparser_parse_file(const char *path, char *err);
char *qparser_format_file(const char *path, char *err);

int qexpr_opcode_find(const char *op);
const char *qexpr_opcode_name(int code);
int expr_check(qexpr_expr *e);
// The expression procedure of qparser_format_str: buf is a str_buf.
int qexpr_rule_dump_line(void *buf, int enabled, const char *name, int code, const char *value,
                         int expand, int form);

// Canonical line of one rule or directive. literal: the value must come
// back unexpanded when the line is parsed again. set_style: directives as
// the rule-set dump writes them (bare or single-quoted) instead of
// double-quoted. Values that would not read back the same are quoted and
// escaped so that they do.
void qexpr_canon_line(str_buf *buf, int enabled, const char *name, int code, const char *value,
                      bool literal, int form, bool set_style);

// Reads a rule file whole as a heap text: a file (not a device or a pipe)
// of at most QEXPR_FILE_MAX bytes; NULL with errno set on failure.
constexpr size_t QEXPR_FILE_MAX = 4u << 20;
char *qexpr_file_load(const char *path);
