#pragma once
// The net handle: one stream interface over sockets, standard input and
// output, named pipes, serial ports and a memory buffer. A handle belongs
// to one thread; only its stop flag and cancel record are set from others.
#include <atomic>
#include "libnet/sock_cli.h"
#include "libpal/env/os_types.h"
#include "libpal/memory/mem_util.h"

enum : u32 {
    NET_TYPE_SOCK = 0,
    NET_TYPE_SOCK2 = 1,
    NET_TYPE_STD = 2,
    NET_TYPE_NPIPE = 3,
    NET_TYPE_SERIAL = 4,
    NET_TYPE_MEM = 5,
};

struct net;
typedef int (*net_ssl_proc)(net *n, void *data, size_t size);

struct net {
    u32 type;
    u64 transport;  // socket handle, or the pipe / serial / memory record
    void *ssl;
    i32 timeout;    // ms; below 0 no limit
    std::atomic<u32> stop;
    net_cancel *cancel;
    net_ssl_proc ssl_read;
    net_ssl_proc ssl_write;
    u8 disconnected;   // the peer ended its stream: reads fail from now on
    u8 wdisconnected;  // the connection can no longer be written
};

// Memory transport: a growable buffer read from the front.
struct net_mem {
    mem_buf buf;
    u64 rd;       // read offset
    u64 written;  // bytes written since the last read
};

extern net_ssl_proc g_ssl_read_proc;
extern net_ssl_proc g_ssl_write_proc;

int net_init(void);
int net_open(net *n, const char *url, int timeout_ms);
int net_read(net *n, void *data, size_t size);
int net_write(net *n, const void *data, size_t size);
int net_close(net *n);
void net_clear_flags(net *n);
int net_getc(net *n, int *got);
int net_read_timeout(net *n, void *data, size_t size, int timeout_ms);
int net_gets(net *n, char *line, size_t size);
int net_gets0(net *n, char *line, size_t size);
int net_printf(net *n, const char *fmt, ...) OS_PRINTF(2, 3);
int net_flush(net *n);

int net_ssl_read_proc(net *n, void *data, size_t size);
int net_ssl_write_proc(net *n, void *data, size_t size);
void net_ssl_set_proc(net_ssl_proc read, net_ssl_proc write);

int net_sock_read(net *n, void *data, size_t size);
int net_sock_write(net *n, const void *data, size_t size);
int net_std_read(net *n, void *data, size_t size);
int net_std_write(net *n, const void *data, size_t size);
int npipe_read(net *n, void *data, size_t size);
int npipe_write(net *n, const void *data, size_t size);
net_mem *net_mem_open(void);
int net_mem_read(net_mem *m, void *data, size_t size);
int net_mem_write(net_mem *m, const void *data, size_t size);
int net_mem_close(net_mem *m);
