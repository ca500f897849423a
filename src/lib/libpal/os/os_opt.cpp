#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/os_opt"
#include "libpal/os/os_opt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "libconf/conf.h"
#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_kv.h"

namespace {

// -s texts reach standard error escaped as client text is.
using shown_arg = str_log_esc<1024>;

os_opt_kv *kv_find(os_opt_kv *table, const char *key)
{
    for (os_opt_kv *r = table; r->key; ++r)
        if (strcasecmp(r->key, key) == 0) return r;
    return nullptr;
}

// A number that is not one is told as the configuration file tells it,
// with the option's name: "-s KEY=VALUE is not a number, 0 is used".
void kv_store(os_opt_kv *row, const char *value, const char *func)
{
    if (!row->target) return;
    if (row->type == 14) {
        char name[300];
        snprintf(name, sizeof name, "-s %s", row->key);
        *(i32 *)row->target = (i32)conf_value_int(value, name, func);
    } else {
        char *copy = os_strdup(value);
        if (copy) *(char **)row->target = copy;
    }
}

}  // namespace

int os_opt_kv_get(os_opt_kv *table, const char *arg)
{
    OS_CHECK_RET(arg != nullptr, -1);
    if (strcmp(arg, "list") == 0) {
        fputs("support the following key settings\n", stderr);
        for (os_opt_kv *r = table; r && r->key; ++r) fprintf(stderr, "%s\n", r->key);
        fflush(stderr);
        exit(0);
    }
    if (!table) {
        LOG_ERR("unsupported key [%s]\n", shown_arg(arg).c_str());
        return -1;
    }
    char key[256], val[256];
    // Key before the first '=', value up to the next '=' or the end.
    if (str_get_key_and_val(arg, "=", key, sizeof key, val, sizeof val) != 0) {
        LOG_ERR("%s syntax error Example: k=v\n", shown_arg(arg).c_str());
        return -1;
    }
    os_opt_kv *row = kv_find(table, key);
    if (!row) {
        LOG_ERR("unsupported key [%s]\n", shown_arg(key).c_str());
        return -1;
    }
    char *copy = os_strdup(val);
    if (!copy) return -1;
    os_free(row->text);
    row->text = copy;
    return 0;
}

int os_opt_kv_apply(os_opt_kv *table)
{
    for (os_opt_kv *r = table; r && r->key; ++r)
        if (r->text) kv_store(r, r->text, __func__);
    return 0;
}

int os_opt_kv_set2(os_opt_kv *table, const char *key, const char *value)
{
    os_opt_kv *row = table && key ? kv_find(table, key) : nullptr;
    if (!row) {
        LOG_ERR("unsupported key=[%s] val=[%s]\n", shown_arg(key).c_str(), shown_arg(value).c_str());
        return -1;
    }
    kv_store(row, value ? value : "", __func__);
    return 0;
}

int os_opt_kv_free(os_opt_kv *table)
{
    for (os_opt_kv *r = table; r && r->key; ++r) {
        os_free(r->text);
        r->text = nullptr;
    }
    return 0;
}

void getopt_data_init(getopt_data *d)
{
    if (!d) return;
    memset(d, 0, sizeof *d);
    d->optind = 1;
    d->opterr = 1;
    d->optopt = '?';
}

getopt_data *getopt_data_new(void)
{
    getopt_data *d = (getopt_data *)os_malloc(sizeof(getopt_data));
    getopt_data_init(d);
    return d;
}

void getopt_data_free(getopt_data *d)
{
    os_free(d);
}

namespace {

// The reentrant getopt parses the options of shell commands, which a
// client sends: its complaints on standard error show the command word and
// the option with \xNN escapes (a command word is at most 255 characters).
using shown = str_log_esc<256>;

shown shown_letter(int c)
{
    const char text[2] = {(char)c, 0};
    return shown(text);
}

int long_opt(int argc, char *const argv[], const char *optstring, const getopt_long_opt *longopts,
             int *longindex, getopt_data *d)
{
    const char *arg = argv[d->optind] + 2;
    const char *eq = strchr(arg, '=');
    size_t nl = eq ? (size_t)(eq - arg) : strlen(arg);
    const char *prog = argv[0] ? argv[0] : "";
    bool quiet = optstring[0] == ':' || !d->opterr;
    d->optind++;
    for (int i = 0; longopts[i].name; ++i) {
        const getopt_long_opt &o = longopts[i];
        if (strlen(o.name) != nl || strncmp(o.name, arg, nl) != 0) continue;
        if (longindex) *longindex = i;
        if (o.has_arg == 0 && eq) {
            if (!quiet) fprintf(stderr, "%s: option '--%s' doesn't allow an argument\n", shown(prog).c_str(), o.name);
            d->optopt = o.val;
            return '?';
        }
        if (o.has_arg != 0) {
            if (eq) {
                d->optarg = (char *)eq + 1;
            } else if (o.has_arg == 1) {
                if (d->optind >= argc) {
                    if (!quiet)
                        fprintf(stderr, "%s: option '--%s' requires an argument\n", shown(prog).c_str(), o.name);
                    d->optopt = o.val;
                    return optstring[0] == ':' ? ':' : '?';
                }
                d->optarg = argv[d->optind++];
            }
        }
        if (o.flag) {
            *o.flag = o.val;
            return 0;
        }
        return o.val;
    }
    if (!quiet) {
        char name[256];
        snprintf(name, sizeof name, "%.*s", (int)nl, arg);
        fprintf(stderr, "%s: unrecognized option '--%s'\n", shown(prog).c_str(), shown(name).c_str());
    }
    d->optopt = 0;
    return '?';
}

}  // namespace

int getopt_long_r(int argc, char *const argv[], const char *optstring,
                  const getopt_long_opt *longopts, int *longindex, getopt_data *d)
{
    if (!d || !argv || !optstring) return -1;
    d->optarg = nullptr;
    if (d->optind < 1) d->optind = 1;
    if (d->nextchar == 0) {
        if (d->optind >= argc || !argv[d->optind]) return -1;
        const char *a = argv[d->optind];
        if (a[0] != '-' || a[1] == 0) return -1;
        if (strcmp(a, "--") == 0) {
            d->optind++;
            return -1;
        }
        if (a[1] == '-' && longopts) return long_opt(argc, argv, optstring, longopts, longindex, d);
        d->nextchar = 1;
    }
    const char *a = argv[d->optind];
    int c = (unsigned char)a[d->nextchar++];
    bool last = a[d->nextchar] == 0;
    const char *spec = c != ':' ? strchr(optstring[0] == ':' ? optstring + 1 : optstring, c) : nullptr;
    const char *prog = argv[0] ? argv[0] : "";
    bool quiet = optstring[0] == ':' || !d->opterr;
    if (!spec) {
        if (!quiet) fprintf(stderr, "%s: invalid option -- '%s'\n", shown(prog).c_str(), shown_letter(c).c_str());
        d->optopt = c;
        if (last) {
            d->optind++;
            d->nextchar = 0;
        }
        return '?';
    }
    if (spec[1] == ':') {
        bool optional = spec[2] == ':';
        if (!last) {
            d->optarg = (char *)a + d->nextchar;
        } else if (!optional) {
            if (d->optind + 1 >= argc) {
                if (!quiet)
                    fprintf(stderr, "%s: option requires an argument -- '%s'\n", shown(prog).c_str(),
                            shown_letter(c).c_str());
                d->optopt = c;
                d->optind++;
                d->nextchar = 0;
                return optstring[0] == ':' ? ':' : '?';
            }
            d->optarg = argv[d->optind + 1];
            d->optind++;
        }
        d->optind++;
        d->nextchar = 0;
        return c;
    }
    if (last) {
        d->optind++;
        d->nextchar = 0;
    }
    return c;
}

int getopt_r(int argc, char *const argv[], const char *optstring, getopt_data *d)
{
    return getopt_long_r(argc, argv, optstring, nullptr, nullptr, d);
}
