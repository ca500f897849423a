#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/comm/verrmsg"
#include "libpal/comm/verrmsg.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "liblog/log.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_safe.h"

const verr_msg verr_msg_tab[] = {
    {"Success.", 0},
    {"General failure - DON'T USE THIS!!!.", -1},
    {"Invalid parameter.", -2},
    {"Invalid magic or cookie.", -3},
    {"Invalid handle.", -4},
    {"Failed to lock the address range.", -5},
    {"Invalid memory pointer.", -6},
    {"Failed to patch the IDT.", -7},
    {"Memory allocation failed.", -8},
    {"Already loaded.", -9},
    {"Permission denied.", -10},
    {"Version mismatch.", -11},
    {"The request function is not implemented.", -12},
    {"Invalid flags was given.", -13},
    {"Not equal.", -18},
    {"The specified path does not point at a symbolic link.", -19},
    {"Failed to allocate temporary memory.", -20},
    {"Invalid file mode mask (RTFMODE).", -21},
    {"Incorrect call order.", -22},
    {"There is no TLS (thread local storage) available for storing the current thread.", -23},
    {"Failed to set the TLS (thread local storage) entry which points to our thread structure.", -24},
    {"Not able to allocate contiguous memory.", -26},
    {"No memory available for page table or page directory.", -27},
    {"Already initialized.", -28},
    {"The specified thread is dead.", -29},
    {"The specified thread is not waitable.", -30},
    {"Pagetable not present.", -31},
    {"Invalid context. Typically an API was used by the wrong thread.", -32},
    {"The per process timer is busy.", -33},
    {"Address conflict.", -34},
    {"Unresolved (unknown) host platform error.", -35},
    {"Invalid function.", -36},
    {"Not supported.", -37},
    {"Access denied.", -38},
    {"Call interrupted.", -39},
    {"Timeout.", -40},
    {"Buffer too small to save result.", -41},
    {"Data size overflow.", -42},
    {"Max threads number reached.", -43},
    {"Max process number reached.", -44},
    {"The recipient process has refused the signal.", -45},
    {"A signal is already pending.", -46},
    {"The signal being posted is not correct.", -47},
    {"The state changed. This is a generic error message and needs a context to make sense.", -48},
    {"Error while parsing UUID string.", -49},
    {"The specified process was not found.", -50},
    {"The process specified to a non-block wait had not exited.", -51},
    {"Retry the operation.", -52},
    {"Generic parse error.", -53},
    {"Value out of range.", -54},
    {"A numeric conversion encountered a value which was too big for the target.", -55},
    {"The number begin converted (string) contained no digits.", -56},
    {"Encountered a '-' during conversion to an unsigned value.", -57},
    {"Error while characters translation (unicode and so).", -58},
    {"Encountered unicode code point which is reserved for use as endian indicator (0xffff or 0xfffe).", -59},
    {"Encountered unicode code point in the surrogate range (0xd800 to 0xdfff).", -60},
    {"A string claiming to be UTF-8 is incorrectly encoded.", -61},
    {"A string claiming to be in UTF-16 is incorrectly encoded.", -62},
    {"Encountered a unicode code point which cannot be represented as UTF-16.", -63},
    {"Got an out of memory condition trying to allocate a string.", -64},
    {"Got an out of memory condition trying to allocate a UTF-16 (/UCS-2) string.", -65},
    {"Get an out of memory condition trying to allocate a code point array.", -66},
    {"Can't free the memory because it's used in mapping.", -67},
    {"The timer can't be started because it's already active.", -68},
    {"The timer can't be stopped because it's already suspended.", -69},
    {"The operation was cancelled by the user (copy) or another thread (local ipc).", -70},
    {"Failed to initialize a memory object. Exactly what this means is OS specific.", -71},
    {"Out of memory condition when allocating memory with low physical backing.", -72},
    {"Out of memory condition when allocating physical memory (without mapping).", -73},
    {"The address (virtual or physical) is too big.", -74},
    {"Failed to map a memory object.", -75},
    {"Trailing characters.", -76},
    {"Trailing spaces.", -77},
    {"Generic not found error.", -78},
    {"Generic invalid state error.", -79},
    {"Generic out of resources error.", -80},
    {"No more handles available, too many open handles.", -81},
    {"Preemption is disabled. The requested operation can only be performed when preemption is enabled.", -82},
    {"End of string.", -83},
    {"A page count is out of range.", -84},
    {"Generic object destroyed status.", -85},
    {"Generic dangling objects status.", -86},
    {"Invalid Base64 encoding.", -87},
    {"Return instigated by a callback or similar.", -88},
    {"Authentication failure.", -89},
    {"Not a power of two.", -90},
    {"Status code, typically given as a parameter, that isn't supposed to be used.", -91},
    {"Concurrent access to the object is not allowed.", -92},
    {"The caller does not have a reference to the object. This status is used when two threads is caught sharing the same object reference.", -93},
    {"Generic no change error.", -95},
    {"Out of memory condition when allocating executable memory.", -96},
    {"The alignment is not supported.", -97},
    {"Duplicate something.", -98},
    {"Something is missing.", -99},
    {"Unresolved (unknown) file i/o error.", -100},
    {"File/Device open failed.", -101},
    {"File not found.", -102},
    {"Path not found.", -103},
    {"Invalid (malformed) file/path name.", -104},
    {"The object in question already exists.", -105},
    {"Too many open files.", -106},
    {"Seek error.", -107},
    {"Seek below file start.", -108},
    {"Trying to seek on device.", -109},
    {"Reached the end of the file.", -110},
    {"Generic file read error.", -111},
    {"Generic file write error.", -112},
    {"Write protect error.", -113},
    {"Sharing violation, file is being used by another process.", -114},
    {"Unable to lock a region of a file.", -115},
    {"File access error, another process has locked a portion of the file.", -116},
    {"File or directory can't be created.", -117},
    {"Directory can't be deleted.", -118},
    {"Can't move file to another disk.", -119},
    {"The filename or extension is too long.", -120},
    {"Media not present in drive.", -121},
    {"The type of media was not recognized. Not formatted?.", -122},
    {"Can't unlock - region was not locked.", -123},
    {"Unrecoverable error: lock was lost.", -124},
    {"Can't delete directory with files.", -125},
    {"A directory operation was attempted on a non-directory object.", -126},
    {"A non-directory operation was attempted on a directory object.", -127},
    {"Tried to grow a file beyond the limit imposed by the process or the filesystem.", -128},
    {"No pending request the aio context has to wait for completion.", -129},
    {"The request could not be canceled or prepared for another transfer because it is still in progress.", -130},
    {"The request could not be canceled because it already completed.", -131},
    {"The I/O context couldn't be destroyed because there are still pending requests.", -132},
    {"The requests couldn't be submitted because that would exceed the capacity of the context.", -133},
    {"The request was canceled.", -134},
    {"The request wasn't submitted so it can't be canceled.", -135},
    {"A request was not prepared and thus could not be submitted.", -136},
    {"Not all requests could be submitted due to resource shortage.", -137},
    {"Device or resource is busy.", -138},
    {"A file operation was attempted on a non-file object.", -139},
    {"A non-file operation was attempted on a file object.", -140},
    {"Unexpected filesystem object type.", -141},
    {"A path does not start with a root specification.", -142},
    {"A path is relative, expected an absolute path.", -143},
    {"A path is not relative (start with root), expected an relative path.", -144},
    {"Zero length path.", -145},
    {"There are not enough events available on the host to create the I/O context. This exact meaning is host platform dependent.", -146},
    {"Invalid file head data.", -147},
    {"Invalid file baby data.", -148},
    {"The specified file is read only.", -149},
    {"Unresolved (unknown) disk i/o error.", -150},
    {"Invalid drive number.", -151},
    {"Disk is full.", -152},
    {"Disk was changed.", -153},
    {"Drive is locked.", -154},
    {"The specified disk or diskette cannot be accessed.", -155},
    {"Too many symbolic links.", -156},
    {"The OS does not support setting the time stamps on a symbolic link.", -157},
    {"The OS does not support changing the owner of a symbolic link.", -158},
    {"Symbolic link not allowed.", -159},
    {"Unresolved (unknown) search error.", -200},
    {"No more files found.", -201},
    {"No more search handles available.", -202},
    {"RTDirReadEx() failed to retrieve the extra data which was requested.", 203},
    {"Internal error - this should never happen.", -225},
    {"Internal error no. 2.", -226},
    {"Internal error no. 3.", -227},
    {"Internal error no. 4.", -228},
    {"Internal error no. 5.", -229},
    {"Internal error: Unexpected status code.", -230},
    {"Internal error: Unexpected status code.", -231},
    {"Internal error: Unexpected status code.", -232},
    {"Internal error: Uninitialized status code. @remarks This is used by value elsewhere.", -233},
    {"Internal error: Supposedly unreachable default case in a switch.", -234},
    {"Device i/o error.", -250},
    {"Device i/o: Bad unit.", -251},
    {"Device i/o: Not ready.", -252},
    {"Device i/o: Bad command.", -253},
    {"Device i/o: CRC error.", -254},
    {"Device i/o: Bad length.", -255},
    {"Device i/o: Sector not found.", -256},
    {"Device i/o: General failure.", -257},
    {"Device i/o: No such device or address.", -258},
    {"Unresolved (unknown) pipe i/o error.", -300},
    {"Broken pipe.", -301},
    {"Bad pipe.", -302},
    {"Pipe is busy.", -303},
    {"No data in pipe.", -304},
    {"Pipe is not connected.", -305},
    {"More data available in pipe.", -306},
    {"Expected read pipe, got a write pipe instead.", -307},
    {"Expected write pipe, got a read pipe instead.", -308},
    {"Unresolved (unknown) semaphore error.", -350},
    {"Too many semaphores.", -351},
    {"Exclusive semaphore is owned by another process.", -352},
    {"The semaphore is set and cannot be closed.", -353},
    {"The semaphore cannot be set again.", -354},
    {"Attempt to release mutex not owned by caller.", -355},
    {"The semaphore has been opened too many times.", -356},
    {"The maximum posts for the event semaphore has been reached.", -357},
    {"The event semaphore has already been posted.", -358},
    {"The event semaphore has already been reset.", -359},
    {"The semaphore is in use.", -360},
    {"The previous ownership of this semaphore has ended.", -361},
    {"Failed to open semaphore by name - not found.", -362},
    {"Semaphore destroyed while waiting.", -363},
    {"Nested ownership requests are not permitted for this semaphore type.", -364},
    {"Deadlock detected.", -365},
    {"Ping-Pong listen or speak out of turn error.", -366},
    {"Tried to take a semaphore in a bad context.", -367},
    {"Wrong locking order detected.", -368},
    {"Wrong release order detected.", -369},
    {"Attempt to recursively enter a non-recursive lock.", -370},
    {"Invalid parameters passed to the lock validator.", -371},
    {"The lock validator detected a deadlock.", -372},
    {"The lock validator detected an existing deadlock. The deadlock was not caused by the current operation, but existed already.", -373},
    {"Not the lock owner according our records.", -374},
    {"An illegal lock upgrade was attempted.", -375},
    {"The thread is not a valid signaller of the event.", -376},
    {"Internal error in the lock validator or related components.", -377},
    {"Unresolved (unknown) network error.", -400},
    {"The network is busy or is out of resources.", -401},
    {"Net host name not found.", -402},
    {"Network path not found.", -403},
    {"General network printing error.", -404},
    {"The machine is not on the network.", -405},
    {"Name is not unique on the network.", -406},
    {"Operation in progress.", -436},
    {"Operation already in progress.", -437},
    {"Attempted socket operation with a non-socket handle. (This includes closed handles.).", -438},
    {"Destination address required.", -439},
    {"Message too long.", -440},
    {"Protocol wrong type for socket.", -441},
    {"Protocol not available.", -442},
    {"Protocol not supported.", -443},
    {"Socket type not supported.", -444},
    {"Operation not supported.", -445},
    {"Protocol family not supported.", -446},
    {"Address family not supported by protocol family.", -447},
    {"Address already in use.", -448},
    {"Can't assign requested address.", -449},
    {"Network is down.", -450},
    {"Network is unreachable.", -451},
    {"Network dropped connection on reset.", -452},
    {"Software caused connection abort.", -453},
    {"Connection reset by peer.", -454},
    {"No buffer space available.", -455},
    {"Socket is already connected.", -456},
    {"Socket is not connected.", -457},
    {"Can't send after socket shutdown.", -458},
    {"Too many references: can't splice.", -459},
    {"Too many references: can't splice.", -460},
    {"Connection refused.", -461},
    {"Host is down.", -464},
    {"No route to host.", -465},
    {"Protocol error.", -466},
    {"Incomplete packet was submitted by guest.", -467},
    {"Invalid executable signature.", -600},
    {"Bad executable.", -608},
    {"Symbol (export) not found.", -609},
    {"Module not found.", -610},
    {"Code signing error.", -619},
    {"This indicates that the process does not have sufficient privileges to perform the operation.", -901},
    {"An account is restricted in a certain way.", -902},
    {nullptr, 0},
};
static_assert(OS_ARRAY_SIZE(verr_msg_tab) == VERR_MSG_ROWS + 1);

const char *verr2str(int code)
{
    for (const verr_msg *r = verr_msg_tab; r->msg; ++r)
        if (r->code == code) return r->msg;
    LOG_DBG("Invalid errno=%d (0x%x)\n", code, (unsigned)code);
    return "Invalid error code";
}

int verr_set_errno(int code)
{
    int e = verr_2_posix(code);
    errno = e;
    return e;
}

// Stores the place and code and formats the message within bound bytes.
static void err_fill(os_err *err, const char *file, int line, const char *func, int code,
                     size_t bound, const char *fmt, va_list ap)
{
    err->file = file;
    err->func = func;
    err->line = (u32)line;
    err->code = code;
    err->msg[0] = 0;
    if (fmt) vsnprintf(err->msg, bound, fmt, ap);
}

void os_err_set(os_err *err, const char *file, int line, const char *func, int code,
                const char *fmt, ...)
{
    if (!err) return;
    va_list ap;
    va_start(ap, fmt);
    err_fill(err, file, line, func, code, sizeof err->msg - 1, fmt, ap);
    va_end(ap);
}

void os_err_set_reason(os_err *err, const char *file, int line, const char *func, int code,
                       const char *reason, const char *fmt, ...)
{
    if (!err) return;
    va_list ap;
    va_start(ap, fmt);
    err_fill(err, file, line, func, code, sizeof err->msg, fmt, ap);
    va_end(ap);
    str_safecat_trunc(err->msg, sizeof err->msg, ": ");
    str_safecat_trunc(err->msg, sizeof err->msg, reason ? reason : "");
}

const char *os_err_str(const os_err *err)
{
    return err->msg[0] ? err->msg : verr2str(err->code);
}

void os_err_copy(os_err *dst, const os_err *src)
{
    if (!dst || !src || dst == src) return;
    dst->file = src->file;
    dst->func = src->func;
    dst->line = src->line;
    dst->code = src->code;
    str_safecopy_trunc(dst->msg, sizeof dst->msg, src->msg);
}

// strerror_r into a per-thread buffer.
static const char *errno_text_tls(int eno)
{
    thread_local char buf[256];
    const char *s = strerror_r(eno, buf, sizeof buf);
    return s ? s : "";
}

char *os_errno_str(int eno, char *buf, size_t size)
{
    if (!buf || size == 0) return buf;
    if (eno == 0) {
        str_safecopy_trunc(buf, size, "ok");
        return buf;
    }
    str_safecopy_trunc(buf, size, errno_text_tls(eno));
    str_trim(buf);
    if (!buf[0]) snprintf(buf, size, "unkown os_errno=%u (0x%x)", (unsigned)eno, (unsigned)eno);
    return buf;
}

const char *os_errno_text(int eno)
{
    return eno == 0 ? "ok" : errno_text_tls(eno);
}

const char *os_strerror(void)
{
    return os_errno_text(errno);
}
