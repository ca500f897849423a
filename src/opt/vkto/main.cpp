#include "app_priv.h"

int main(int argc, char **argv)
{
    app_priv_set_info();
    return app_main(argc, argv);
}
