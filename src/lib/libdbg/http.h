#pragma once
// Web debug tool: a console page and the JSON services its script calls
// (commands, the live log, named variables), served by the embedded HTTP
// server on a TCP listener; "http_cli" threads serve one request at a time
// each, and one "http_io" thread reads the heads that arrive slowly.
#include "libpal/env/os_types.h"
#include "libpal/network/os_ipaddr.h"

struct httpd_server;
struct httpd_request;

struct debug_http_param {
    u32 login_check;  // nonzero: user and password go through the login checks
    const char *title;
    const char *user;
    const char *pwd;
    const char *prompt;
};

constexpr u32 HTTP_MAX_REQUESTS = 256;       // requests served at once
constexpr u32 HTTP_MAX_CONNS = 1024;         // connections whose head is read slowly
constexpr u32 HTTP_MAX_CONNS_PER_ADDR = HTTP_MAX_CONNS / 2;  // of them from one client address
constexpr size_t HTTP_ANSWER_SIZE = 16384;   // JSON answers, NUL included
constexpr size_t HTTP_CMD_ARG_SIZE = 16384;  // the raw command argument
constexpr size_t HTTP_CMD_SIZE = 4096;       // the decoded command line
constexpr size_t HTTP_LOG_TEXT_SIZE = 1472;  // one record of the log view
constexpr char HTTP_REALM[] = "velta";
constexpr char HTTP_TOKEN[] = "52718364";

int debug_http_server_set_param(const debug_http_param *param);
// addrs: a ';' or ','-separated list of local addresses, empty for all.
int debug_http_server_init(const char *addrs, int port);
int dbg_http_server_stop(void);
// The port the tool listens on, 0 when it is stopped.
int dbg_http_server_port(void);

int http_accept_proc(u64 sock, os_ipaddr *peer, void *arg);
// A request thread; arg is its record, made with its first request.
i64 httpd_client_thread(void *arg);
int http_add_callbacks(httpd_server *server);
// The page read from "debug.html" at start for the request this thread
// serves, or NULL for the built-in page.
const char *http_page_text(void);
int is_need_auth(httpd_request *r);
// What a URL asks of where a request comes from, besides a Host that
// names this machine (an IP literal, localhost, or the host name or its
// first label), which every URL asks.
enum http_site_rule : u8 {
    // Nothing more.
    HTTP_SITE_ANY,
    // While a login is set: not marked as another site's (Sec-Fetch-Site
    // other than same-origin or none, an Origin or Referer of another
    // origin). Such a request is refused before its credentials are looked
    // at, so it never counts toward a lock-out.
    HTTP_SITE_LOGIN,
    // Never another site's; a browser's (User-Agent with "Mozilla/", or
    // Sec-Fetch-Site) only with Sec-Fetch-Site same-origin or none, or an
    // Origin or Referer of the Host. For URLs that only read.
    HTTP_SITE_READ,
    // Never another site's; a browser's only with Sec-Fetch-Site
    // same-origin, or, from a browser that sends no Sec-Fetch-Site, an
    // Origin or Referer of the Host: a navigation (typed, from a link
    // opened outside the browser, carried across a redirect) proves
    // nothing. For URLs whose answer changes something.
    HTTP_SITE_CHANGE,
};
// Starts an answer of the tool: the headers every answer carries, then the
// checks of where the request comes from that rule asks. 0 when the
// request may go on, 1 when the 403 answer has been written (with a word
// on how the URL is used when the request was a browser's).
int http_check_request(httpd_server *server, httpd_request *r, http_site_rule rule);
// The record of the requests http_check_request refuses, whose count it
// tells late (the tool starts and stops that with itself).
struct sock_log_late;
sock_log_late *http_check_refusals(void);
// Answers a JSON text, with its type and length.
int http_send_json(httpd_request *r, const char *text);
// The 404 answer of the tool (registered as the server's 404 function).
void http_error_404(httpd_server *server, httpd_request *r, int code);

// URL handlers (http_add_callbacks registers them). Each first applies
// what its URL needs: the checks of http_check_request (the Host for all,
// where the request comes from by the URL's rule) and the login
// (is_need_auth) for all but the icon; so each is safe to register alone
// on a server of one's own.
int http_callback_status(httpd_server *server, httpd_request *r);
int http_callback_cmd(httpd_server *server, httpd_request *r);
int http_callback_log(httpd_server *server, httpd_request *r);
int http_callback_config(httpd_server *server, httpd_request *r);
int http_callback_update(httpd_server *server, httpd_request *r);
int http_callback_metrics(httpd_server *server, httpd_request *r);
int http_callback_favicon(httpd_server *server, httpd_request *r);

// The log view: a reader of the "log" record ring, opened by the first
// start of the tool and closed when the last one has ended.
int http_log_init(void);
int http_log_exit(void);
// The reader's statistics (a new text), or NULL when it is not open.
char *http_log_stat(void);
// The records queued since the previous call, as a JSON array, into out.
void http_log_get_json(const char *token, char *out, size_t size);

// Runs a command line and writes the JSON answer into out. A "source" it
// runs stops once from's client has gone (from may be NULL).
int http_exec_cmd(const char *cmd, char *out, size_t size, httpd_request *from = nullptr);
// Escapes len bytes of src as the body of a JSON string into out (room
// bytes, a NUL always written): escapes and UTF-8 sequences are never cut,
// bytes that are not UTF-8 become \u00XX. The bytes of src taken go to
// *used when it is given; returns the length written.
size_t http_json_escape(char *out, size_t room, const char *src, size_t len, size_t *used);

// The built-in page and the icon.
extern const char g_http_page[];
extern const unsigned char g_http_icon[];
extern const size_t g_http_icon_size;
