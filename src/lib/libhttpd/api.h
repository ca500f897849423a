#pragma once
// Embedded HTTP server: one request per connection. A server holds a tree
// of content entries (callbacks, files, wildcard directories, in-memory
// texts) and an optional access control list; the caller accepts the
// connection, makes a request with httpdGetConnection and runs
// httpdReadRequest, httpdProcessRequest and httpdEndRequest on a thread of
// its own. Every read and write goes through the connection's net handle.
#include <cstdio>
#include <ctime>
#include "libnet/libnet.h"
#include "libpal/env/os_types.h"
#include "libpal/network/os_ipaddr.h"

struct httpd_server;
struct httpd_request;

typedef int (*httpd_content_fn)(httpd_server *server, httpd_request *r);
typedef int (*httpd_preload_fn)(httpd_server *server);
typedef void (*httpd_error_fn)(httpd_server *server, httpd_request *r, int code);
// Takes over a connection whose answer is complete while its client still
// sends: the socket is shut down for writing; the function drains what
// comes and closes it.
typedef void (*httpd_linger_fn)(u64 sock, void *arg);

// Content kinds.
enum : i32 {
    HTTP_FILE = 1,
    HTTP_C_FUNCT = 2,
    HTTP_STATIC = 4,
    HTTP_WILDCARD = 5,
    HTTP_C_WILDCARD = 6,
};

// Request methods.
enum : u32 {
    HTTP_NONE = 0,
    HTTP_GET = 1,
    HTTP_POST = 2,
};

// ACL actions.
enum : u8 {
    HTTP_ACL_PERMIT = 1,
    HTTP_ACL_DENY = 2,
};

// Server errors (last error).
enum : i32 {
    HTTP_ERR_ALLOC = -3,
    HTTP_ERR_ACL = 2,
};

constexpr size_t HTTP_TEXT_MAX = 1024;       // path, query, host, headers...
constexpr size_t HTTP_AUTH_MAX = 128;        // user and password
constexpr size_t HTTP_AUTH_DECODED_MAX = 100; // Basic credentials decoded: "user:password"
constexpr size_t HTTP_ADDR_MAX = 80;         // address texts
constexpr size_t HTTP_READ_BUF_SIZE = 4096;  // one refill of the read buffer
constexpr size_t HTTP_MAX_LINE = 65536;      // one head line, NUL included
constexpr size_t HTTP_METHOD_MAX = 16;       // letters of a method word kept
constexpr size_t HTTP_HEAD_MAX = 65536;      // bytes of a whole request head
constexpr int HTTP_FIRST_BYTE_MS = 2000;     // wait for the first byte of a refill
constexpr int HTTP_HEAD_DEADLINE_MS = 10000; // the whole head, body included
constexpr int HTTP_DRAIN_MS = 500;           // unread input drained before close
constexpr size_t HTTP_DRAIN_MAX = 1 << 20;
constexpr size_t HTTP_BODY_AHEAD = 16384;    // of a POST body, read with its head
constexpr size_t HTTP_OUTPUT_MAX = 65536;    // one piece of expanded text or of a file

struct httpd_var {
    char *name;
    char *value;
    httpd_var *nextValue;
    httpd_var *nextVariable;
};

struct httpd_content {
    char *name;
    i32 type;
    i32 indexFlag;
    httpd_content_fn function;
    const char *data;
    char *path;
    httpd_preload_fn preload;
    httpd_content *next;
};

struct httpd_dir {
    char *name;
    httpd_dir *children;
    httpd_dir *next;
    httpd_content *entries;
};

struct httpd_acl {
    u32 addr;  // host order, first part in the top byte
    u8 len;    // prefix length 0..32
    u8 action; // HTTP_ACL_PERMIT or HTTP_ACL_DENY
    httpd_acl *next;
};

struct httpd_server {
    i32 lastError;
    u32 startTime;
    char fileBasePath[HTTP_TEXT_MAX];
    httpd_dir *content;
    httpd_acl *defaultAcl;
    FILE *accessLog;
    FILE *errorLog;
    httpd_error_fn errorFunction304;
    httpd_error_fn errorFunction403;
    httpd_error_fn errorFunction404;
};

// One line of a request head: the bytes [start, end) of the head's input,
// its line end left out.
struct httpd_head_line {
    u32 start;
    u32 end;
};

// A request head as it arrives in pieces (httpdHeadScan). The scan alone
// decides where the head's lines end (a line feed ends a line, a byte
// above 127 never does, carriage returns are dropped, a line ends at
// HTTP_MAX_LINE - 1
// characters) and when the head is too large; it records where each line
// lies, and the request reader takes the lines from there. The first
// characters of each line tell the method and a POST's Content-Length.
constexpr u32 HTTPD_HEAD_FIRST_LINES = 8;
struct httpd_head_scan {
    u64 pos;            // bytes scanned
    u64 headEnd;        // bytes of the head, its empty line included; 0 before
    u32 lineStart;      // where the line being scanned starts
    u32 lineLen;        // characters of the line being scanned
    u32 lines;          // lines ended (the empty line too): httpdHeadLine
    u32 cap;            // room of more[]
    u32 longest;        // characters of the longest line
    u32 method;         // of the first line, once it has ended
    i64 contentLength;  // -1 unless announced
    u8 firstCut;        // the first line reached the line maximum
    u8 keyLen;
    char key[64];
    // The first lines are kept here (an ordinary request's head has no
    // more), the rest in more[], allocated when needed.
    httpd_head_line first[HTTPD_HEAD_FIRST_LINES];
    httpd_head_line *more;
};

// Where line i (< s->lines) of a scanned head lies.
inline const httpd_head_line &httpdHeadLine(const httpd_head_scan *s, u32 i)
{
    return i < HTTPD_HEAD_FIRST_LINES ? s->first[i] : s->more[i - HTTPD_HEAD_FIRST_LINES];
}

// Results of httpdHeadScan.
enum : int {
    HTTPD_HEAD_MORE = 0,         // the request needs more input
    HTTPD_HEAD_READY = 1,        // the request reader will not wait for input
    HTTPD_HEAD_URI_TOO_LONG = 414,
    HTTPD_HEAD_TOO_LARGE = 431,
    HTTPD_HEAD_NO_MEMORY = 503,  // the lines could not be recorded
};

struct httpd_request {
    net conn;
    char peerAddr[HTTP_ADDR_MAX];
    i32 readBufRemain;
    u32 method;
    i32 authLength;
    i32 version;
    i32 gzip;
    char path[HTTP_TEXT_MAX];
    char query[HTTP_TEXT_MAX];
    char host[HTTP_TEXT_MAX];
    char ifModified[HTTP_TEXT_MAX];
    char authUser[HTTP_AUTH_MAX];
    char authPassword[HTTP_AUTH_MAX];
    i64 responseLength;
    httpd_content *content;
    u8 headersSent;
    char headers[HTTP_TEXT_MAX];
    char response[HTTP_TEXT_MAX];
    char contentType[HTTP_TEXT_MAX];
    httpd_var *variables;
    char readBuf[HTTP_READ_BUF_SIZE + 1];
    char *readBufPtr;
    char clientAddr[HTTP_ADDR_MAX];
    // Reading state: the method word as sent (bounded), the body length a
    // POST announced, the head's deadline (monotonic ms), and whether the
    // request target was longer than the path field.
    char methodWord[HTTP_METHOD_MAX + 1];
    i64 contentLength;
    u64 deadline;
    u8 targetCut;
    u8 closed;
    // Where the request says it comes from: the Origin, Referer and
    // Sec-Fetch-Site headers as sent, and the start of its User-Agent
    // (empty when absent).
    char origin[HTTP_TEXT_MAX];
    char referer[HTTP_TEXT_MAX];
    char fetchSite[HTTP_ADDR_MAX];
    char userAgent[HTTP_ADDR_MAX];
    // Output not yet written: small pieces go out together, at the latest
    // when the request ends.
    u32 outLen;
    char outBuf[HTTP_READ_BUF_SIZE];
    // The request's input as read so far: what was read before the request
    // was made (httpdSetInput), then what its head still needed; its part
    // not taken yet (after the head: the body) from aheadPos; the head's
    // scan of it. Freed with the request. With inputEnded nothing more is
    // read from the connection.
    char *ahead;
    u32 aheadLen;
    u32 aheadCap;
    u32 aheadPos;
    u8 inputEnded;
    u8 headDone;     // the head ended with its empty line
    httpd_head_scan scan;
    i64 bodyLeft;    // bytes of a POST body announced and not read
    httpd_linger_fn linger;
    void *lingerArg;
};

// ---- server and content tree ------------------------------------------------
httpd_server *httpdCreate(void);
void httpdDestroy(httpd_server *server);
void httpdSetFileBase(httpd_server *server, const char *path);
// The streams are the caller's; NULL turns the log off.
void httpdSetAccessLog(httpd_server *server, FILE *fp);
void httpdSetErrorLog(httpd_server *server, FILE *fp);
int httpdAddCContent(httpd_server *server, const char *dir, const char *name, int indexFlag,
                     httpd_preload_fn preload, httpd_content_fn function);
int httpdAddFileContent(httpd_server *server, const char *dir, const char *name, int indexFlag,
                        httpd_preload_fn preload, const char *path);
int httpdAddStaticContent(httpd_server *server, const char *dir, const char *name, int indexFlag,
                          httpd_preload_fn preload, const char *text);
int httpdAddWildcardContent(httpd_server *server, const char *dir, httpd_preload_fn preload,
                            const char *path);
int httpdAddCWildcardContent(httpd_server *server, const char *dir, httpd_preload_fn preload,
                             httpd_content_fn function);
httpd_dir *httpdFindContentDir(httpd_server *server, const char *dir, int create);
httpd_content *httpdFindContentEntry(httpd_request *r, httpd_dir *dir, const char *fileName);
int httpdSetErrorFunction(httpd_server *server, int code, httpd_error_fn function);

// ---- requests ---------------------------------------------------------------
// A request over an accepted socket (closed on failure); peer, when given,
// is the client's address and is what the access control list checks.
httpd_request *httpdGetConnection(u64 sock, httpd_server *server, const os_ipaddr *peer);
// The same over a net handle the request takes over (memory handles for
// tests); peer is the client's address text.
httpd_request *httpdGetConnectionNet(httpd_server *server, const net *conn, const char *peer);
// Gives the request the input already read from its connection (data, an
// allocation of the counted allocator that the request takes over) and the
// time the connection was accepted (monotonic ms; the head's deadline runs
// from it). With ended set nothing more is read from the connection.
void httpdSetInput(httpd_request *r, char *data, size_t len, u64 accepted, int ended);
// A connection that still has input when its request ends goes to fn
// instead of being drained on the request's thread.
void httpdSetLinger(httpd_request *r, httpd_linger_fn fn, void *arg);
// Hands the request the scan of its input (the data given with
// httpdSetInput), which its reader goes on with; s is left empty.
void httpdSetHeadScan(httpd_request *r, httpd_head_scan *s);
// Scans the bytes of a request head received so far (data holds all len of
// them; the scan goes on where the last call stopped): HTTPD_HEAD_READY
// once the head has ended (with the first HTTP_BODY_AHEAD bytes of a POST
// body) or its first line holds a method that is not served; 414 or 431
// when the head does not end within HTTP_HEAD_MAX bytes; 503 when its
// lines cannot be recorded; else HTTPD_HEAD_MORE. A scan made with
// httpdHeadScanInit is freed with httpdHeadScanFree (then it is empty).
void httpdHeadScanInit(httpd_head_scan *s);
void httpdHeadScanFree(httpd_head_scan *s);
int httpdHeadScan(httpd_head_scan *s, const char *data, size_t len);
// A buffer for a head arriving: HTTPD_HEAD_BUF_FIRST bytes at first, grown
// by httpdHeadRoom while little room is left, to HTTPD_HEAD_BUF_MAX at most
// (a head at its limit and the body read ahead with it). False without
// memory; at the maximum, no room may be left.
constexpr u32 HTTPD_HEAD_BUF_FIRST = 2048;
constexpr u32 HTTPD_HEAD_BUF_MAX = HTTP_HEAD_MAX + HTTP_BODY_AHEAD;
bool httpdHeadRoom(char **buf, u32 *cap, u32 len);
// Reads the request head: 0, or -1 when it is not served (answered here
// when an answer is due: a method other than GET and POST gets 405 or
// 501, a head with a folded line, a blank before a header's colon, a NUL,
// more than one Host or a Host that is not host[:port] gets 400).
int httpdReadRequest(httpd_server *server, httpd_request *r);
// A Host value (or a URL's authority) of len bytes, without blanks around
// it: 1 when it is host[:port] with a name, an IPv4 address or a bracketed
// IPv6 address as its host and an empty or decimal port (1 to 65535), else
// 0. The host part's length goes to *hostLen and the port to *port (-1
// when none is given); either may be NULL.
int httpdParseHost(const char *text, size_t len, size_t *hostLen, int *port);
// One head line into dest (max characters at most, dest holds max + 1): a
// line feed ends it and is dropped, carriage returns are dropped, every
// other byte (one above 127 too) is kept. 1, or 0 when a read failed before the line ended.
int httpdReadLine(httpd_request *r, char *dest, int max);
// Exactly len bytes through the request's read buffer: 1, or 0 when the
// input ended or failed first.
int httpdReadBuf(httpd_request *r, char *dest, int len);
void httpdProcessRequest(httpd_server *server, httpd_request *r);
void httpdEndRequest(httpd_request *r);
const char *httpdRequestMethodName(httpd_request *r);

int httpdAddVariable(httpd_request *r, const char *name, const char *value);
int httpdSetVariableValue(httpd_request *r, const char *name, const char *value);
httpd_var *httpdGetVariableByName(httpd_request *r, const char *name);
httpd_var *httpdGetVariableByPrefix(httpd_request *r, const char *prefix);
httpd_var *httpdGetVariableByPrefixedName(httpd_request *r, const char *prefix, const char *name);
httpd_var *httpdGetNextVariableByPrefix(httpd_var *var, const char *prefix);
void httpdFreeVariables(httpd_request *r);
void httpdDumpVariables(httpd_request *r);
void httpdStoreData(httpd_request *r, const char *query);

void httpdSetResponse(httpd_request *r, const char *msg);
void httpdSetContentType(httpd_request *r, const char *type);
void httpdAddHeader(httpd_request *r, const char *line);
void httpdSetCookie(httpd_request *r, const char *name, const char *value);

int httpdOutput(httpd_request *r, const char *text);
int httpdWrite(httpd_request *r, const char *data, size_t length);
int httpdWriteStr(httpd_request *r, const char *text);
int httpdPrintf(httpd_request *r, const char *fmt, ...) OS_PRINTF(2, 3);
int httpdSendData(httpd_request *r, const char *data, size_t length);
int httpdSendStr(httpd_request *r, const char *text);
void httpdSendHeaders(httpd_request *r);
int httpdWriteBody(httpd_request *r, const char *text);
int httpdNetWriteStr(httpd_request *r, const char *text);
// Writes the output gathered so far (httpdEndRequest does it too); 0, or -1
// when the connection failed.
int httpdFlush(httpd_request *r);
void httpdWriteHeaders(httpd_request *r, i64 contentLength, time_t modTime);

int httpdAuthenticate(httpd_request *r, const char *realm);
void httpdForceAuthenticate(httpd_request *r, const char *realm);

int httpdCloseSocket(int *fd);

char *httpdEscape(const char *text);
char *httpdUrlEncode(const char *text);
char *httpdUnescape(char *text);
// Decodes Base64 credentials (see the server's reader); out holds max + 1
// bytes. Returns the byte count.
int httpdDecodeBase64(const char *in, char *out, int max);
void httpdSanitiseUrl(char *url);
// The HTTP date of t into buf (at least 40 bytes).
char *httpdDate(time_t t, char *buf, size_t size);

void httpdSend304(httpd_server *server, httpd_request *r);
// note, when given, is markup of the caller's added to the built-in page
// (not with the server's own 403 function).
void httpdSend403(httpd_server *server, httpd_request *r, const char *note = nullptr);
void httpdSend404(httpd_server *server, httpd_request *r);
void httpdSendFile(httpd_server *server, httpd_request *r, const char *path);
// The file of a file entry (kinds 1 and 5); answers as httpdSendFile.
void httpdSendFileEntry(httpd_server *server, httpd_request *r, const char *path);
// The short fixed answer sent in place of a request: 400 (a head that is
// not served), 414 (request line too long), 431 (head too large) or 503
// (no room for the request); NULL for other codes.
const char *httpdFixedAnswer(int code);
void httpdSendStatic(httpd_server *server, httpd_request *r, const char *data);
void httpdWriteAccessLog(httpd_server *server, httpd_request *r);
void httpdWriteErrorLog(httpd_server *server, httpd_request *r, const char *level, const char *message);

// ---- access control list ----------------------------------------------------
int httpdParseAcl(const char *text, u32 *addr, u8 *len);
httpd_acl *httpdAddAcl(httpd_server *server, httpd_acl *acl, const char *text, int action);
void httpdSetDefaultAcl(httpd_server *server, httpd_acl *acl);
void httpdFreeAcl(httpd_acl *acl);
int httpdCheckAcl(httpd_server *server, httpd_request *r, httpd_acl *acl);
