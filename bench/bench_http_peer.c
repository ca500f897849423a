/* The CivetWeb side of bench_http: one handler that serves the answer vkto
 * gives to /cmd?command=echo%20x, the same head and body with its
 * Content-Length, as CivetWeb users write handlers.
 *   bench_http_peer <port> [threads] [keepalive]   (ends at the end of standard input)
 * Without "keepalive" the connection is closed after each answer, as vkto
 * does; with it CivetWeb keeps connections (enable_keep_alive, tcp_nodelay). */
#include <civetweb.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static const char kBody[] = "[{\"resp\":\"x\\n\\u0000\"}]";
static int g_keep_alive;

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
              "Connection: %s\r\nContent-Type: text/html\r\n"
              "Cache-Control: no-store, must-revalidate\r\nExpires: 0\r\nPragma: no-cache\r\n"
              "Content-Length: %d\r\nLast-Modified: %s\r\n\r\n%s",
              date, g_keep_alive ? "keep-alive" : "close", (int)(sizeof kBody - 1), date, kBody);
    return 200;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s <port> [threads] [keepalive]\n", argv[0]);
        return 2;
    }
    g_keep_alive = argc > 3 && strcmp(argv[3], "keepalive") == 0;
    char ports[64];
    snprintf(ports, sizeof ports, "127.0.0.1:%s", argv[1]);
    const char *opts[] = {"listening_ports", ports,
                          "num_threads", argc > 2 ? argv[2] : "64",
                          "enable_keep_alive", g_keep_alive ? "yes" : "no",
                          "tcp_nodelay", g_keep_alive ? "1" : "0",
                          NULL};
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
