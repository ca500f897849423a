#define LOG_MOD "dbg"
#define LOG_SRC "src/lib/libdbg/http"
#include "libdbg/http.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libhttpd/api.h"
#include "liblog/log.h"
#include "libnet/sock_srv.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/os_thread.h"
#include "libpal/value/dvar.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"
#include "libpwd/libpwd.h"
#include "libsh/libsh.h"

namespace {

constexpr char kMetrics[] = "#HELP xxxx \r\nTYPE xxx\r\ng_type=0";
static_assert(sizeof kMetrics - 1 == 31, "the metrics text is 31 bytes");
constexpr char kUpdateOk[] = "{ \"success\" : true, \"msg\" : \"ok\" }";
constexpr size_t kUpdateSize = 512;
constexpr size_t kUpdateArgSize = 64;

// Written before the listener starts, only read afterwards.
debug_http_param g_param;

// The argument key of the request's query (raw), empty when missing; false
// when it is missing or does not fit.
bool query_arg(httpd_request *r, const char *key, char *out, size_t size)
{
    out[0] = 0;
    return str_get_val(r->query, "&", key, out, size) == 0;
}

int serve_text(httpd_request *r, const char *text)
{
    httpdWriteStr(r, text);
    return 0;
}

}  // namespace

int debug_http_server_set_param(const debug_http_param *param)
{
    if (param) g_param = *param;
    return 0;
}

int is_need_auth(httpd_request *r)
{
    if (g_param.login_check) {
        char err[LIBPWD_TEXT_MAX] = "";
        if (libpwd_check_user_pwd(r->clientAddr, r->authUser, r->authPassword, err) == LIBPWD_OK) return 0;
        LOG_DBG("authentication error: %s\n", err);
    } else {
        const char *user = g_param.user, *pwd = g_param.pwd;
        if (!user || !user[0] || !pwd || !pwd[0]) return 0;
        // Both are compared, whatever the first gives.
        bool user_ok = libpwd_secret_equal(user, r->authUser);
        bool pwd_ok = libpwd_secret_equal(pwd, r->authPassword);
        if (user_ok && pwd_ok) return 0;
        LOG_DBG("Status page requested, forcing authentication\n");
    }
    httpdForceAuthenticate(r, HTTP_REALM);
    return 1;
}

int http_callback_status(httpd_server *, httpd_request *r)
{
    LOG_VERB("[%s]\n", r->query);
    if (is_need_auth(r)) return 1;
    // The page's templates always take the tool's values, and no query
    // variable is expanded into the page (a "debug.html" may hold other
    // $names).
    httpdFreeVariables(r);
    httpdSetVariableValue(r, "title", g_param.title ? g_param.title : "");
    httpdSetVariableValue(r, "sh_psa", g_param.prompt ? g_param.prompt : "");
    httpdSetVariableValue(r, "token_value", HTTP_TOKEN);
    const char *page = http_page_text();
    httpdOutput(r, page ? page : g_http_page);
    return 0;
}

int http_callback_config(httpd_server *, httpd_request *r)
{
    LOG_VERB("[%s]\n", r->query);
    if (is_need_auth(r)) return 1;
    char *text = libsh_dvar_dump();
    serve_text(r, text ? text : "[]");
    os_free(text);
    return 0;
}

int http_callback_update(httpd_server *, httpd_request *r)
{
    if (is_need_auth(r)) return 1;
    char raw_name[kUpdateArgSize], raw_value[kUpdateArgSize];
    char name[kUpdateArgSize], value[kUpdateArgSize];
    char err[DVAR_ERR_SIZE] = "";
    int rc = -1;
    if (r->targetCut) {
        str_safecopy_trunc(err, sizeof err, "request too long");
    } else if (!query_arg(r, "name", raw_name, sizeof raw_name) ||
               !query_arg(r, "value", raw_value, sizeof raw_value)) {
        str_sprintf_s(err, sizeof err, "name and value are needed, each at most %d characters",
                      (int)kUpdateArgSize - 1);
    } else {
        str_unescape_url_args(raw_name, name, sizeof name);
        str_unescape_url_args(raw_value, value, sizeof value);
        rc = libsh_dvar_set(name, value, err);
    }
    if (rc >= 0) return serve_text(r, kUpdateOk);
    LOG_DBG("%s conf_set failed: %s\n", r->query, err);
    char answer[kUpdateSize];
    constexpr char kHead[] = "{ \"success\" : false, \"msg\" : \"";
    constexpr char kTail[] = "\" }";
    size_t len = sizeof kHead - 1;
    memcpy(answer, kHead, len);
    len += http_json_escape(answer + len, sizeof answer - len - (sizeof kTail - 1), err, strlen(err), nullptr);
    memcpy(answer + len, kTail, sizeof kTail);
    return serve_text(r, answer);
}

int http_callback_metrics(httpd_server *, httpd_request *r)
{
    LOG_VERB("[%s]\n", r->query);
    if (is_need_auth(r)) return 1;
    return serve_text(r, kMetrics);
}

int http_callback_favicon(httpd_server *, httpd_request *r)
{
    LOG_VERB("[%s]\n", r->query);
    httpdWrite(r, (const char *)g_http_icon, g_http_icon_size);
    return 0;
}

int http_add_callbacks(httpd_server *server)
{
    static constexpr struct {
        const char *name;
        httpd_content_fn fn;
    } kUrls[] = {
        {"", http_callback_status},          {"cmd", http_callback_cmd},
        {"log", http_callback_log},          {"config", http_callback_config},
        {"update", http_callback_update},    {"metrics", http_callback_metrics},
        {"favicon.ico", http_callback_favicon},
    };
    for (const auto &u : kUrls)
        if (httpdAddCContent(server, "/", u.name, 0, nullptr, u.fn) != 0) return -1;
    return 0;
}

