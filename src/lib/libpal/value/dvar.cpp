#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/value/dvar"
#include "libpal/value/dvar.h"

#include <cstdio>

#include "liblog/log.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_safe.h"
#include "libpal/value/var_reg.h"

struct dvar_mgr : var_reg {};

static bool dvar_has_value(const dvar_item *it)
{
    return value2_is_set(&it->value) != 0;
}

dvar_mgr *dvar_mgr_init(void)
{
    return var_reg_new<dvar_mgr>();
}

int dvar_mgr_exit(dvar_mgr *mgr)
{
    var_reg_free(mgr);
    return 0;
}

dvar_item *dvar_mgr_find(dvar_mgr *mgr, const char *name)
{
    return var_reg_find<dvar_item>(mgr, name);
}

int dvar_mgr_exist(dvar_mgr *mgr, const char *name)
{
    return dvar_mgr_find(mgr, name) ? 1 : 0;
}

// A variable needs a set function or a value: a held integer of 0 in a
// zero-filled record counts as none. A held integer registered as a value
// stays one whatever it is set to later, 0 included.
int dvar_mgr_add(dvar_mgr *mgr, dvar_item *item)
{
    bool value = item && dvar_has_value(item);
    int r = var_reg_add(mgr, item, item && (item->set_fn || value), "var=%s set error\n");
    if (r == 0 && value) value2_hold(&item->value);
    return r;
}

char *dvar_mgr_show(dvar_mgr *mgr)
{
    return var_reg_list<dvar_item>(mgr, [](str_buf *b, const dvar_item *it) {
        str_buf_printf(b, "set %s [%s] -- %s\n", it->name, it->range ? it->range : "",
                       it->desc ? it->desc : "");
    });
}

int dvar_mgr_get(dvar_item *item, char *buf)
{
    OS_CHECK_RET(item != nullptr && buf != nullptr, -1);
    if (item->get_fn) return item->get_fn(buf, DVAR_VALUE_SIZE);
    if (dvar_has_value(item)) return value2_get_str(&item->value, buf, DVAR_VALUE_SIZE);
    str_safecopy_trunc(buf, DVAR_VALUE_SIZE, "error: not support");
    LOG_ERR("error: var.name %s get=NULL error\n", item->name);
    return -1;
}

int dvar_mgr_set(dvar_mgr *mgr, const char *name, const char *value, char *err)
{
    dvar_item *it = dvar_mgr_find(mgr, name);
    if (!it) {
        if (err) snprintf(err, DVAR_ERR_SIZE, "The set variable '%s' does not exist", name ? name : "");
        return -12;
    }
    if (it->set_fn) {
        char local[DVAR_ERR_SIZE];
        return it->set_fn(value ? value : "", err ? err : local);
    }
    if (dvar_has_value(it)) return value2_set_str(&it->value, value);
    return -1;
}

char *dvar_mgr_print(dvar_mgr *mgr)
{
    char *val = (char *)os_malloc(DVAR_VALUE_SIZE);
    char *q = (char *)os_malloc(DVAR_VALUE_SIZE);
    char *text = nullptr;
    if (val && q) {
        text = var_reg_list<dvar_item>(mgr, [val, q](str_buf *b, dvar_item *it) {
            val[0] = 0;
            dvar_mgr_get(it, val);
            str_buf_printf(b, "%s=%s\n", it->name, str_squote(val, q, DVAR_VALUE_SIZE));
        });
    }
    os_free(val);
    os_free(q);
    return text;
}

// Appends text as the body of a JSON string.
static void json_text(str_buf *b, const char *s, char bar_to = 0)
{
    for (const unsigned char *p = (const unsigned char *)(s ? s : ""); *p; ++p) {
        unsigned char c = *p;
        if (bar_to && c == '|') c = (unsigned char)bar_to;
        switch (c) {
        case '"': str_buf_append_cstr(b, "\\\""); break;
        case '\\': str_buf_append_cstr(b, "\\\\"); break;
        case '\n': str_buf_append_cstr(b, "\\n"); break;
        case '\r': str_buf_append_cstr(b, "\\r"); break;
        case '\t': str_buf_append_cstr(b, "\\t"); break;
        case '\b': str_buf_append_cstr(b, "\\b"); break;
        case '\f': str_buf_append_cstr(b, "\\f"); break;
        // Never markup, whatever a browser takes the text for.
        case '<': str_buf_append_cstr(b, "\\u003c"); break;
        case '>': str_buf_append_cstr(b, "\\u003e"); break;
        case '&': str_buf_append_cstr(b, "\\u0026"); break;
        default:
            if (c < 0x20) str_buf_printf(b, "\\u%04x", c);
            else str_buf_append_chr(b, (char)c);
        }
    }
}

char *dvar_mgr_dump_json(dvar_mgr *mgr)
{
    void **items;
    u64 n = var_reg_snapshot(mgr, &items);
    str_buf *b = str_buf_new();
    if (!b) {
        os_free(items);
        return nullptr;
    }
    char *val = n ? (char *)os_malloc(DVAR_VALUE_SIZE) : nullptr;
    str_buf_append_cstr(b, "[");
    for (u64 i = 0; val && i < n; ++i) {
        dvar_item *it = (dvar_item *)items[i];
        val[0] = 0;
        dvar_mgr_get(it, val);
        str_buf_append_cstr(b, "{\"desc\":\"");
        json_text(b, it->desc);
        str_buf_append_cstr(b, "\",\"name\":\"");
        json_text(b, it->name);
        str_buf_append_cstr(b, "\",\"value\":\"");
        json_text(b, val);
        str_buf_printf(b, "\",\"type\":\"%s\"", it->kind == DVAR_KIND_ENUM ? "enum" : "string");
        if (it->kind == DVAR_KIND_ENUM) {
            str_buf_append_cstr(b, ",\"range\":\"");
            json_text(b, it->range, '/');
            str_buf_append_cstr(b, "\"");
        }
        str_buf_append_cstr(b, "},");
    }
    os_free(val);
    os_free(items);
    char *text = str_buf_get(b);
    if (text && b->length > 1 && text[b->length - 1] == ',') text[b->length - 1] = ' ';
    str_buf_append_cstr(b, "]");
    return str_buf_detach(b);
}
