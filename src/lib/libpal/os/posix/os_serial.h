#pragma once
// Serial ports. The handle is the open descriptor itself (0 = failure):
// raw 8N1, receiver on, modem lines ignored.
#include "libpal/env/os_types.h"

int os_serial_open(const char *path, int baud_rate, int mode);
// Bytes read within timeout_ms (0 when nothing came), or -1.
int os_serial_read(int handle, void *data, size_t size, int timeout_ms);
int os_serial_write(int handle, const void *data, size_t size);
int os_serial_close(int handle);
