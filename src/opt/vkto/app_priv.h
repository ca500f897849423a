#pragma once
// The vkto program's identity, defaults and application hooks.
#include "libapp/libapp.h"
#include "libpal/env/os_types.h"

// TCP port on which a running instance answers on 127.0.0.1.
extern i32 service_port;
