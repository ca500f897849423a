#pragma once
// Readiness loop over select. One thread waits and gets a callback per
// ready object; other threads insert, remove and wake it. The list, the
// descriptor sets and the counts are guarded by one mutex that is never
// held across select or a callback.
//
// A removal from another thread returns only once no select of the waiter
// still watches the descriptor and no callback for it runs, so the caller
// may close the descriptor and free its value at once: the peer sees the
// close immediately and nothing of the old object reaches a callback.
#include <pthread.h>
#include <sys/select.h>
#include "libpal/env/os_types.h"

enum : u8 {
    OS_POLLER_OBJECT_SOCKET = 1,
    OS_POLLER_OBJECT_OTHER = 2,
    OS_POLLER_OBJECT_PROC = 3,
};

enum : u32 {
    OS_POLLER_READ = 1,
    OS_POLLER_WRITE = 2,
    OS_POLLER_EDGE = 16,
    OS_POLLER_ONESHOT = 32,
    OS_POLLER_ERROR = 0x200,
};

constexpr u16 OS_POLLER_TYPE_SELECT = 5;
constexpr u16 OS_POLLER_SELECT_FEATURES = OS_POLLER_READ | OS_POLLER_WRITE | OS_POLLER_ONESHOT;
constexpr u32 OS_POLLER_MAX_OBJECTS = 1024;
constexpr u32 OS_POLLER_MAX_EVENTS = 512;

struct os_poller_object {
    u8 type;
    u64 handle;  // socket handle: descriptor plus one
};

struct os_poller;
typedef void (*os_poller_func)(os_poller *p, os_poller_object *object, u32 events, u64 priv);

struct os_poller_entry {
    i64 fd;
    u64 value;  // caller's value, bit 63 set for object type 2
    u64 events;
    u64 serial;  // distinct for every insertion, so a stale event never
                 // reaches a later object with the same descriptor and value
};

struct os_poller {
    u64 priv;
    u16 type;
    u16 features;
    void (*exit)(os_poller *p);
    int (*kill)(os_poller *p);
    int (*spak)(os_poller *p);
    int (*wait)(os_poller *p, os_poller_func func, int timeout_ms);
    int (*insert)(os_poller *p, const os_poller_object *object, u32 events, u64 priv);
    int (*remove)(os_poller *p, const os_poller_object *object);
    int (*modify)(os_poller *p, const os_poller_object *object, u32 events, u64 priv);
    int (*attach)(os_poller *p);
    u64 wake[2];
    i64 max_fd;
    fd_set rset, wset, rset_work, wset_work;
    u64 count;
    os_poller_entry *list;
    u64 list_count;
    // Guards everything above from wake on, and the fields below.
    pthread_mutex_t lock;
    pthread_cond_t cond;  // signalled when a callback or a select ends
    u64 generation;   // bumped by every change of the sets
    i64 dispatch_fd;  // descriptor whose callback runs now, or -1
    u64 serial;       // last entry serial handed out
    u64 selects;      // selects the waiter has come back from
    pthread_t waiter;
    u8 waiting;
    u8 in_select;     // the waiter runs (or is about to run) select
};

os_poller *os_poller_init(u64 priv);
u64 os_poller_priv(const os_poller *p);
int os_poller_type(const os_poller *p);
int os_poller_support(const os_poller *p, u32 features);
void os_poller_exit(os_poller *p);
int os_poller_kill(os_poller *p);
int os_poller_spak(os_poller *p);
int os_poller_attach(os_poller *p);
int os_poller_insert(os_poller *p, const os_poller_object *object, u32 events, u64 priv);
int os_poller_remove(os_poller *p, const os_poller_object *object);
int os_poller_modify(os_poller *p, const os_poller_object *object, u32 events, u64 priv);
int os_poller_wait(os_poller *p, os_poller_func func, int timeout_ms);
u64 os_poller_priv_set_object_type(u64 priv, u8 type);

os_poller *os_poller_select_init(u64 priv);
void os_poller_select_exit(os_poller *p);
int os_poller_select_kill(os_poller *p);
int os_poller_select_spak(os_poller *p);
int os_poller_select_wait(os_poller *p, os_poller_func func, int timeout_ms);
int os_poller_select_insert(os_poller *p, const os_poller_object *object, u32 events, u64 priv);
int os_poller_select_remove(os_poller *p, const os_poller_object *object);
int os_poller_select_modify(os_poller *p, const os_poller_object *object, u32 events, u64 priv);
void os_poller_select_list_set(os_poller *p, i64 fd, u64 events, u64 value);
