#define LOG_MOD "dbg"
#define LOG_SRC "src/lib/libdbg/http"
#include "libdbg/http.h"
#include "libdbg/http_answer.h"

#include <arpa/inet.h>
#include <cctype>
#include <climits>
#include <cstring>
#include <string_view>
#include <strings.h>
#include <unistd.h>

#include "libhttpd/api.h"
#include "liblog/log.h"
#include "libnet/sock_event.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_env.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"
#include "libpal/value/dvar.h"
#include "libpwd/libpwd.h"
#include "libsh/libsh.h"

namespace {

constexpr char kMetrics[] = "#HELP xxxx \r\nTYPE xxx\r\ng_type=0";
static_assert(sizeof kMetrics - 1 == 31, "the metrics text is 31 bytes");
constexpr char kUpdateOk[] = "{ \"success\" : true, \"msg\" : \"ok\" }";
constexpr size_t kUpdateSize = 512;
constexpr size_t kUpdateArgSize = 64;
constexpr u64 kRefusedLogEveryMs = 1000;

// Every answer of the tool: never read as another type than the one it
// names, never shown inside another site's frame.
constexpr char kAnswerHeaders[] = "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n";
constexpr char kJsonType[] = "application/json; charset=utf-8\r\n";
constexpr char kTextType[] = "text/plain; charset=utf-8\r\n";
constexpr char kIconType[] = "image/png\r\n";

// Written before the listener starts, only read afterwards.
debug_http_param g_param;

// Requests refused with 403: one record a second at most, the rest told late.
sock_log_late g_refused =
    SOCK_LOG_LATE(LOG_LVL_WARN, kRefusedLogEveryMs, "%u web requests refused with 403 since the last record\n");

// The argument key of the request's query (raw), empty when missing; false
// when it is missing or does not fit.
bool query_arg(httpd_request *r, const char *key, char *out, size_t size)
{
    out[0] = 0;
    return str_get_val(r->query, "&", key, out, size) == 0;
}

// An argument that decodes to a byte below 32 (NUL included) or to DEL.
bool holds_control(const char *raw)
{
    char text[kUpdateArgSize];
    i64 n = str_unescape_imp(text, raw, strlen(raw), STR_UNESC_ARGS);
    for (i64 i = 0; i < n; ++i)
        if ((unsigned char)text[i] < 0x20 || text[i] == 0x7f) return true;
    return false;
}

// host[:port] of a URL or a Host header. An IPv6 literal keeps its
// brackets; port is -1 when none is given.
struct authority {
    std::string_view host;
    int port;
};

bool parse_authority(std::string_view s, authority *a)
{
    size_t host = 0;
    if (!httpdParseHost(s.data(), s.size(), &host, &a->port)) return false;
    a->host = s.substr(0, host);
    return true;
}

// A header's value without the blanks after it.
std::string_view trimmed(const char *value)
{
    std::string_view v(value);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    return v;
}

bool same_text(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool ip_literal(std::string_view host)
{
    char text[64];
    int family = AF_INET;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        family = AF_INET6;
    }
    if (host.size() >= sizeof text) return false;
    memcpy(text, host.data(), host.size());
    text[host.size()] = 0;
    unsigned char addr[16];
    return inet_pton(family, text, addr) == 1;
}

// The Host names this machine: an IP address, localhost, or the host name
// exactly as gethostname gives it or its first label; no other name.
bool host_is_local(const char *host)
{
    std::string_view h = trimmed(host);
    if (h.empty()) return true;  // not sent
    authority a;
    if (!parse_authority(h, &a)) return false;
    if (ip_literal(a.host) || same_text(a.host, "localhost")) return true;
    char name[HOST_NAME_MAX + 1] = "";
    if (gethostname(name, sizeof name - 1) != 0) return false;
    std::string_view own(name);
    return !own.empty() && (same_text(a.host, own) || same_text(a.host, own.substr(0, own.find('.'))));
}

// url (an Origin, or a Referer when whole is false) names the scheme, host
// and port the request was sent to.
bool url_is_host(const char *url, const char *host, bool whole)
{
    constexpr std::string_view kScheme = "http://";
    std::string_view u(url);
    if (u.size() < kScheme.size() || !same_text(u.substr(0, kScheme.size()), kScheme)) return false;
    u.remove_prefix(kScheme.size());
    size_t end = u.find_first_of("/?#");
    if (whole && end != std::string_view::npos) return false;
    authority from, to;
    if (!parse_authority(u.substr(0, end), &from) || !parse_authority(trimmed(host), &to)) return false;
    if (from.host.find('@') != std::string_view::npos) return false;
    auto port = [](int p) { return p < 0 ? 80 : p; };
    return same_text(from.host, to.host) && port(from.port) == port(to.port);
}

// A login is asked for (is_need_auth checks credentials).
bool login_set()
{
    const char *user = g_param.user, *pwd = g_param.pwd;
    return g_param.login_check || (user && user[0] && pwd && pwd[0]);
}

// Why a request is refused, and the word for the browser that sent it.
struct refused_why {
    const char *why;   // NULL: not refused
    const char *note;  // HTML added to the 403 page, or NULL
};

constexpr char kNoteUse[] =
    "<P>A browser is served this URL only for the tool's own page: open the console page (this address with the "
    "path /) and use its views, or ask with curl or a script, e.g. "
    "curl 'http://127.0.0.1:PORT/cmd?command=help'.</P>\n";
constexpr char kNoteLogin[] =
    "<P>A login is set: the tool's page opens only from its address typed or bookmarked, not from another "
    "site's page or link.</P>\n";

// What the request shows of where it comes from: whether it is marked as
// another site's, and whether it shows the Host's own origin (through
// Sec-Fetch-Site: same-origin, or, from a browser that sends no
// Sec-Fetch-Site, an Origin or Referer of the Host) or was started outside
// any page (Sec-Fetch-Site: none).
struct request_site {
    const char *other;  // why it is another site's, or NULL
    bool own;
    bool none;
};

request_site site_of(const httpd_request *r)
{
    request_site s = {nullptr, false, false};
    bool told = r->fetchSite[0] != 0;
    if (told) {
        s.own = strcasecmp(r->fetchSite, "same-origin") == 0;
        s.none = strcasecmp(r->fetchSite, "none") == 0;
        if (!s.own && !s.none) s.other = "sent from another site";
    }
    if (r->origin[0]) {
        if (!url_is_host(r->origin, r->host, true)) s.other = "Origin is not the Host";
        else if (!told) s.own = true;
    }
    if (r->referer[0]) {
        if (!url_is_host(r->referer, r->host, false)) s.other = "Referer is not the Host";
        else if (!told) s.own = true;
    }
    return s;
}

// A browser's request: its User-Agent names a browser engine (which a page
// can change only in a request that is first asked with its Origin), or it
// sends Sec-Fetch-Site.
bool from_browser(const httpd_request *r)
{
    return r->fetchSite[0] || strstr(r->userAgent, "Mozilla/");
}

refused_why refusal(const httpd_request *r, http_site_rule rule)
{
    if (!host_is_local(r->host)) return {"Host is not this machine", nullptr};
    if (rule == HTTP_SITE_ANY || (rule == HTTP_SITE_LOGIN && !login_set())) return {};
    request_site s = site_of(r);
    if (s.other) return {s.other, rule == HTTP_SITE_LOGIN ? kNoteLogin : kNoteUse};
    if (rule == HTTP_SITE_LOGIN || s.own || !from_browser(r)) return {};
    if (rule == HTTP_SITE_READ && s.none) return {};
    return {s.none ? "a browser's navigation, not a request of the tool's own page"
                   : "a browser's request not sent from the tool's own page",
            kNoteUse};
}

// The page with its templates filled in (a new text of *len bytes): $title,
// $sh_psa and $token_value; any other $name stays as it is.
char *expand_page(const char *page, size_t *len)
{
    const struct {
        std::string_view name;
        const char *value;
    } vars[] = {
        {"title", g_param.title ? g_param.title : ""},
        {"sh_psa", g_param.prompt ? g_param.prompt : ""},
        {"token_value", HTTP_TOKEN},
    };
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    const char *p = page;
    while (const char *dollar = strchr(p, '$')) {
        str_buf_append(b, p, (size_t)(dollar - p));
        const char *name = dollar + 1;
        size_t n = 0;
        while (isalnum((unsigned char)name[n]) || name[n] == '_') ++n;
        const char *value = nullptr;
        for (const auto &v : vars)
            if (v.name == std::string_view(name, n)) value = v.value;
        if (value) str_buf_append_cstr(b, value);
        else str_buf_append(b, dollar, n + 1);
        p = name + n;
    }
    str_buf_append_cstr(b, p);
    *len = b->length;
    return str_buf_detach_nonnull(b);
}

// An answer of the tool; handler names the URL handler it answers for,
// whose name its records carry.
using url_answer_fn = int (*)(httpd_server *server, httpd_request *r, const char *handler);

int answer_status(httpd_server *, httpd_request *r, const char *);
int answer_config(httpd_server *, httpd_request *r, const char *);
int answer_update(httpd_server *, httpd_request *r, const char *handler);
int answer_metrics(httpd_server *, httpd_request *r, const char *);
int answer_favicon(httpd_server *, httpd_request *r, const char *);

// The tool's URLs and what each needs before it is answered: its query
// logged (verb), what it asks of where the request comes from (site; the
// Host is checked for every request) and the login.
// Each URL's handler applies its row, so a handler registered alone on
// another server keeps its checks. The records written for a URL carry
// its handler's name (func), whichever helper writes them.
struct url_rule {
    const char *name;
    httpd_content_fn handler;  // the row applied, then the answer
    const char *func;
    url_answer_fn answer;
    bool log_query;
    http_site_rule site;
    bool login;
};

enum url_id { URL_PAGE, URL_CMD, URL_LOG, URL_CONFIG, URL_UPDATE, URL_METRICS, URL_ICON };

// The log view counts as a change: each record is handed out once.
#define URL_ROW(url, handler, answer, log, site, login) \
    {url, handler, #handler, answer, log, HTTP_SITE_##site, login}
constexpr url_rule kUrls[] = {
    //      URL            handler                answer           log    site    login
    URL_ROW("",            http_callback_status,  answer_status,   true,  LOGIN,  true),
    URL_ROW("cmd",         http_callback_cmd,     http_answer_cmd, true,  CHANGE, true),
    URL_ROW("log",         http_callback_log,     http_answer_log, false, CHANGE, true),
    URL_ROW("config",      http_callback_config,  answer_config,   true,  READ,   true),
    URL_ROW("update",      http_callback_update,  answer_update,   false, CHANGE, true),
    URL_ROW("metrics",     http_callback_metrics, answer_metrics,  true,  READ,   true),
    URL_ROW("favicon.ico", http_callback_favicon, answer_favicon,  true,  ANY,    false),
};
#undef URL_ROW
static_assert(kUrls[URL_PAGE].handler == http_callback_status && kUrls[URL_CMD].handler == http_callback_cmd &&
                  kUrls[URL_LOG].handler == http_callback_log && kUrls[URL_CONFIG].handler == http_callback_config &&
                  kUrls[URL_UPDATE].handler == http_callback_update &&
                  kUrls[URL_METRICS].handler == http_callback_metrics &&
                  kUrls[URL_ICON].handler == http_callback_favicon,
              "each handler names its own row");
// Any other path: its Host checked, it gets the 404 page.
constexpr url_rule kUnknownUrl = {nullptr, nullptr, "http_error_404", nullptr, false, HTTP_SITE_ANY, false};

// What url needs before it is answered: 0 when the request may go on, 1
// when its refusal has been answered.
int guard(const url_rule &url, httpd_server *server, httpd_request *r)
{
    if (url.log_query) LOG_AT_FN(LOG_LVL_VERB, url.func, "[%s]\n", str_log_esc<HTTP_TEXT_MAX>(r->query).c_str());
    if (http_check_request(server, r, url.site)) return 1;
    return url.login ? is_need_auth(r) : 0;
}

int serve(url_id id, httpd_server *server, httpd_request *r)
{
    const url_rule &u = kUrls[id];
    return guard(u, server, r) ? 1 : u.answer(server, r, u.func);
}

}  // namespace

int debug_http_server_set_param(const debug_http_param *param)
{
    if (!param) return 0;
    g_param = *param;
    // A login without the login checks is still kept from being guessed:
    // the lock-out of addresses that fail too often runs with its defaults
    // unless it has been set up already.
    if (!g_param.login_check && login_set()) ipcheck_init_default();
    return 0;
}

sock_log_late *http_check_refusals(void)
{
    return &g_refused;
}

int http_check_request(httpd_server *server, httpd_request *r, http_site_rule rule)
{
    httpdAddHeader(r, kAnswerHeaders);
    refused_why no = refusal(r, rule);
    if (!no.why) return 0;
    if (u32 n = sock_log_late_pass(&g_refused))
        LOG_WARN("web request from %s refused: %s (Host [%s], %u refused since the last record)\n", r->clientAddr,
                 no.why, str_log_esc<HTTP_TEXT_MAX>(r->host).c_str(), n);
    httpdSend403(server, r, from_browser(r) ? no.note : nullptr);
    return 1;
}

int http_send_json(httpd_request *r, const char *text)
{
    httpdSetContentType(r, kJsonType);
    return httpdSendStr(r, text);
}

void http_error_404(httpd_server *server, httpd_request *r, int)
{
    if (guard(kUnknownUrl, server, r)) return;
    // The built-in answer, without this function again.
    httpdSend404(nullptr, r);
}

int is_need_auth(httpd_request *r)
{
    const char *user = g_param.user, *pwd = g_param.pwd;
    if (!login_set()) return 0;
    // A request without credentials is no login yet: it is only asked for
    // them. A login goes through the login checks, which count failures
    // per address, lock out one that failed too often and log both.
    char err[LIBPWD_TEXT_MAX] = "";
    if (r->authLength <= 0 && !r->authUser[0]) {
        LOG_DBG("Status page requested, forcing authentication\n");
    } else if (g_param.login_check) {
        if (libpwd_check_user_pwd(r->clientAddr, r->authUser, r->authPassword, err) == LIBPWD_OK) return 0;
        LOG_DBG("authentication error: %s\n", err);
    } else {
        if (libpwd_check_login(r->clientAddr, r->authUser, r->authPassword, user, pwd, err) == LIBPWD_OK) return 0;
        LOG_DBG("Status page requested, forcing authentication\n");
    }
    httpdForceAuthenticate(r, HTTP_REALM);
    return 1;
}

namespace {

int answer_status(httpd_server *, httpd_request *r, const char *)
{
    // The page's templates always take the tool's values, and nothing of
    // the query is expanded into the page.
    const char *page = http_page_text();
    size_t len = 0;
    char *text = expand_page(page ? page : g_http_page, &len);
    if (!text) return -1;
    httpdSendData(r, text, len);
    os_free(text);
    return 0;
}

int answer_config(httpd_server *, httpd_request *r, const char *)
{
    char *text = libsh_dvar_dump();
    http_send_json(r, text ? text : "[]");
    os_free(text);
    return 0;
}

int answer_update(httpd_server *, httpd_request *r, const char *handler)
{
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
    } else if (holds_control(raw_name) || holds_control(raw_value)) {
        str_safecopy_trunc(err, sizeof err, "name and value may not hold control characters");
    } else {
        str_unescape_url_args(raw_name, name, sizeof name);
        str_unescape_url_args(raw_value, value, sizeof value);
        rc = libsh_dvar_set(name, value, err);
    }
    if (rc >= 0) return http_send_json(r, kUpdateOk);
    LOG_AT_FN(LOG_LVL_DBG, handler, "%s conf_set failed: %s\n", str_log_esc<HTTP_TEXT_MAX>(r->query).c_str(),
              str_log_esc<DVAR_ERR_SIZE>(err).c_str());
    char answer[kUpdateSize];
    constexpr char kHead[] = "{ \"success\" : false, \"msg\" : \"";
    constexpr char kTail[] = "\" }";
    size_t len = sizeof kHead - 1;
    memcpy(answer, kHead, len);
    len += http_json_escape(answer + len, sizeof answer - len - (sizeof kTail - 1), err, strlen(err), nullptr);
    memcpy(answer + len, kTail, sizeof kTail);
    return http_send_json(r, answer);
}

int answer_metrics(httpd_server *, httpd_request *r, const char *)
{
    httpdSetContentType(r, kTextType);
    return httpdSendStr(r, kMetrics);
}

int answer_favicon(httpd_server *, httpd_request *r, const char *)
{
    httpdSetContentType(r, kIconType);
    httpdSendData(r, (const char *)g_http_icon, g_http_icon_size);
    return 0;
}

}  // namespace

int http_callback_status(httpd_server *server, httpd_request *r) { return serve(URL_PAGE, server, r); }
int http_callback_cmd(httpd_server *server, httpd_request *r) { return serve(URL_CMD, server, r); }
int http_callback_log(httpd_server *server, httpd_request *r) { return serve(URL_LOG, server, r); }
int http_callback_config(httpd_server *server, httpd_request *r) { return serve(URL_CONFIG, server, r); }
int http_callback_update(httpd_server *server, httpd_request *r) { return serve(URL_UPDATE, server, r); }
int http_callback_metrics(httpd_server *server, httpd_request *r) { return serve(URL_METRICS, server, r); }
int http_callback_favicon(httpd_server *server, httpd_request *r) { return serve(URL_ICON, server, r); }

int http_add_callbacks(httpd_server *server)
{
    for (const auto &u : kUrls)
        if (httpdAddCContent(server, "/", u.name, 0, nullptr, u.handler) != 0) return -1;
    return httpdSetErrorFunction(server, 404, http_error_404);
}
