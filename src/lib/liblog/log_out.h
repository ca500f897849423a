#pragma once
// States of the log outputs that live inside the log context.
#include <atomic>
#include <pthread.h>
#include "libpal/env/os_types.h"
#include "libpal/os/fd_follow.h"
#include "libpal/os/fd_move.h"

struct bsvf_pcap;
struct os_thread;

// Records of a file output that is named but not opened yet (start-up
// checks pending), kept in memory until it opens, at most LOG_KEEP_MAX
// bytes: [u32 length][record] each, text lines with their time stamped or
// pcap packets. All zero: none.
struct log_file_keep {
    char *buf;   // counted allocation, grown as records come
    u32 used, size;
    u32 count;   // records kept
    u32 over;    // records that did not fit
};
constexpr u32 LOG_KEEP_MAX = 256 * 1024;

// Text or pcap file output. The text file is a descriptor opened for
// appending; the pcap file has its own lock inside its handle.
struct log_file_state {
    char name[4096];  // full path of the file; empty while none is named
    char dir[2048];
    char mode[2];
    i32 size_limit;
    i32 kind;         // 2 text, 1 pcap
    bsvf_pcap *pcap;
    int fd;           // text file, -1 while none is open
    u8 held;          // named but not opened yet (start-up checks pending;
                      // atomic access: the pcap hook reads it unlocked)
    u8 hooked;        // the pcap writer is the record layer's file hook
    fd_follow follow; // the text file as its name leads to it (times of day, us)
    u64 size;         // its size as this writer knows it
    // A text file that cannot be written (a full disk) is tried again once
    // a second; the records in between are dropped and counted, and the
    // first record written after them says how many they were.
    u32 dropped;      // records lost since the last one written
    int drop_errno;   // why the first of them was lost
    u64 retry_us;     // monotonic time of the next attempt while dropping,
                      // else 0 (atomic access: read without the mutex)
    // The same count for the pcap file, whose writers run without the
    // output mutex (atomic access).
    u32 pcap_dropped;
    int pcap_errno;
    // A name that cannot be opened is tried again as its records come (the
    // text file within the pause above, the pcap file once a second): the
    // first failure is told on standard error, and the first record
    // written once it opens is preceded by one that says so. For the pcap
    // file these are read without the output mutex (atomic access).
    u32 open_fails;     // failed opens since the name was last open
    int open_errno;     // why the first of them failed
    u64 open_retry_us;  // pcap: monotonic time of the next open while none is
    u8 was_open;        // text: the name has led to a file (an open again
                        // makes its directory anew, as after a deletion)
    fd_halve_mark mark; // text: the marker of its halvings
    u8 mark_note;       // text: its finding (mark.why) goes into the file
    fd_halve_tally halve;  // text: halvings that failed, told late as the
                           // dropped records are
    // The open (the retries too) makes the missing directories of
    // file_dir's way, not before: the name is file_dir's.
    u8 mkdirs;
    // text: the file is the program's standard output or error, written
    // through a copy of that descriptor (one offset with the console), and
    // never halved or emptied.
    u8 std_fd;
    log_file_keep keep;    // records while held
    pthread_mutex_t keep_lock;  // of keep: the pcap hook keeps records
                                // without the output mutex
};
constexpr i32 LOG_FILE_SIZE_DEFAULT = 0x200000;
constexpr i32 LOG_FILE_SIZE_MIN = 1024;
constexpr i32 LOG_FILE_KIND_TEXT = 2;
constexpr i32 LOG_FILE_KIND_PCAP = 1;

// Remote syslog output. Records go to the peer through a sender thread
// and its bounded buffer (lognet_tx.h). The fields change under the output
// mutex and ctl together; ctl alone lets a thread take the sender to stop
// it without the output mutex.
struct log_net_tx;
struct log_net_state {
    char url[8192];
    char host[8192];
    i32 port;
    i32 transport;  // 4 stream, 2 datagram
    i32 state;      // 0 closed, 1 opened
    u8 held;        // opened, the sender not started yet (start-up checks pending)
    log_net_tx *tx; // the buffer and sender while opened
    pthread_mutex_t ctl;
    // Records the sender dropped and has told the peer of, or that were
    // still untold when it closed, for the text file to tell too: the
    // count in the low 32 bits, why the first was dropped in the high 32
    // (atomic access).
    u64 file_note;
};
constexpr i32 LOG_NET_STREAM = 4;
constexpr i32 LOG_NET_DGRAM = 2;

// bsv frames over UDP. The held frame, the socket handle and the sender
// thread are guarded by lock.
struct log_bsv_udp_state {
    char url[8192];
    char host[8192];
    u32 port;
    u64 udp;        // socket handle, 0 until opened (read without the lock
                    // by the crash report: accessed atomically)
    u32 pend_len;
    u32 pend_level;
    os_thread *thread;
    u8 pend[8192];
    pthread_mutex_t lock;
    u8 opening;     // "bsvnet" has not finished opening the socket
    u8 held;        // named but not started yet (start-up checks pending)
};

struct log2;

// A record on its way to the outputs that run under the output mutex.
// The file record is the file line behind its header, whose time the
// file writer stamps when it writes (the header's first LOG_FILE_STAMP
// bytes).
struct log_rec {
    int level;             // the level word
    const char *module;
    const char *line;      // for the hooks, the console, syslog and the last-log text
    int len;               // its length as the hooks and writers are given it
    size_t line_len;       // its whole length
    char *file;            // the file record, or NULL
    size_t file_len;
    bool file_dropped;     // none was made: the file output drops records
    bool closed;           // set when it met its context closed: not written
    log_rec *next;         // records queued while the mutex was held
    std::atomic<u32> done; // set once a queued record went through the outputs
};
constexpr size_t LOG_FILE_STAMP = 27;      // "YYYY-MM-DD HH:MM:SS.uuuuuu "
constexpr size_t LOG_FILE_HEAD_MAX = 640;  // the whole header at most

// Text and pcap file output.
void log_file_init(log_file_state *st);
int log_file_open(log_file_state *st, const char *name);
// Names the file as log_file_open would, without creating or truncating
// it; the writer skips it until log_file_open runs.
int log_file_hold(log_file_state *st, const char *name);
// Opens the held file (under the output mutex) and writes the records
// kept meanwhile first; when it does not open they are counted as
// dropped, and told as such. 0 or -1.
int log_file_release(log_file_state *st);
int log_file_write(struct log2 *ctx, int level, const char *module, const char *line, int len);
// The header of a text file line without its time (room is left for it);
// its length. h holds LOG_FILE_HEAD_MAX bytes.
size_t log_file_head(char *h, int level, const char *module);
// "%04d-%02d-%02d %02d:%02d:%02d.%06u " from one read of the clock into
// LOG_FILE_STAMP bytes; the time of day in microseconds goes to tod.
void log_file_stamp(char *s, u64 *tod);
// Writes the file records of n records, in their order, with one system
// call for as many as fit under the size limit (under the output mutex);
// 0, or -1 when they were dropped.
int log_file_write_recs(struct log2 *ctx, log_rec *const *recs, int n);
// True while the text file drops records until its next attempt is due
// (read without the output mutex): a record then needs no file record.
bool log_file_retry_pending(u64 retry_us);
inline bool log_file_dropping(const log_file_state *st)
{
    u64 retry = __atomic_load_n(&st->retry_us, __ATOMIC_RELAXED);
    return retry && log_file_retry_pending(retry);
}
// Counts n records dropped that way (under the output mutex).
void log_file_drop(log_file_state *st, int n);
int log_file_pcap_write(int level, const void *rec, int len, void *state);
// The crash report's form (async-signal-safe): the packet is written only
// when the file's lock can be had within a short wait, without the size
// rule.
int log_file_pcap_write_safe(int level, const void *rec, int len, void *state);
// The pcap side of log_file_open and log_file_close. The open keeps a
// failure for the writer to try again; the attach makes the writer the
// record layer's file hook (once the state's name is final).
int log_file_pcap_open(log_file_state *st, const char *path);
// The pcap side of log_file_release, after the open (rc, eno why it
// failed): the packets kept go first, or are counted as dropped.
void log_file_pcap_release(log_file_state *st, int rc, int eno);
// The hook's keeping of a packet while the file is held: false once it
// is not (the packet is then written).
bool log_file_pcap_keep(log_file_state *st, const void *rec, int len);
void log_file_pcap_attach(log_file_state *st);
void log_file_pcap_close(log_file_state *st);
int log_file_close(log_file_state *st);
// Stops the pcap hook of the record layer when it writes this state's
// file; called without the output mutex, before the file is closed.
void log_file_pcap_detach(log_file_state *st);
// Stores the directory of relative names; it is made (with its missing
// parents) when a file is opened in it, not before.
int log_file_dir_set(log_file_state *st, const char *dir);
// Makes the missing directories of the named file's way when its open
// makes them (see mkdirs). 0, or -1 with errno.
int log_file_make_dirs(const log_file_state *st);

// The records kept while a file is held, under its keep_lock. Keeps n
// bytes as one record; false, counted in over, when they do not fit.
bool log_keep_put(log_file_keep *k, const void *rec, size_t n);
// The record at *at (0 first), its length in *len; NULL after the last.
const char *log_keep_next(const log_file_keep *k, u32 *at, u32 *len);
// Forgets every record and the counts.
void log_keep_clear(log_file_keep *k);
int log_file_mode_set(log_file_state *st, const char *mode);
int log_file_size_set(log_file_state *st, i32 bytes);
log_file_state *log_file_get(log_file_state *st);
// The name as the settings show it: empty while no file is open (a name
// that failed keeps being tried under its name all the same). A name held
// for the start is shown when it would open.
const char *log_file_shown_name(const log_file_state *st);
i32 log_file_size_get(log_file_state *st);
long log_file_tell(log_file_state *st);
// Keeps the newest half of the limit of a text file of size bytes open at
// fd, from a line start on, in place under the marker m (see fd_halve; m
// NULL: without one). The newest record stays whole: one that began before
// that half is kept from its start, and when it is longer than what lies
// before it the file is left as it is, over its limit, until the next
// halving. 0 or -1 (0 during a crash report: no halving starts then).
int log_file_trim(int fd, fd_halve_mark *m, i64 size, i32 limit);
// The end of the last whole line of [from, size) of the text file open at
// fd (from when none ends there), -1 when it cannot be read: the records
// rule of its marker.
i64 log_file_whole_end(int fd, i64 from, i64 size, const void *);
// Closes a file's halving marker (fd_halve_mark_close); a finding of the
// close (a marker that cannot be removed) is said on standard error, since
// no record of the file follows to carry it.
void log_file_mark_closed(fd_halve_mark *m);
// Whether [from, end) of the text file open at fd is a part that its
// halvings keep (see fd_part_check): one that starts at a line start, or,
// a line longer than the half, one without any line end.
int log_file_part_check(int fd, i64 from, i64 end, i64 to, const void *);
// The message that tells how many records a file output dropped (eno: why
// the first was lost), written in front of the first record that follows
// them; its length.
int log_file_dropped_text(char *buf, size_t size, u32 count, int eno);
// A name that could not be opened (eno why): the first failure since it
// was last open is told on standard error; later ones are only counted.
// The text and pcap writers both keep their count this way.
void log_file_open_failed(log_file_state *st, const char *path, int eno);
// The message of the record that tells that a name opened after fails
// failed attempts; its length.
int log_file_opened_text(char *buf, size_t size, const char *path, u32 fails);
// The message of the err record that tells the halvings of a log file
// that failed; its length.
int log_file_halve_failed_text(char *buf, size_t size, const fd_halve_tally *t);
// Tells on standard error the line of t that is due, if any (the first
// halving that failed after one that did not, each that lost records).
void log_file_halve_failed(const char *path, fd_halve_tally *t);

// Syslog output.
void log_net_init(log_net_state *st);
// Opens the output of the context c at url (c NULL: st is the caller's
// alone): takes the URL and makes the buffer (records wait in it) and,
// unless hold, starts the sender; then puts them in place of the sender
// that was, which is stopped and freed once, outside the output mutex
// (what it did not send is counted for the text file). A URL that cannot
// be used is told on standard error and closes the output. 0 or more, or
// -1.
int log_net_set(struct log2 *c, log_net_state *st, const char *url, bool hold);
// log_net_set of a state of the caller's alone, held or started.
int log_net_hold(log_net_state *st, const char *url);
int log_net_open(log_net_state *st, const char *url);
// Starts the sender of a held output (under the output mutex).
int log_net_start(log_net_state *st);
// A connection of the caller's own to the output's peer (syslog_open: it
// waits for the name and the connection); the socket, or -1.
int log_net_connect(log_net_state *st);
// Queues the record for the sender: the bytes queued, -1 when it was
// dropped (and counted), 0 while the output is closed.
int log_net_write(struct log2 *ctx, int level, const char *module, const char *line, int len);
// Stops the sender, after it has sent what it holds for at most drain_ms;
// called without the output mutex (records meanwhile wait in the buffer).
// A sender that the output lets go meanwhile is still stopped and freed
// once.
void log_net_stop(log_net_state *st, int drain_ms);
// Closes the output: the sender is stopped if it runs, what it did not
// send is counted for the text file (file_note), and it is freed.
int log_net_close(log_net_state *st);
// The warn message that tells count records dropped on their way to the
// syslog peer at url (why: the first's reason, an errno value or a
// LOG_NET_WHY_ code); its length.
int log_net_dropped_text(char *buf, size_t size, const char *url, u32 count, int why);
log_net_state *log_net_get(log_net_state *st);

// bsv UDP output.
void log_bsv_init(log_bsv_udp_state *st);
int log_bsv_udp_open(log_bsv_udp_state *st, const char *url);
// Takes the URL and holds the first frame, without starting the sender
// (see log_file_hold).
int log_bsv_udp_hold(log_bsv_udp_state *st, const char *url);
// Starts the sender of a held output (frames logged meanwhile: the first
// is kept for it).
int log_bsv_udp_start(log_bsv_udp_state *st);
int log_bsv_udp_send(int level, const void *frame, int len, void *state);
// The crash report's form: sends on the socket when it is open, with no
// lock, no held frame and no log record (async-signal-safe).
int log_bsv_udp_send_safe(int level, const void *frame, int len, void *state);
int log_bsv_udp_close(log_bsv_udp_state *st);
log_bsv_udp_state *log_bsv_get(log_bsv_udp_state *st);
