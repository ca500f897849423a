#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/comm/posix/verror2"
#include "libpal/comm/verrmsg.h"
#include <cerrno>

#include "liblog/log.h"

int verr_2_posix(int code)
{
    switch (code) {
    case 0: return 0;
    case -1: return EPERM;
    case -2: return EINVAL;
    case -4: return EBADF;
    case -6: return EFAULT;
    case -8: return ENOMEM;
    case -36: return ENOTTY;
    case -37: return EOPNOTSUPP;
    case -38: return EPERM;
    case -39: return EINTR;
    case -40: return ETIMEDOUT;
    case -42: return E2BIG;
    case -50: return ESRCH;
    case -52: return EAGAIN;
    case -58: return EILSEQ;
    case -102: return ENOENT;
    case -103: return ENOTDIR;
    case -105: return EEXIST;
    case -106: return EMFILE;
    case -109: return ESPIPE;
    case -113: return EROFS;
    case -114: return ETXTBSY;
    case -115: return ENOLCK;
    case -119: return EXDEV;
    case -120: return ENAMETOOLONG;
    case -121: return ENOMEDIUM;
    case -122: return EMEDIUMTYPE;
    case -125: return ENOTEMPTY;
    case -127: return EISDIR;
    case -128: return EFBIG;
    case -138: return EBUSY;
    case -152: return ENOSPC;
    case -156: return ELOOP;
    case -250: return EIO;
    case -252: return ENXIO;
    case -258: return ENXIO;
    case -301: return EPIPE;
    case -304: return ENODATA;
    case -365: return EDEADLK;
    case -405: return ENONET;
    case -406: return ENOTUNIQ;
    case -436: return EINPROGRESS;
    case -437: return EALREADY;
    case -438: return ENOTSOCK;
    case -439: return EDESTADDRREQ;
    case -440: return EMSGSIZE;
    case -441: return EPROTOTYPE;
    case -442: return ENOPROTOOPT;
    case -443: return EPROTONOSUPPORT;
    case -444: return ESOCKTNOSUPPORT;
    case -445: return EOPNOTSUPP;
    case -446: return EPFNOSUPPORT;
    case -447: return EAFNOSUPPORT;
    case -448: return EADDRINUSE;
    case -449: return EADDRNOTAVAIL;
    case -450: return ENETDOWN;
    case -451: return ENETUNREACH;
    case -452: return ENETRESET;
    case -453: return ECONNABORTED;
    case -454: return ECONNRESET;
    case -455: return ENOBUFS;
    case -456: return EISCONN;
    case -457: return ENOTCONN;
    case -458: return ESHUTDOWN;
    case -459: return ETOOMANYREFS;
    case -461: return ECONNREFUSED;
    case -464: return EHOSTDOWN;
    case -465: return EHOSTUNREACH;
    case -466: return EPROTO;
    case -608: return ENOEXEC;
    default: break;
    }
    LOG_WARN("unkown verrno = %d\n", code);
    return EPERM;
}

int os_verr_2_posix(int code)
{
    return verr_2_posix(code);
}
