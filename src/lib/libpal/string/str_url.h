#pragma once
// URL texts: the parser that splits a URL into its fields inside a caller's
// 8192-byte buffer, the kind of a URL by its scheme, query reading and
// in-place query editing, and small URL text utilities.
#include "libpal/env/os_types.h"

struct str_map;

constexpr size_t URL_BUF_SIZE = 8192;

// Every text field points into buffer at a NUL-terminated text of its own
// (empty when the field is absent).
struct url {
    char *protocol;
    char *user;
    char *passwd;
    char *host;
    u16 port;
    char *path;
    char *query;
    char *hash;
    char *buffer;  // the caller's URL_BUF_SIZE bytes
};

// URL kinds of url_get_type.
enum {
    URL_TYPE_UNKNOWN = 0,
    URL_TYPE_FILE = 1,
    URL_TYPE_HTTP = 3,
    URL_TYPE_VKP = 4,
    URL_TYPE_FTP = 5,
    URL_TYPE_NAME = 8,
};

// 0, or negative when the text or its fields do not fit the buffer (the
// record's fields are then all empty).
int url_parser(url *u, char *buffer, const char *text);
int url_parser_imp(url *u, const char *text);
void url_dump(const url *u);
int url_get_protocol(const char *text, char *out);
char *url_protocol_tip(const char *text, char *out);
int url_get_type(const char *text);
int url_get_host(const char *text, char *out);
int url_get_path(const char *text, char *out);
char *url_template(const char *text, char *out);

// Query reading; text is a whole URL or a bare query.
int url_get_query_imp(const char *text, const char *key, const char *def, char *out,
                      size_t outsize);
int url_has_query(const char *text, const char *key);
char *url_get_query(const char *text, const char *key, const char *def, char *out,
                    size_t outsize);
char *url_get_query_dup(const char *text, const char *key, const char *def);
long url_get_query_int(const char *text, const char *key, long def);
long long url_get_query_int64(const char *text, const char *key, long long def);
str_map *url_get_query_map(const char *text);

// Query editing of a URL text held in URL_BUF_SIZE bytes; 0, or -1 with
// the text unchanged. Modes are the str_map set modes.
int url_set_query(char *u, const char *key, const char *val, int escape, int mode);
int url_set_query_mode(char *u, const char *key, const char *val, int mode);
int url_set_query_int_mode(char *u, const char *key, int val, int mode);
int url_set_query_long_mode(char *u, const char *key, long val, int mode);
int url_set_query_str(char *u, const char *key, const char *val);
int url_set_query_raw(char *u, const char *key, const char *val);
int url_set_query_int(char *u, const char *key, int val);
int url_set_query_long(char *u, const char *key, long val);
int url_set_query_b64(char *u, const char *key, const char *text);
int url_set_query_b64url(char *u, const char *key, const char *text);
int url_set_query_kv(char *u, const char *pair);
int url_set_query_kv_raw(char *u, const char *pair);
int url_del_query(char *u, const char *key);

// Other URL texts (URL_BUF_SIZE bytes where they are edited).
int url_add_path(char *u, const char *part);
int url_add_query_raw(char *u, const char *text);
char *url_normalize(char *text);
char *url_dquote(char *u);
char *url_squote(char *u);
int url_is_absolute(const char *text);
int url_has_protocol(const char *text);
