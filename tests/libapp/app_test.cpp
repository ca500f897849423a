// A program that links the library and runs app_main: its hooks are here.
#include <gtest/gtest.h>

#include "libapp/libapp.h"
#include "liblog/log.h"
#include "liblog/logfile_util.h"
#include "libnet/sock_event.h"
#include "libpal/net_test_util.h"
#include "libpal/tframe/app.h"

#define LOG_MOD "main"
#define LOG_SRC "tests/libapp/app_test"

namespace {

int g_starts = 0, g_stops = 0;
bool g_served = false;  // both debug servers took a connection in the start hook

bool connects(int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = nettest::loopback4(port);
    bool ok = connect(s, (sockaddr *)&a, sizeof a) == 0;
    close(s);
    return ok;
}

}  // namespace

int app_priv_conf_init(conf *) { return 0; }
int app_priv_lib_init(void) { return 0; }
void app_priv_lib_exit(void) {}
int app_priv_check_instance(void) { return 0; }
char *app_priv_show_config(void) { return nullptr; }
char *app_priv_show_status(void) { return nullptr; }
int app_priv_stop_server(void) { return ++g_stops, sock_env_stop(), 0; }

int app_priv_start_server(void)
{
    g_served = connects(app_settings.http_server_port) && connects(app_settings.debug_server_port);
    LOG_INFO("run %d serves\n", ++g_starts);
    app_stop_request(0);  // as the shell's "exit" asks
    return 0;
}

namespace {

// A second run in the same process logs, serves, stops its servers and
// calls its stop hook as the first one did.
TEST(AppMain, ASecondRunStartsAndStopsAsTheFirst)
{
    logtest::tmp_dir dir;
    g_app.app_name = g_app.app_ver = g_app.app_ver_date = g_app.app_desc = "app_test";
    g_app.app_conf_file = "app_test_has_no.ini";
    app_settings.web_title = app_settings.prompt = "app_test";
    for (int run = 1; run <= 2; ++run) {
        std::string log = dir / ("run" + std::to_string(run) + ".log");
        char a0[] = "app_test", a1[] = "-q", a2[] = "-o";
        char *argv[] = {a0, a1, a2, log.data(), nullptr};
        optind = 1;
        for (i32 *port : {&app_settings.http_server_port, &app_settings.debug_server_port})
            close(nettest::listen_loopback(1, port));
        EXPECT_EQ(app_main(4, argv), 0) << "run " << run;
        EXPECT_TRUE(g_served) << "run " << run;
        EXPECT_EQ(g_stops, run);
        EXPECT_FALSE(connects(app_settings.http_server_port) || connects(app_settings.debug_server_port)) << run;
        EXPECT_NE(logtest::read_file(log).find("run " + std::to_string(run) + " serves"), std::string::npos) << run;
    }
}

}  // namespace
