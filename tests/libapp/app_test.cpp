// A program that links the library and runs app_main: its hooks are here.
#include <gtest/gtest.h>

#include "libapp/libapp.h"
#include "libdbg/dbg_test_util.h"
#include "liblog/logfile_util.h"
#include "libpal/tframe/app.h"

static int g_stops = 0;

int app_priv_conf_init(conf *) { return 0; }
int app_priv_lib_init(void) { return 0; }
void app_priv_lib_exit(void) {}
int app_priv_check_instance(void) { return 0; }
char *app_priv_show_config(void) { return nullptr; }
char *app_priv_show_status(void) { return nullptr; }
int app_priv_stop_server(void) { return ++g_stops, sock_env_stop(), 0; }
int app_priv_start_server(void)
{
    EXPECT_GE(dbgtest::dial(app_settings.http_server_port).fd, 0) << "the web tool serves";
    log2_printf(nullptr, 6, "main", "app_test", 1, "start", "run %d serves\n", g_stops + 1);
    app_stop_request(0);  // as the shell's "exit" asks
    return 0;
}

// A second run in the same process logs, serves and stops as the first did.
TEST(AppMain, ASecondRunStartsAndStopsAsTheFirst)
{
    logtest::tmp_dir dir;
    std::string log = dir / "app.log";
    char a0[] = "app_test", a1[] = "-q", a2[] = "-o";
    char *argv[] = {a0, a1, a2, log.data(), nullptr};
    g_app.app_name = g_app.app_ver = g_app.app_ver_date = g_app.app_desc = "app_test";
    g_app.app_conf_file = "app_test_has_no.ini";
    for (int run = 1; run <= 2; ++run) {
        optind = 1;
        app_settings.http_server_port = dbgtest::free_port();
        app_settings.debug_server_port = dbgtest::free_port();
        EXPECT_EQ(app_main(4, argv), 0) << run;
        EXPECT_EQ(g_stops, run);
        EXPECT_NE(logtest::read_file(log).find("run " + std::to_string(run) + " serves"), std::string::npos) << run;
    }
}
