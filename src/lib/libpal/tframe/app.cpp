#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/tframe/app"
#include "libpal/tframe/app.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "libconf/conf.h"
#include "liblog/log.h"
#include "liblog/log_conf.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/os/os_exe.h"
#include "libpal/os/os_opt.h"
#include "libpal/os/os_path.h"
#include "libpal/os/posix/os_panic.h"
#include "libpal/os/posix/os_popen.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_path.h"

app_desc g_app;
app_settings_t app_settings;

namespace {

std::atomic<int> g_stop_rd{-1};
std::atomic<int> g_stop_wr{-1};
std::atomic<int> g_stop_req{0};
std::atomic<int> g_stop_sig{0};
std::atomic<bool> g_exited{false};

// Paths given with -c (and the directories around them) may hold any
// byte: they reach standard error escaped as client text is.
using shown_path = str_log_esc<4096>;

void free_text(char *&p)
{
    os_free(p);
    p = nullptr;
}

// A configuration file that exists must load: it is loaded here once for
// every start-up reader, and when it does not load the program stops
// before anything listens. A missing file is left to the fallbacks.
void conf_load_or_exit(const char *path)
{
    if (!path || os_access(path, F_OK) != 0) return;
    if (conf_hold(path)) return;
    fprintf(stderr, "%s: cannot load the configuration file %s: %s\n",
            g_app.app_name ? g_app.app_name : "", shown_path(path).c_str(), conf_last_error());
    fflush(stderr);
    exit(1);
}

// The configuration file is not there: the bare default file name takes
// its place. A file the user named gets one line on standard error, which
// names it and what is used instead (relative names are shown under dir,
// the current directory, when it is known).
void conf_fall_back(bool named, const char *dir)
{
    const char *bare = g_app.app_conf_file ? g_app.app_conf_file : "";
    if (named) {
        const char *name = app_settings.conf_file;
        bool rel = dir && !path_is_absolute(name);
        if (os_access(bare, F_OK) == 0)
            fprintf(stderr, "%s: configuration file %s%s%s not found, using %s%s%s\n",
                    g_app.app_name ? g_app.app_name : "", rel ? shown_path(dir).c_str() : "", rel ? "/" : "",
                    shown_path(name).c_str(), dir ? shown_path(dir).c_str() : "", dir ? "/" : "",
                    shown_path(bare).c_str());
        else
            fprintf(stderr, "%s: configuration file %s%s%s not found, using the built-in settings\n",
                    g_app.app_name ? g_app.app_name : "", rel ? shown_path(dir).c_str() : "", rel ? "/" : "",
                    shown_path(name).c_str());
        fflush(stderr);
    }
    if (char *copy = os_strdup(bare)) {
        os_free(app_settings.conf_file);
        app_settings.conf_file = copy;
    }
}

// The -s row that set a debug server's port, or NULL; rows keep their
// texts until os_opt_kv_free.
const os_opt_kv *port_row(const i32 *port, bool set_only)
{
    for (const os_opt_kv *r = app_settings.kv_table; r && r->key; ++r)
        if (r->target == port && (r->text || !set_only)) return r;
    return nullptr;
}

// Where a debug server's port came from, for a message: "-s NAME" when -s
// set it, else its INI key (followed by " in FILE" with in_file) when the
// file set it, else the built-in value's -s name.
void port_origin(const i32 *port, const char *key, bool from_file, bool in_file, char *out, size_t size)
{
    if (const os_opt_kv *r = port_row(port, true)) snprintf(out, size, "-s %s", r->key);
    else if (from_file)
        snprintf(out, size, "%s%s%s", key, in_file ? " in " : "", in_file ? shown_path(app_settings.conf_file).c_str() : "");
    else if (const os_opt_kv *d = port_row(port, false)) snprintf(out, size, "the built-in %s", d->key);
    else snprintf(out, size, "the built-in %s", key);
}

// The web tool and the TCP shell listen on ports of their own: one port
// for both stops the program before anything listens (a port of 0, or
// one out of range, turns its server off and never clashes). Run after
// -s is applied.
void ports_apart_or_exit(bool from_file)
{
    i32 *web = &app_settings.http_server_port, *shell = &app_settings.debug_server_port;
    if (*web != *shell || *web <= 0 || *web > 65535) return;
    // The port set last is named first: -s over the file.
    bool web_first = port_row(web, true) || !port_row(shell, true);
    const i32 *first = web_first ? web : shell, *other = web_first ? shell : web;
    const char *first_key = web_first ? APP_KEY_HTTP_PORT : APP_KEY_SHELL_PORT;
    // The file is named once, beside the first key that comes from it.
    bool first_file = from_file && !port_row(first, true);
    char a[128], b[4200];
    const shown_path file(first_file ? app_settings.conf_file : "");
    port_origin(first, first_key, from_file, false, a, sizeof a);
    port_origin(other, web_first ? APP_KEY_SHELL_PORT : APP_KEY_HTTP_PORT, from_file, !first_file, b, sizeof b);
    fprintf(stderr, "%s: %s=%d%s%s: the %s has that port already (%s); the web tool and the TCP shell need a port each\n",
            g_app.app_name ? g_app.app_name : "", a, *first, first_file ? " in " : "",
            file.c_str(), web_first ? "TCP shell" : "web tool", b);
    fflush(stderr);
    exit(1);
}

void app_conf_dump()
{
    if (g_app.conf_dump_proc) {
        char *text = g_app.conf_dump_proc();
        if (text) printf("%s", text);
        fflush(stdout);
        os_free(text);
    } else {
        LOG_ERR("g_app.conf_dump_proc = NULL!\n");
    }
}

// Steps after the configuration: -p, a command list, -e, or the start
// check, the crash-dump directory and the daemon fork.
void app_opt_set()
{
    if (app_settings.conf_dump) {
        app_conf_dump();
        exit(0);
    }
    if (app_settings.stdio_cmds) {
        if (g_app.shell_stdio_loop) g_app.shell_stdio_loop(app_settings.stdio_cmds);
        else OS_CHECK_LOG("g_app.shell_stdio_loop");
        exit(0);
    }
    if (app_settings.exec_cmd) {
        log2_ioctl(nullptr, LOG_IOC_LEVEL_STR, (intptr_t) "info", 0);
        int r = -1;
        char host[64];
        if (g_app.shell_connet_cmd)
            r = g_app.shell_connet_cmd(app_local_addr(app_settings.debug_server_addr, host, sizeof host),
                                       app_settings.debug_server_port, app_settings.exec_cmd);
        else OS_CHECK_LOG("g_app.shell_connet_cmd");
        // 1 when the instance could not be reached or an answer did not come.
        exit(r < 0 ? 1 : 0);
    }
    if (g_app.prestart_proc) g_app.prestart_proc();
    if (g_app.start_check_proc && g_app.start_check_proc() < 0) exit(1);
    if (app_settings.need_root && !os_is_root())
        LOG_WARN("%s privileges are required to run the program\n", "root");
    char *dump = app_settings.panic_dump_dir;
    if (dump && *dump && !path_is_absolute(dump)) {
        char dir[4096];
        if (os_exe_get_dir(dir, sizeof dir) == 0) {
            if (char *n = os_asprintf("%s/%s", dir, dump)) {
                os_free(app_settings.panic_dump_dir);
                app_settings.panic_dump_dir = n;
            }
        }
    }
    // Only root can point the kernel's core pattern at the directory.
    if (app_settings.panic_dump_dir && *app_settings.panic_dump_dir && !os_is_root())
        LOG_WARN("panic_dump_dir=%s: core files need root privileges, none will be written (a crash "
                 "ends with status 254)\n", app_settings.panic_dump_dir);
    os_painc_set_dump_dir(app_settings.panic_dump_dir, g_app.app_name);
    if (app_settings.run_as_daemon) {
        if (os_daemonize() < 0) exit(1);
        os_thread_name_set("main");
    }
}

}  // namespace

int app_stop_init(void)
{
    if (g_stop_rd.load() >= 0) return 0;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "pipe2 error: ");
        return -1;
    }
    g_stop_wr.store(fds[1]);
    g_stop_rd.store(fds[0]);
    return 0;
}

void app_run_reset(void)
{
    g_exited.store(false);
    g_stop_sig.store(0);
    g_stop_req.store(0);
    g_app.stop_flag.store(0);
    // The bytes of the last run's requests.
    char buf[64];
    if (int fd = g_stop_rd.load(); fd >= 0)
        while (read(fd, buf, sizeof buf) > 0) continue;
}

void app_stop_request(int signo)
{
    int saved = errno;
    if (signo) g_stop_sig.store(signo);
    g_stop_req.store(1);
    int fd = g_stop_wr.load();
    if (fd >= 0) {
        char b = 1;
        ssize_t n = write(fd, &b, 1);
        (void)n;
    }
    errno = saved;
}

int app_stop_requested(void)
{
    return g_stop_req.load() || g_app.stop_flag.load() ? 1 : 0;
}

int app_stop_signal(void)
{
    return g_stop_sig.load();
}

int app_stop_fd(void)
{
    return g_stop_rd.load();
}

const char *app_addr_field(const char *list, char *field, size_t size)
{
    if (!list || !*list || !size) return nullptr;
    size_t n = strcspn(list, ";,");
    if (n >= size) return nullptr;
    memcpy(field, list, n);
    field[n] = 0;
    return list[n] ? list + n + 1 : list + n;
}

const char *app_local_addr(const char *hosts, char *buf, size_t size)
{
    static const char lo4[] = "127.0.0.1";
    const char *pick = nullptr;
    char field[512];
    for (const char *p = hosts; (p = app_addr_field(p, field, sizeof field));) {
        os_ipaddr a;
        os_ipaddr_clear(&a);
        if (!field[0] || !os_ipaddr_ip_cstr_set(&a, field, 0)) continue;  // bound by no listener
        bool v4 = os_ipaddr_family(&a) == OS_IPADDR_FAMILY_IPV4;
        if (v4 && !memcmp(os_ipaddr_ipv4(&a)->addr, "\177\0\0\1", 4)) return lo4;
        if (pick) continue;
        pick = os_ipaddr_ip_is_any(&a) ? (v4 ? lo4 : "::1") : field;
        if (snprintf(buf, size, "%s", pick) >= (int)size) pick = lo4;
    }
    return !pick || pick == lo4 ? lo4 : buf;
}

void app_baner(void)
{
    char banner[256];
    pl_sys_info *si = pl_sys_info_get();
    snprintf(banner, sizeof banner, "%s-%s-%s v%s (%s) - %s", g_app.app_name ? g_app.app_name : "",
             si->os_name ? si->os_name : "", si->arch_name ? si->arch_name : "",
             g_app.app_ver ? g_app.app_ver : "", g_app.app_ver_date ? g_app.app_ver_date : "",
             g_app.app_desc ? g_app.app_desc : "");
    if (app_settings.run_as_daemon || app_settings.log_banner) {
        LOG_DBG("%s\n", banner);
        if (app_settings.show_cmdline)
            LOG_AT(7 | LOG_OPT_BSVNET, "cmdline=[%s] os=[%s]\n", g_app.cmdline, os_get_info_cstr());
    }
    if (app_settings.quiet) return;
    fprintf(stderr, "%s\n", banner);
    if (g_app.app_notice) fprintf(stderr, "%s\n", g_app.app_notice);
    fflush(stderr);
}

int app_daemon_ready(int status)
{
    if (!app_settings.run_as_daemon) return 0;
    if (status == 0 && !app_settings.quiet) {
        fprintf(stderr, "daemon startup is complete, press any key to continue\n");
        fflush(stderr);
    }
    return os_daemon_ready(status);
}

int app_init_env(void)
{
    app_stop_init();
    if (g_app.sig_proc) {
        struct sigaction sa = {};
        sa.sa_handler = g_app.sig_proc;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    }
    char exe_dir[4096];
    if (os_exe_get_dir(exe_dir, sizeof exe_dir) != 0) exe_dir[0] = 0;
    bool in_exe_dir = false;
    if (app_settings.chdir_exe_dir) {
        in_exe_dir = os_chdir(exe_dir) == 0;
        if (!in_exe_dir) LOG_AT(3 | LOG_OPT_ERRNO, "os_chdir(%s) error: ", exe_dir);
    }
    log2_ioctl(nullptr, LOG_IOC_LEVEL_STR, (intptr_t) "info", 0);
    log2_ioctl(nullptr, LOG_IOC_FLAGS_STR, (intptr_t) "time|tid|func", 0);
    const bool named = app_settings.conf_file != nullptr;
    if (!named) {
        OS_CHECK_RET(g_app.app_conf_file != nullptr, 0);
        app_settings.conf_file = os_asprintf("%s/%s", exe_dir, g_app.app_conf_file);
    }
    // A file that is not there gives way to the default file in the
    // current directory, for the logger's settings as well.
    const bool fell_back = !app_settings.conf_file || os_access(app_settings.conf_file, F_OK) != 0;
    if (fell_back) conf_fall_back(named, in_exe_dir ? exe_dir : nullptr);
    // Files and sender threads of the log wait until the option checks
    // and the daemon fork are done.
    log2_outputs_hold(1);
    conf_load_or_exit(app_settings.conf_file);
    log2_init(app_settings.conf_file, nullptr);
    if (app_settings.log_file) {
        log2_ioctl(nullptr, LOG_IOC_FILE_OPEN, (intptr_t)app_settings.log_file, 0);
        log2_ioctl(nullptr, LOG_IOC_FILE_ON, 1, 0);
    }
    if (app_settings.syslog_url) {
        log2_ioctl(nullptr, LOG_IOC_SYSLOG_URL, (intptr_t)app_settings.syslog_url, 0);
        log2_ioctl(nullptr, LOG_IOC_SYSLOG_ON, 1, 0);
    }
    if (app_settings.log_level)
        log2_ioctl(nullptr, LOG_IOC_LEVEL_STR, (intptr_t)app_settings.log_level, 0);
    if (g_app.init_proc) g_app.init_proc();
    if (fell_back) LOG_VERB("Load default %s\n", g_app.app_conf_file ? g_app.app_conf_file : "");
    const bool loaded = g_app.conf_proc && g_app.conf_proc(app_settings.conf_file) == 0;
    conf_hold_release();
    os_opt_kv_apply(app_settings.kv_table);
    ports_apart_or_exit(loaded);
    os_opt_kv_free(app_settings.kv_table);
    app_baner();
    app_opt_set();
    // A daemon's server start releases them once its ports are its own.
    if (!app_settings.run_as_daemon) log2_outputs_hold(0);
    return 0;
}

int app_opt_init(int argc, char **argv)
{
    pl_init();
    os_thread_name_set("main");
    if (!g_app.app_name) OS_CHECK_LOG("g_app.app_name");
    if (!g_app.app_desc) OS_CHECK_LOG("g_app.app_desc");
    if (!g_app.app_ver) OS_CHECK_LOG("g_app.app_ver");
    if (!g_app.app_ver_date) OS_CHECK_LOG("g_app.app_ver_date");
    if (argv) os_cmdline_copy(argc, argv, g_app.cmdline, sizeof g_app.cmdline);
    g_app.sys = *pl_sys_info_get();
    os_panic_init();
    if (!g_app.opt_proc) return 0;
    g_app.opt_proc(argc, argv);
    return app_init_env();
}

void app_opt_exit(int code)
{
    if (g_exited.exchange(true)) return;
    if (g_app.exit_proc) g_app.exit_proc(code);
    free_text(app_settings.conf_file);
    free_text(app_settings.log_file);
    free_text(app_settings.syslog_url);
    free_text(app_settings.log_level);
    free_text(app_settings.exec_cmd);
    free_text(app_settings.debug_server_addr);
    free_text(app_settings.http_server_user);
    free_text(app_settings.http_server_pwd);
    free_text(app_settings.http_server_addr);
    free_text(app_settings.panic_dump_dir);
    os_thread_name_del();
    pl_exit();
}
