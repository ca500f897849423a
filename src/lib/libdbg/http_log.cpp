#define LOG_MOD "dbg"
#define LOG_SRC "src/lib/libdbg/http_log"
#include <cstring>
#include <pthread.h>

#include "libbsv/bsv_log.h"
#include "libdbg/http.h"
#include "libdbg/http_answer.h"
#include "libhttpd/api.h"
#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/string/str_kv.h"

namespace {

constexpr size_t kTokenSize = 64;
// Room kept for one more entry: its escaped text and the JSON around it.
constexpr size_t kEntryMax = HTTP_LOG_TEXT_SIZE + 64;

// The log view's reader of the "log" ring, shared by every start of the
// tool that has not ended yet. Under g_log_lock: two log requests never
// interleave records.
pthread_mutex_t g_log_lock = PTHREAD_MUTEX_INITIALIZER;
decltype(bsv_open_log()) g_reader = nullptr;
u32 g_users = 0;

}  // namespace

int http_log_init(void)
{
    LOG_DBG("==>\n");
    pthread_guard g(&g_log_lock);
    if (g_users > 0) {
        g_users++;
        return 0;
    }
    g_reader = bsv_open_log();
    if (!g_reader) {
        LOG_DBG("bsv_open_log failed\n");
        return -1;
    }
    g_users = 1;
    return 0;
}

int http_log_exit(void)
{
    pthread_guard g(&g_log_lock);
    if (g_users == 0) return -1;
    if (--g_users == 0) {
        bsv_close_log(g_reader);
        g_reader = nullptr;
    }
    return 0;
}

char *http_log_stat(void)
{
    pthread_guard g(&g_log_lock);
    return g_reader ? bsv_rbuf_stat_dump(g_reader) : nullptr;
}

void http_log_get_json(const char *token, char *out, size_t size)
{
    (void)token;
    if (!out || size < 3) return;
    size_t len = 0;
    out[len++] = '[';
    char *text = (char *)os_malloc(HTTP_LOG_TEXT_SIZE);
    char *esc = (char *)os_malloc(HTTP_LOG_TEXT_SIZE);
    if (text && esc) {
        pthread_guard g(&g_log_lock);
        while (g_reader && len + kEntryMax < size) {
            u32 level = 0;
            int n = bsv_read_log(g_reader, &level, text, HTTP_LOG_TEXT_SIZE);
            if (n <= 0) break;
            size_t tlen = strnlen(text, HTTP_LOG_TEXT_SIZE - 1);
            // An over-long record is cut, never emptied.
            http_json_escape(esc, HTTP_LOG_TEXT_SIZE, text, tlen, nullptr);
            int w = snprintf(out + len, size - len, "{\"log\":\"%s\",\"level\":\"%s\"},", esc,
                             log_level_2_severity((int)(level & 0xff)));
            if (w > 0) len += (size_t)w < size - len ? (size_t)w : size - len - 1;
        }
    }
    os_free(text);
    os_free(esc);
    if (len > 1 && out[len - 1] == ',') len--;
    out[len++] = ']';
    out[len] = 0;
}

int http_answer_log(httpd_server *, httpd_request *r, const char *)
{
    char token[kTokenSize] = "";
    str_get_val(r->query, "&", "token", token, sizeof token);
    char *answer = (char *)os_malloc(HTTP_ANSWER_SIZE);
    if (!answer) return -1;
    http_log_get_json(token, answer, HTTP_ANSWER_SIZE);
    http_send_json(r, answer);
    os_free(answer);
    return 0;
}
