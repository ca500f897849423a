#define LOG_MOD "main"
#define LOG_SRC "src/opt/vkto/app_priv"
#include "app_priv.h"

#include <cstdio>
#include <cstring>

#include "liblog/log.h"
#include "libpal/comm/verrmsg.h"
#include "libnet/sock_cli.h"
#include "libnet/sock_event.h"
#include "libpal/network/os_ipaddr.h"
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
    // The shell port when it is served, else the web tool's port, each
    // where its server listens.
    bool shell = app_settings.debug_server_port != 0;
    service_port = shell ? app_settings.debug_server_port : app_settings.http_server_port;
    if (service_port <= 0 || service_port > 65535) return 0;
    char buf[64];
    const char *host =
        app_local_addr(shell ? app_settings.debug_server_addr : app_settings.http_server_addr, buf, sizeof buf);
    sock_opt opt{};
    opt.timeout = 1000;
    os_err err{};
    u64 sock = sock_tcp_connect(host, service_port, &opt, &err);
    LOG_VERB("sock_connect %s:%d sock=%p\n", host, service_port, (void *)(uintptr_t)sock);
    if (!sock) return 0;
    sock_close(sock);
    LOG_ERR("Can only run one instance\n");
    // Whatever answered there, vkto or not, holds the port.
    char where[OS_IPADDR_CSTR_MAXN];
    sock_host_port_cstr(host, service_port, where, sizeof where);
    LOG_ERR("%s answered: another instance or another program holds that port; stop it, or choose other ports "
            "(-s %s=PORT)\n",
            where, shell ? "debug_server_port" : "http_server_port");
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
