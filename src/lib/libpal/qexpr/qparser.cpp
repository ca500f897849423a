#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/qexpr/qparser"
#include "libpal/qexpr/qparser.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "libpal/comm/verrmsg.h"
#include "libpal/env/code_str.h"
#include "libpal/env/malloc.h"
#include "libpal/libpal.h"
#include "libpal/os/os_file3.h"
#include "libpal/os/os_path.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_escape.h"

namespace {

constexpr os_code_str kOps[] = {
    {2, "=="},           {3, "!="},     {6, "<"},        {10, "<="},        {7, ">"},
    {11, ">="},          {14, "find"},  {15, "!find"},   {18, "gfind"},     {19, "!gfind"},
    {0, "findhex"},      {1, "!findhex"}, {22, "startswith"}, {23, "!startswith"},
    {26, "endswith"},    {27, "!endswith"}, {30, "glob"}, {31, "!glob"},    {34, "match"},
    {35, "!match"},
};
static_assert(OS_ARRAY_SIZE(kOps) == 20);

// Texts of the character errors, after "line:column [c-0xNN] ".
constexpr const char kErrVarStart[] = "error: Var must start with letter or underscore";
constexpr const char kErrBanCmd[] = "error:  ban_cmd character cannot appear";

bool is_alpha(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_digit(unsigned char c)
{
    return c >= '0' && c <= '9';
}
bool is_name_start(unsigned char c)
{
    return is_alpha(c) || c == '_';
}
bool is_name_char(unsigned char c)
{
    return is_alpha(c) || is_digit(c) || c == '.' || c == '@' || c == '_' || c == '-';
}
bool is_op_char(unsigned char c)
{
    return c == '=' || c == '!' || c == '<' || c == '>';
}

// The tokenizer: one pass, states as numbered in the error texts.
class tokenizer {
public:
    tokenizer(qexpr_proc proc, void *arg, char *err)
    {
        memset(&e_, 0, sizeof e_);
        e_.proc = proc;
        e_.arg = arg;
        e_.err = err;
    }

    int run(const char *text)
    {
        const unsigned char *p = (const unsigned char *)text;
        for (; *p; ++p) {
            int r = step(*p);
            if (r < 0) return r;
            if (*p == '\n') {
                ++line_;
                col_ = 1;
            } else {
                ++col_;
            }
        }
        switch (state_) {
        case 9: return end_expr();
        case 0:
        case 2:
        case 10: return 0;
        default:
            snprintf(e_.err, QEXPR_ERR_SIZE, "%d:0 mode=%d Incomplete expression error", (int)line_,
                     state_);
            return -1;
        }
    }

private:
    int char_error(unsigned char c, const char *what)
    {
        snprintf(e_.err, QEXPR_ERR_SIZE, "%d:%d [%c-0x%2x] %s", (int)line_, (int)col_, c, (unsigned)c,
                 what);
        return -1;
    }
    int syntax_error(unsigned char c, int n)
    {
        char what[32];
        snprintf(what, sizeof what, "syntax error=%d", n);
        return char_error(c, what);
    }
    int too_long(const char *field, size_t max)
    {
        snprintf(e_.err, QEXPR_ERR_SIZE, "%d:%d %s longer than %zu characters", (int)line_, (int)col_,
                 field, max);
        return -1;
    }
    void begin()
    {
        qexpr_proc proc = e_.proc;
        void *arg = e_.arg;
        char *err = e_.err;
        memset(&e_, 0, sizeof e_);
        e_.proc = proc;
        e_.arg = arg;
        e_.err = err;
        e_.enabled = 1;
        e_.line = line_;
        e_.pos = col_;
        name_len_ = op_len_ = value_len_ = 0;
    }
    int add_name(unsigned char c)
    {
        if (name_len_ >= QEXPR_NAME_MAX) return too_long("name", QEXPR_NAME_MAX);
        e_.name[name_len_++] = (char)c;
        return 0;
    }
    int add_op(unsigned char c)
    {
        if (op_len_ >= QEXPR_OP_MAX) return too_long("operator", QEXPR_OP_MAX);
        e_.op[op_len_++] = (char)c;
        return 0;
    }
    int add_value(unsigned char c)
    {
        size_t max = e_.quote == QEXPR_QUOTE_DOUBLE ? QEXPR_VALUE_RAW_MAX : QEXPR_VALUE_MAX;
        if (value_len_ >= max) return too_long("value", QEXPR_VALUE_MAX);
        e_.value[value_len_++] = (char)c;
        return 0;
    }
    int end_expr() { return expr_check(&e_); }
    int start_name(unsigned char c)
    {
        state_ = 5;
        return add_name(c);
    }

    int step(unsigned char c)
    {
        switch (state_) {
        case 0:
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n') return 0;
            if (c == '#') {
                state_ = 2;
                return 0;
            }
            if (c == '\'') {
                state_ = 3;
                return 0;
            }
            begin();
            if (c == '!' || c == '@') {
                e_.form = c == '!' ? QEXPR_FORM_NOT : QEXPR_FORM_CMD;
                state_ = 1;
                return 0;
            }
            if (c == '~') {
                e_.enabled = 0;
                state_ = 4;
                return 0;
            }
            if (is_name_start(c)) return start_name(c);
            return char_error(c, kErrVarStart);
        case 1:
            if (c == ' ' || c == '\t') return 0;
            if (is_name_start(c)) return start_name(c);
            return char_error(c, kErrVarStart);
        case 2:
            if (c == '\n' || c == ';') state_ = 0;
            return 0;
        case 3:
            if (c == '\'') state_ = 0;
            return 0;
        case 4:
            if (c == ' ' || c == '\t') return 0;
            if (c == '!' || c == '@') {
                e_.form = c == '!' ? QEXPR_FORM_NOT : QEXPR_FORM_CMD;
                state_ = 1;
                return 0;
            }
            if (is_name_start(c)) {
                e_.form = QEXPR_FORM_PLAIN;
                return start_name(c);
            }
            return char_error(c, kErrBanCmd);
        case 5:
            if (c == '\r') return 0;
            if (is_name_char(c)) return add_name(c);
            if (c == ' ') {
                state_ = e_.form == QEXPR_FORM_CMD ? 8 : 6;
                return 0;
            }
            if (is_op_char(c)) {
                state_ = 7;
                return add_op(c);
            }
            return syntax_error(c, 2);
        case 6:
            if (c == ' ' || c == '\t') return 0;
            if (is_op_char(c) || is_alpha(c)) {
                state_ = 7;
                return add_op(c);
            }
            return syntax_error(c, 3);
        case 7:
            if (c == ' ' || c == '\t') {
                state_ = 8;
                return 0;
            }
            if (is_op_char(c)) return add_op(c);
            if (is_alpha(c) || is_digit(c)) {
                if (e_.op[0] == '=' || e_.op[0] == '<' || e_.op[0] == '>') {
                    state_ = 9;
                    return add_value(c);
                }
                return add_op(c);
            }
            return syntax_error(c, 4);
        case 8:
            if (c == ' ' || c == '\t') {
                if (e_.quote != QEXPR_QUOTE_DOUBLE) return 0;
                state_ = 9;
                return add_value(c);
            }
            if (c == '"') {
                e_.quote = QEXPR_QUOTE_DOUBLE;
                return 0;
            }
            if (c == '\'') {
                e_.quote = QEXPR_QUOTE_SINGLE;
                return 0;
            }
            if (c == '\r' || c == '\n') return syntax_error(c, 5);
            state_ = 9;
            return add_value(c);
        case 9:
            if (e_.quote == QEXPR_QUOTE_DOUBLE || e_.quote == QEXPR_QUOTE_SINGLE) {
                if (c == (e_.quote == QEXPR_QUOTE_DOUBLE ? '"' : '\'')) {
                    state_ = 10;
                    return end_expr();
                }
                return add_value(c);
            }
            if (c == ' ' || c == '\t' || c == '\r') {
                state_ = 10;
                return end_expr();
            }
            if (c == ';' || c == '\n') {
                state_ = 0;
                return end_expr();
            }
            if (c == '#') {
                state_ = 2;
                return end_expr();
            }
            return add_value(c);
        case 10:
            if (c == ' ' || c == '\t' || c == '\r') return 0;
            if (c == ';' || c == '\n') {
                state_ = 0;
                return 0;
            }
            if (c == '#') {
                state_ = 2;
                return 0;
            }
            return syntax_error(c, 6);
        }
        return -1;
    }

    qexpr_expr e_;
    int state_ = 0;
    u32 line_ = 1;
    u32 col_ = 1;
    size_t name_len_ = 0;
    size_t op_len_ = 0;
    size_t value_len_ = 0;
};

// Whether a value reads back unchanged when written bare, between double
// quotes as it stands, or between single quotes. dollar_ok: a "$" in the
// value may be expanded again on reading (the reader would do so anyway).
bool has_any(const char *v, const char *set)
{
    return strpbrk(v, set) != nullptr;
}
bool bare_ok(const char *v, bool dollar_ok)
{
    return v[0] && v[0] != '"' && v[0] != '\'' && !has_any(v, " \t\r\n;#") &&
           (dollar_ok || !strchr(v, '$'));
}
bool dquote_ok(const char *v, bool dollar_ok)
{
    return v[0] && v[0] != '\'' && v[0] != '\r' && v[0] != '\n' && !has_any(v, "\"\\") &&
           (dollar_ok || !strchr(v, '$'));
}
bool squote_ok(const char *v)
{
    return v[0] && !strchr(" \t\"'\r\n", v[0]) && !strchr(v, '\'');
}

// Between double quotes with every byte that would not read back escaped.
void put_dquoted_escaped(str_buf *b, const char *v)
{
    str_buf_append_chr(b, '"');
    for (const char *p = v; *p; ++p) {
        char c = *p;
        if (c == '\\') str_buf_append_cstr(b, "\\\\");
        else if (c == '"') str_buf_append_cstr(b, "\\042");
        else if (p == v && c == '\'') str_buf_append_cstr(b, "\\047");
        else if (p == v && c == '\r') str_buf_append_cstr(b, "\\r");
        else if (p == v && c == '\n') str_buf_append_cstr(b, "\\n");
        else str_buf_append_chr(b, c);
    }
    str_buf_append_chr(b, '"');
}

void put_value(str_buf *b, const char *v, char quote)
{
    if (quote) str_buf_append_chr(b, quote);
    str_buf_append_cstr(b, v);
    if (quote) str_buf_append_chr(b, quote);
}

}  // namespace

int qexpr_opcode_find(const char *op)
{
    return os_str_to_code(op, kOps, (int)OS_ARRAY_SIZE(kOps));
}

const char *qexpr_opcode_name(int code)
{
    return os_code_to_str(code, 0, kOps, (int)OS_ARRAY_SIZE(kOps));
}

int expr_check(qexpr_expr *e)
{
    OS_CHECK_RET(e && e->err, -1);
    int code = 0;
    if (e->form != QEXPR_FORM_CMD) {
        code = qexpr_opcode_find(e->op);
        if (code < 0) {
            snprintf(e->err, QEXPR_ERR_SIZE, "%d:0 opcode=[%s] Unsupported", (int)e->line, e->op);
            return -1;
        }
    }
    char *unescaped = nullptr;
    const char *value = e->value;
    if (e->quote == QEXPR_QUOTE_DOUBLE) {
        unescaped = str_unescape_cstr(e->value);
        if (unescaped) value = unescaped;
        else LOG_DBG("avg2=%s escape fail\n", e->value);
    }
    int r = 0;
    if (strlen(value) > QEXPR_VALUE_MAX) {
        snprintf(e->err, QEXPR_ERR_SIZE, "%d:%d value longer than %zu characters", (int)e->line,
                 (int)e->pos, QEXPR_VALUE_MAX);
        r = -1;
    } else if (e->proc) {
        int expand = e->quote != QEXPR_QUOTE_SINGLE && e->form != QEXPR_FORM_CMD;
        r = e->proc(e->arg, e->enabled, e->name, code, value, expand, (int)e->form);
        if (r == -2) snprintf(e->err, QEXPR_ERR_SIZE, "var [%s] does not exist", e->name);
        else if (r < 0) snprintf(e->err, QEXPR_ERR_SIZE, "expr malloc failed");
    }
    os_free(unescaped);
    return r;
}

int qparser_parse(const char *text, qexpr_proc proc, void *arg, char *err)
{
    char local[QEXPR_ERR_SIZE];
    if (!err) err = local;
    err[0] = 0;
    OS_CHECK_RET(text, -1);
    tokenizer t(proc, arg, err);
    return t.run(text);
}

int qparser_parse_str(const char *text, char *err)
{
    return qparser_parse(text, nullptr, nullptr, err);
}

void qexpr_canon_line(str_buf *b, int enabled, const char *name, int code, const char *value,
                      bool literal, int form, bool set_style)
{
    if (!value) value = "";
    const char *prefix = enabled ? "" : "~ ";
    bool blank = has_any(value, " \t");
    if (form == (int)QEXPR_FORM_CMD) {
        // Directive values are never expanded by the reader.
        if (!set_style) {
            str_buf_printf(b, "%s@ %s ", prefix, name);
            if (dquote_ok(value, true)) put_value(b, value, '"');
            else put_dquoted_escaped(b, value);
        } else {
            str_buf_printf(b, "%s@ %s ", prefix, name);
            if (blank ? squote_ok(value) : bare_ok(value, true)) put_value(b, value, blank ? '\'' : 0);
            else if (squote_ok(value)) put_value(b, value, '\'');
            else put_dquoted_escaped(b, value);
        }
        str_buf_append_chr(b, '\n');
        return;
    }
    str_buf_printf(b, "%s%s %s %s ", prefix, form == (int)QEXPR_FORM_NOT ? "!" : "", name,
                   qexpr_opcode_name(code));
    bool dollar_ok = !literal;
    if (blank ? dquote_ok(value, dollar_ok) : bare_ok(value, dollar_ok)) {
        put_value(b, value, blank ? '"' : 0);
    } else if (!dollar_ok && strchr(value, '$') && squote_ok(value)) {
        put_value(b, value, '\'');  // single quotes keep "$" from being expanded
    } else if (!value[0] || dollar_ok || !strchr(value, '$')) {
        put_dquoted_escaped(b, value);
    } else {
        put_value(b, value, blank ? '"' : 0);  // no form reads this value back
    }
    str_buf_append_chr(b, '\n');
}

int qexpr_rule_dump_line(void *buf, int enabled, const char *name, int code, const char *value,
                         int expand, int form)
{
    OS_CHECK_RET(buf && name, -1);
    qexpr_canon_line((str_buf *)buf, enabled, name, code, value, expand == 0, form, false);
    return 0;
}

char *qparser_format_str(const char *text, char *err)
{
    str_buf *b = str_buf_new();
    if (!b) {
        if (err) snprintf(err, QEXPR_ERR_SIZE, "expr malloc failed");
        return nullptr;
    }
    if (qparser_parse(text, qexpr_rule_dump_line, b, err) < 0) {
        str_buf_free(b);
        return nullptr;
    }
    return str_buf_detach_nonnull(b);
}

char *qexpr_file_load(const char *path)
{
    // Only files of a bounded size: an include of a device or a pipe would
    // read without end.
    os_file_stat_rec st;
    if (os_path_stat(path, &st) != 0) return nullptr;
    if (S_ISDIR(st.mode)) {
        errno = EISDIR;
        return nullptr;
    }
    if (S_ISCHR(st.mode) || S_ISBLK(st.mode) || S_ISFIFO(st.mode) || S_ISSOCK(st.mode)) {
        errno = EINVAL;
        return nullptr;
    }
    if (st.size > QEXPR_FILE_MAX) {
        errno = EFBIG;
        return nullptr;
    }
    return os_file_load_text(path);
}

int qparser_parse_file(const char *path, char *err)
{
    char local[QEXPR_ERR_SIZE];
    if (!err) err = local;
    char *text = path ? qexpr_file_load(path) : nullptr;
    if (!text) {
        snprintf(err, QEXPR_ERR_SIZE, "file open failed");
        return -1;
    }
    int r = qparser_parse_str(text, err);
    os_free(text);
    return r;
}

char *qparser_format_file(const char *path, char *err)
{
    char local[QEXPR_ERR_SIZE];
    if (!err) err = local;
    char *text = path ? qexpr_file_load(path) : nullptr;
    if (!text) {
        snprintf(err, QEXPR_ERR_SIZE, "file open failed");
        return nullptr;
    }
    char *out = qparser_format_str(text, err);
    os_free(text);
    return out;
}
