#define LOG_MOD "main"
#define LOG_SRC "src/opt/vkto/app_priv"
#include "app_priv.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <arpa/inet.h>

#include "liblog/log.h"
#include "libnet/sock_env.h"
#include "libpal/os/os_opt.h"
#include "libpal/string/str_buf.h"
#include "libpal/tframe/app.h"

i32 service_port = 0;

namespace {

os_opt_kv g_kv_table[] = {
    {"http_server_port", &app_settings.http_server_port, 14, nullptr},
    {"debug_server_port", &app_settings.debug_server_port, 14, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Connects to 127.0.0.1:port within timeout_ms; the connected socket or -1.
int probe_local_port(int port, int timeout_ms)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((u16)port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc = connect(fd, (sockaddr *)&sa, sizeof sa);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, timeout_ms) == 1) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            rc = err == 0 ? 0 : -1;
        } else {
            rc = -1;
        }
    }
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int app_priv_set_info(void)
{
    g_app.app_name = "vkto";
    g_app.app_ver = "1.0.0.0";
    g_app.ver_id = 0x01000000;
    g_app.app_ver_date = "2024-1-9";
    g_app.app_desc = "VKTO Embedded Service Daemon";
    g_app.app_notice = "Copyright (c) VKTO developers. All rights reserved.";
    g_app.app_conf_file = "vkto.ini";
    app_settings.show_cmdline = 1;
    app_settings.chdir_exe_dir = 1;
    app_settings.need_root = 0;
    app_settings.log_banner = 0;
    app_settings.web_title = "VKTO Web Debug Tool";
    app_settings.prompt = "vkto>";
    app_settings.debug_server_port = 12581;
    app_settings.http_server_port = 12580;
    app_settings.kv_table = g_kv_table;
    return 0;
}

int app_priv_check_instance(void)
{
    LOG_VERB("==>\n");
    // The shell port when it is served, else the web tool's port.
    service_port = app_settings.debug_server_port ? app_settings.debug_server_port
                                                   : app_settings.http_server_port;
    if (service_port <= 0 || service_port > 65535) return 0;
    int fd = probe_local_port(service_port, 1000);
    LOG_VERB("sock_connect 127.0.0.1:%d sock=%p\n", service_port, (void *)(intptr_t)(fd + 1));
    if (fd < 0) return 0;
    close(fd);
    LOG_ERR("Can only run one instance\n");
    return -1;
}

int app_priv_stop_server(void)
{
    sock_env_stop();
    return 0;
}

char *app_priv_show_status(void)
{
    str_buf *b = str_buf_new();
    return b ? str_buf_detach(b) : nullptr;
}

int app_priv_conf_init(conf *)
{
    return 0;
}

int app_priv_lib_init(void)
{
    return 0;
}

void app_priv_lib_exit(void)
{
}

int app_priv_start_server(void)
{
    return 0;
}

char *app_priv_show_config(void)
{
    return nullptr;
}
