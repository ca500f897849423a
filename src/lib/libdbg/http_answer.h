#pragma once
// The web tool's own answers behind its URL handlers, for its URL table
// only: they apply none of the checks the handlers do (the Host, where the
// request comes from, the login). handler is the name of the URL handler
// the answer is given for: the answer's records carry it.
#include "libdbg/http.h"

int http_answer_cmd(httpd_server *server, httpd_request *r, const char *handler);
int http_answer_log(httpd_server *server, httpd_request *r, const char *handler);
