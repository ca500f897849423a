#define LOG_MOD "httpd"
#define LOG_SRC "src/lib/libhttpd/api"
// The server object, its content tree, answering a request and the
// access log.
#include "libhttpd/httpd_int.h"

#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_escape.h"

using namespace httpd_int;

namespace {

// ---- content tree -----------------------------------------------------------

void free_entries(httpd_content *c)
{
    while (c) {
        httpd_content *next = c->next;
        os_free(c->name);
        os_free(c->path);
        os_free(c);
        c = next;
    }
}

void free_dir(httpd_dir *d)
{
    while (d) {
        httpd_dir *next = d->next;
        free_dir(d->children);
        free_entries(d->entries);
        os_free(d->name);
        os_free(d);
        d = next;
    }
}

// A new entry of kind type in front of dir's entries; NULL without memory.
httpd_content *add_entry(httpd_server *server, const char *dir, const char *name, int type,
                         int indexFlag, httpd_preload_fn preload)
{
    httpd_dir *d = httpdFindContentDir(server, dir, 1);
    if (!d) return nullptr;
    httpd_content *c = (httpd_content *)os_zalloc(sizeof(httpd_content));
    if (!c) return nullptr;
    c->name = os_strdup(name ? name : "");
    if (!c->name) {
        os_free(c);
        return nullptr;
    }
    c->type = type;
    c->indexFlag = indexFlag;
    c->preload = preload;
    c->next = d->entries;
    d->entries = c;
    return c;
}

// The path of a file entry: absolute as given, else joined to the base.
char *entry_path(httpd_server *server, const char *path)
{
    if (!path) path = "";
    if (path[0] == '/') return os_strdup(path);
    return os_asprintf("%s/%s", server->fileBasePath, path);
}

}  // namespace

void httpd_int::local_time_text(const char *fmt, char *buf, size_t size)
{
    time_t t = time(nullptr);
    struct tm tm;
    localtime_r(&t, &tm);
    if (strftime(buf, size, fmt, &tm) == 0) buf[0] = 0;
}

// ---- server and content tree ------------------------------------------------

httpd_server *httpdCreate(void)
{
    httpd_server *s = (httpd_server *)os_zalloc(sizeof(httpd_server));
    if (!s) return nullptr;
    s->startTime = (u32)time(nullptr);
    s->content = (httpd_dir *)os_zalloc(sizeof(httpd_dir));
    if (s->content) s->content->name = os_strdup("");
    if (!s->content || !s->content->name) {
        if (s->content) os_free(s->content);
        os_free(s);
        return nullptr;
    }
    return s;
}

void httpdDestroy(httpd_server *server)
{
    if (!server) return;
    free_dir(server->content);
    httpdFreeAcl(server->defaultAcl);
    os_free(server);
}

void httpdSetFileBase(httpd_server *server, const char *path)
{
    if (server) copy_text(server->fileBasePath, sizeof server->fileBasePath, path);
}

void httpdSetAccessLog(httpd_server *server, FILE *fp)
{
    if (server) server->accessLog = fp;
}

void httpdSetErrorLog(httpd_server *server, FILE *fp)
{
    if (server) server->errorLog = fp;
}

int httpdAddCContent(httpd_server *server, const char *dir, const char *name, int indexFlag,
                     httpd_preload_fn preload, httpd_content_fn function)
{
    httpd_content *c = add_entry(server, dir, name, HTTP_C_FUNCT, indexFlag, preload);
    if (!c) return -1;
    c->function = function;
    return 0;
}

int httpdAddFileContent(httpd_server *server, const char *dir, const char *name, int indexFlag,
                        httpd_preload_fn preload, const char *path)
{
    char *full = entry_path(server, path);
    if (!full) return -1;
    httpd_content *c = add_entry(server, dir, name, HTTP_FILE, indexFlag, preload);
    if (!c) {
        os_free(full);
        return -1;
    }
    c->path = full;
    return 0;
}

int httpdAddStaticContent(httpd_server *server, const char *dir, const char *name, int indexFlag,
                          httpd_preload_fn preload, const char *text)
{
    httpd_content *c = add_entry(server, dir, name, HTTP_STATIC, indexFlag, preload);
    if (!c) return -1;
    c->data = text;
    return 0;
}

int httpdAddWildcardContent(httpd_server *server, const char *dir, httpd_preload_fn preload,
                            const char *path)
{
    char *full = entry_path(server, path);
    if (!full) return -1;
    httpd_content *c = add_entry(server, dir, "", HTTP_WILDCARD, 0, preload);
    if (!c) {
        os_free(full);
        return -1;
    }
    c->path = full;
    return 0;
}

int httpdAddCWildcardContent(httpd_server *server, const char *dir, httpd_preload_fn preload,
                             httpd_content_fn function)
{
    httpd_content *c = add_entry(server, dir, "", HTTP_C_WILDCARD, 0, preload);
    if (!c) return -1;
    c->function = function;
    return 0;
}

httpd_dir *httpdFindContentDir(httpd_server *server, const char *dir, int create)
{
    if (!server || !server->content) return nullptr;
    httpd_dir *cur = server->content;
    const char *p = dir ? dir : "";
    while (*p) {
        size_t n = strcspn(p, "/");
        if (n == 0) {
            ++p;
            continue;
        }
        httpd_dir *child = cur->children;
        while (child && !(strlen(child->name) == n && strncmp(child->name, p, n) == 0)) child = child->next;
        if (!child) {
            if (create != 1) return nullptr;
            child = (httpd_dir *)os_zalloc(sizeof(httpd_dir));
            if (!child) return nullptr;
            child->name = os_strndup(p, n);
            if (!child->name) {
                os_free(child);
                return nullptr;
            }
            child->next = cur->children;
            cur->children = child;
        }
        cur = child;
        p += n;
    }
    return cur;
}

httpd_content *httpdFindContentEntry(httpd_request *r, httpd_dir *dir, const char *fileName)
{
    if (!dir) return nullptr;
    const char *name = fileName ? fileName : "";
    for (httpd_content *c = dir->entries; c; c = c->next) {
        bool match = c->type == HTTP_WILDCARD || c->type == HTTP_C_WILDCARD ||
                     (name[0] == 0 && c->indexFlag) || strcmp(c->name, name) == 0;
        if (match) {
            if (r) r->content = c;
            return c;
        }
    }
    return nullptr;
}

int httpdSetErrorFunction(httpd_server *server, int code, httpd_error_fn function)
{
    switch (code) {
    case 304: server->errorFunction304 = function; return 0;
    case 403: server->errorFunction403 = function; return 0;
    case 404: server->errorFunction404 = function; return 0;
    default: {
        char msg[128];
        snprintf(msg, sizeof msg, "Invalid error code (%d) for custom callback", code);
        httpdWriteErrorLog(server, nullptr, kLevelError, msg);
        return -1;
    }
    }
}

void httpdProcessRequest(httpd_server *server, httpd_request *r)
{
    r->responseLength = 0;
    char dirName[HTTP_TEXT_MAX];
    copy_text(dirName, sizeof dirName, r->path);
    char *slash = strrchr(dirName, '/');
    if (!slash) {
        LOG_DBG("Invalid request path '%s'\n", str_log_esc<HTTP_TEXT_MAX>(dirName).c_str());
        return;
    }
    char fileName[HTTP_TEXT_MAX];
    copy_text(fileName, sizeof fileName, slash + 1);
    if (slash == dirName) dirName[1] = 0;
    else *slash = 0;

    httpd_dir *dir = httpdFindContentDir(server, dirName, 0);
    httpd_content *entry = dir ? httpdFindContentEntry(r, dir, fileName) : nullptr;
    if (!entry) {
        httpdSend404(server, r);
        httpdWriteAccessLog(server, r);
        return;
    }
    if (entry->preload && entry->preload(server) < 0) {
        httpdWriteAccessLog(server, r);
        return;
    }
    switch (entry->type) {
    case HTTP_FILE: httpdSendFileEntry(server, r, entry->path); break;
    case HTTP_C_FUNCT:
    case HTTP_C_WILDCARD: entry->function(server, r); break;
    case HTTP_STATIC: httpdSendStatic(server, r, entry->data); break;
    case HTTP_WILDCARD: {
        char *path = os_asprintf("%s/%s", entry->path, fileName);
        if (path && strlen(path) < HTTP_TEXT_MAX) httpdSendFileEntry(server, r, path);
        else httpdSend404(server, r);
        os_free(path);
        break;
    }
    default: break;
    }
    httpdWriteAccessLog(server, r);
}

const char *httpdRequestMethodName(httpd_request *r)
{
    switch (r ? r->method : HTTP_NONE) {
    case HTTP_GET: return "GET";
    case HTTP_POST: return "POST";
    default: return "INVALID";
    }
}

int httpdCloseSocket(int *fd)
{
    if (!fd || *fd < 1) return fd ? *fd : -1;
    shutdown(*fd, SHUT_RDWR);
    int rc = close(*fd);
    *fd = -1;
    return rc;
}

// ---- logs -------------------------------------------------------------------

void httpdWriteAccessLog(httpd_server *server, httpd_request *r)
{
    if (!server || !server->accessLog || !r) return;
    char when[30];
    local_time_text("%d/%b/%Y:%T %Z", when, sizeof when);
    fprintf(server->accessLog, "%s - - [%s] %s \"%s\" %d %lld\n", r->clientAddr, when,
            httpdRequestMethodName(r), str_log_esc<HTTP_TEXT_MAX>(r->path).c_str(), atoi(r->response),
            (long long)r->responseLength);
    fflush(server->accessLog);
}
