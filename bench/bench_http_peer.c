/* The CivetWeb side of bench_http: one handler that serves the answer vkto
 * gives to /cmd?command=echo%20x, the same head and body, no length, the
 * connection closed after it.
 *   bench_http_peer <port> [threads]   (ends at the end of standard input) */
#include <civetweb.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static int handler(struct mg_connection *conn, void *arg)
{
    (void)arg;
    char date[64];
    time_t t = time(NULL);
    struct tm tm;
    gmtime_r(&t, &tm);
    strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    mg_printf(conn,
              "HTTP/1.1 200 Output Follows\r\nServer: VELTA Http Server\r\nDate: %s\r\n"
              "Connection: close\r\nContent-Type: text/html\r\n"
              "Cache-Control: no-store, must-revalidate\r\nExpires: 0\r\nPragma: no-cache\r\n\r\n"
              "[{\"resp\":\"x\\n\\u0000\"}]",
              date);
    return 200;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s <port> [threads]\n", argv[0]);
        return 2;
    }
    char ports[64];
    snprintf(ports, sizeof ports, "127.0.0.1:%s", argv[1]);
    const char *opts[] = {"listening_ports", ports, "num_threads", argc > 2 ? argv[2] : "64", NULL};
    mg_init_library(0);
    struct mg_context *ctx = mg_start(NULL, NULL, opts);
    if (!ctx) {
        fprintf(stderr, "civetweb did not start on %s\n", ports);
        return 1;
    }
    mg_set_request_handler(ctx, "/cmd", handler, NULL);
    printf("ready\n");
    fflush(stdout);
    char b[64];
    while (read(0, b, sizeof b) > 0) {
    }
    mg_stop(ctx);
    mg_exit_library();
    return 0;
}
