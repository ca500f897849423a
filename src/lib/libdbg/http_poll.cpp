#include "libdbg/http_poll.h"

#include <cerrno>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

constexpr int kWaitMax = 64;

epoll_event event_of(u64 tag, http_poll_mode mode)
{
    epoll_event ev = {};
    if (mode == HTTP_POLL_ONCE) ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    else if (mode == HTTP_POLL_ALWAYS) ev.events = EPOLLIN;
    ev.data.u64 = tag;
    return ev;
}

}  // namespace

int http_poll_init(http_poll *p)
{
    p->ep = epoll_create1(EPOLL_CLOEXEC);
    return p->ep >= 0 ? 0 : -1;
}

void http_poll_exit(http_poll *p)
{
    if (p->ep >= 0) close(p->ep);
    p->ep = -1;
}

int http_poll_add(http_poll *p, int fd, u64 tag, http_poll_mode mode)
{
    epoll_event ev = event_of(tag, mode);
    if (epoll_ctl(p->ep, EPOLL_CTL_ADD, fd, &ev) == 0) return 0;
    if (errno != EEXIST) return -1;
    return epoll_ctl(p->ep, EPOLL_CTL_MOD, fd, &ev) == 0 ? 0 : -1;
}

int http_poll_arm(http_poll *p, int fd, u64 tag, http_poll_mode mode)
{
    epoll_event ev = event_of(tag, mode);
    return epoll_ctl(p->ep, EPOLL_CTL_MOD, fd, &ev) == 0 ? 0 : -1;
}

int http_poll_wait(http_poll *p, u64 *tags, int max, int timeout_ms)
{
    epoll_event ev[kWaitMax];
    int n = epoll_wait(p->ep, ev, max < kWaitMax ? max : kWaitMax, timeout_ms);
    for (int k = 0; k < n; ++k) tags[k] = ev[k].data.u64;
    return n;
}
