#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/child.h"
#include "common/fsize_limit.h"
#include "common/io_faults.h"
#include "common/log_capture.h"
#include "common/text_match.h"
#include "liblog/log.h"
#include "liblog/log_conf.h"
#include "liblog/logfile_util.h"
#include "libpal/env/malloc.h"

namespace {

// A log2_init call after this makes a context of its own instead of
// configuring the default.
void configure_default()
{
    log_ctx_get(nullptr);
    log_default_state_set(2);
}

using logtest::lines_of;
using logtest::quiet_ctx;
using logtest::read_file;
using logtest::tmp_dir;

struct LogFile : testing::Test {
    tmp_dir dir;
    quiet_ctx q;
    log_file_state *st() { return &q.c->file; }
    void open(const std::string &name) { ASSERT_EQ(log_file_open(st(), name.c_str()), 0); q.c->file_on.store(1); }
};

TEST_F(LogFile, LineHeaderModeAndName)
{
    mode_t old = umask(0);
    std::string p = dir / "a.log";
    open(p);
    umask(old);
    q.c->flags.store(LOG_F_FUNC | LOG_F_TIME | LOG_F_TID);
    q.log(6, "hello %s\n", "world");
    q.log(3, "%s", "no newline");
    // A name given to the thread shows from its next record on.
    log_thread_name_set("named");
    q.log(3, "%s\n", "with a name");
    log_thread_name_set(nullptr);
    q.log(3, "%s\n", "without");
    auto lines = lines_of(read_file(p));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(testutil::text_like(lines[2].c_str(), "{*} ERROR {d} --- [named_{x4}_{d}] tmod fn(): with a name"))
        << lines[2];
    EXPECT_TRUE(testutil::text_like(lines[3].c_str(), "{*} ERROR {d} --- [{d}] tmod fn(): without")) << lines[3];
    // The file line has its own header and the function prefix, never the
    // console's time and thread prefix.
    EXPECT_TRUE(testutil::text_like(lines[0].c_str(),
                                    "{d}-{dd}-{dd} {dd}:{dd}:{dd}.{d} INFO  {d} --- [{*}] tmod fn(): hello world"))
        << lines[0];
    EXPECT_TRUE(testutil::text_like(lines[1].c_str(), "{*}.{d} ERROR {d} --- [{*}] tmod fn(): no newline"))
        << lines[1];
    size_t dot = lines[0].find('.');
    EXPECT_EQ(lines[0].find(' ', dot) - dot, 7u);  // six digits of microseconds
    struct stat sb;
    ASSERT_EQ(stat(p.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0644u);
    EXPECT_STREQ(log_file_get(st())->name, p.c_str());
    EXPECT_EQ(log_file_tell(st()), (long)read_file(p).size());
}

TEST_F(LogFile, FileLineIsTheSameWithAndWithoutConsolePrefixes)
{
    std::string p = dir / "f.log";
    open(p);
    std::string big(9000, 'b');
    for (u32 flags : {(u32)LOG_F_FUNC, (u32)(LOG_F_FUNC | LOG_F_TIME | LOG_F_TID)}) {
        q.c->flags.store(flags);
        q.log(6, "%s\n", "short");
        q.log(6, "%s", big);  // cut to the line's size
        errno = ENOENT;
        log2_printf(q.c, 6 | LOG_OPT_ERRNO, "tmod", "src/x", 1, "fn", "open: ");
    }
    auto lines = lines_of(read_file(p));
    ASSERT_EQ(lines.size(), 6u);
    for (size_t i = 0; i < 3; ++i) {
        std::string a = lines[i].substr(lines[i].find(" tmod ")), b = lines[i + 3].substr(lines[i + 3].find(" tmod "));
        EXPECT_EQ(a, b) << i;
    }
    EXPECT_EQ(lines[1].size() - lines[1].find(" tmod ") - 6, 8190u);  // "fn(): " and the message
    EXPECT_NE(lines[2].find(" tmod fn(): open: No such file or directory"), std::string::npos) << lines[2];
}

TEST_F(LogFile, ModeWEmptiesModeAKeeps)
{
    std::string p = dir / "m.log";
    logtest::write_file(p, "old line\n");
    ASSERT_EQ(log_file_mode_set(st(), "a"), 0);
    open(p);
    q.log(6, "%s\n", "new");
    auto text = read_file(p);
    EXPECT_EQ(text.rfind("old line\n", 0), 0u);
    EXPECT_NE(text.find("new\n"), std::string::npos);
    ASSERT_EQ(log_file_mode_set(st(), "w"), 0);
    open(p);
    EXPECT_EQ(read_file(p), "");
    EXPECT_EQ(log_file_mode_set(st(), "a+"), -1);
    EXPECT_EQ(log_file_mode_set(st(), "W"), -1);
    EXPECT_STREQ(st()->mode, "w");
}

TEST_F(LogFile, TrimMovesTheNewestHalfToTheFrontInPlace)
{
    std::string p = dir / "t.log";
    std::string text;
    for (int i = 0; i < 400; ++i) text += "line " + std::to_string(i) + " " + std::string(i % 37, 'x') + "\n";
    logtest::write_file(p, text);
    int fd = ::open(p.c_str(), O_RDWR | O_APPEND);
    ASSERT_GE(fd, 0);
    struct stat before;
    fstat(fd, &before);
    const i32 limit = 4000;
    ASSERT_EQ(log_file_trim(fd, nullptr, (i64)text.size(), limit), 0);
    size_t start = text.size() - limit / 2;
    std::string want = text.substr(text.find('\n', start) + 1);
    EXPECT_EQ(read_file(p), want);
    struct stat after;
    fstat(fd, &after);
    EXPECT_EQ(after.st_ino, before.st_ino);
    // The descriptor still appends at the new end.
    ASSERT_EQ(write(fd, "tail\n", 5), 5);
    EXPECT_EQ(read_file(p), want + "tail\n");
    close(fd);
    // A file without a line end in its newest half keeps that half whole;
    // a half larger than one move step goes over in several steps.
    std::string blob(300000, 'b');
    for (size_t i = 0; i < blob.size(); i += 1000) blob[i] = (char)('a' + i / 1000 % 26);
    logtest::write_file(p, blob);
    fd = ::open(p.c_str(), O_RDWR | O_APPEND);
    ASSERT_EQ(log_file_trim(fd, nullptr, (i64)blob.size(), 200000), 0);
    close(fd);
    EXPECT_EQ(read_file(p), blob.substr(blob.size() - 100000));
}

// The halving keeps the file: a reader that holds it (tail -f) sees it
// shrink and goes on reading the newest records; the marker beside it
// lives while the file is open.
TEST_F(LogFile, HalvingKeepsTheFileThatAReaderHolds)
{
    std::string p = dir / "r.log";
    ASSERT_EQ(log_file_size_set(st(), 2048), 0);
    open(p);
    int reader = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    for (int i = 0; i < 30; ++i) q.log(6, "%s\n", "r" + std::to_string(i) + " " + std::string(60, 'r'));
    struct stat held, named;
    fstat(reader, &held);
    ASSERT_EQ(stat(p.c_str(), &named), 0);
    EXPECT_EQ(held.st_ino, named.st_ino);
    EXPECT_LT(held.st_size, 2048);
    std::string seen(held.st_size, 0);
    ASSERT_EQ(pread(reader, seen.data(), seen.size(), 0), (ssize_t)seen.size());
    close(reader);
    auto lines = lines_of(seen);
    ASSERT_GT(lines.size(), 5u);
    EXPECT_NE(lines.back().find(" r29 "), std::string::npos);
    EXPECT_EQ(st()->dropped, 0u);
    EXPECT_EQ(logtest::file_size(p + FD_HALVE_MARK_SUFFIX), (off_t)FD_HALVE_MARK_LEN);
    log_file_close(st());
    EXPECT_EQ(logtest::file_size(p + FD_HALVE_MARK_SUFFIX), -1);
}

// An open for appending finishes a halving that a kill cut short, wherever
// it struck, and a last line left without its line end (a torn write, an
// edit by hand) gets one before the first new record; an open that empties
// the file removes the marker.
TEST_F(LogFile, AnOpenForAppendingMendsWhatAKillLeft)
{
    std::string p = dir / "k.log", text;
    for (int i = 0; i < 100; ++i) text += "old " + std::to_string(i) + " " + std::string(40, 'o') + "\n";
    i64 from = (i64)text.find('\n', text.size() / 2) + 1, end = (i64)text.size();
    std::string kept = text.substr((size_t)from);
    ASSERT_EQ(log_file_mode_set(st(), "a"), 0);
    for (i64 copied : {(i64)0, (i64)7, (i64)1000, end - from, (i64)-1}) {
        logtest::write_file(p, text);
        testutil::halving_cut_short(p, from, end, 0, copied);
        open(p);
        q.log(6, "%s\n", "new");
        auto after = read_file(p);
        EXPECT_EQ(after.substr(0, kept.size()), kept) << copied;
        EXPECT_EQ(lines_of(after).size(), lines_of(kept).size() + 1) << copied;
        EXPECT_EQ(logtest::file_size(p + FD_HALVE_MARK_SUFFIX), -1) << copied;
    }
    logtest::write_file(p, text + "torn li");
    open(p);
    q.log(6, "%s\n", "new");
    auto lines = lines_of(read_file(p));
    ASSERT_EQ(lines.size(), 102u);
    EXPECT_EQ(lines[100], "torn li");
    EXPECT_TRUE(testutil::text_like(lines[101].c_str(), "{*} INFO  {d} --- [{*}] tmod new")) << lines[101];
    // Killed inside a write-back: the open cuts the file to its last whole
    // line and says in front of the next record how much was lost.
    logtest::write_file(p, kept.substr(0, 130));
    testutil::mark_pending(p, from, end, 0, true);
    open(p);
    q.log(6, "%s\n", "new");
    lines = lines_of(read_file(p));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(read_file(p).substr(0, 96), kept.substr(0, 96));
    EXPECT_TRUE(testutil::text_like(lines[2].c_str(), "{*} WARN  {d} --- [{*}] tag a halving of {*}k.log was cut "
                                                      "short while its newest part was written back: {d} bytes "
                                                      "of it were lost"))
        << lines[2];
    EXPECT_EQ(lines.size(), 4u);
    // The copy made again at the open fails part way (a full disk): cut to
    // its last whole line, the loss told as a halving tells it.
    logtest::write_file(p, text);
    testutil::halving_cut_short(p, from, end, 0, 7);
    testutil::faults().also_file(p.c_str());
    testutil::faults().arm(-1, ENOSPC, "sfsF", 100);
    open(p);
    testutil::faults().disarm();
    q.log(6, "%s\n", "new");
    lines = lines_of(read_file(p));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(testutil::text_like(lines[2].c_str(), "{*} ERROR {d} --- [{*}] tag 1 halving of the log file failed: "
                                                      "the newest part could not be copied (No space left on "
                                                      "device), {d} bytes of it were lost"))
        << lines[2];
    log_file_close(st());
    // A FIFO at the marker's name does not hang the open, and a marker whose
    // numbers name a copy from inside a line, or to anywhere but the front,
    // is not followed: each is removed, and said in front of the next record.
    for (auto [at, to, why] : {std::tuple<i64, i64, const char *>{-1, 0, "a FIFO"},
                               {from + 50, 0, "it names a part that is not whole records (bytes {d} to {d})"},
                               {from, 1, "it names a copy to offset 1"}}) {
        logtest::write_file(p, text);
        if (at < 0) ASSERT_EQ(mkfifo((p + FD_HALVE_MARK_SUFFIX).c_str(), 0644), 0);
        else testutil::mark_pending(p, at, end, to);
        open(p);
        q.log(6, "%s\n", "new");
        lines = lines_of(read_file(p));
        ASSERT_EQ(lines.size(), 102u) << why;
        EXPECT_TRUE(testutil::text_like(lines[100], "{*} WARN  {d} --- [{*}] tag marker {*}k.log.halving not "
                                                    "followed: " + std::string(why) + "; removed"))
            << lines[100];
        EXPECT_EQ(logtest::file_size(p + FD_HALVE_MARK_SUFFIX), -1);
    }
    // An open that empties the file removes the marker beside its real
    // name, also when it is named through a link.
    logtest::write_file(p, text);
    testutil::halving_cut_short(p, from, end, 0, 5);
    ASSERT_EQ(symlink(p.c_str(), (dir / "link.log").c_str()), 0);
    ASSERT_EQ(log_file_mode_set(st(), "w"), 0);
    open(dir / "link.log");
    EXPECT_EQ(read_file(p), "");
    EXPECT_EQ(logtest::file_size(p + FD_HALVE_MARK_SUFFIX), -1);
}

// A halving whose copy fails keeps every record: the file stays over its
// limit, the failure is told in an err record in front of the next record,
// and the next halving comes a second later, not at every record.
TEST_F(LogFile, AFailedHalvingKeepsEveryRecordAndIsTold)
{
    std::string p = dir / "f.log";
    ASSERT_EQ(log_file_size_set(st(), 2048), 0);
    open(p);
    testutil::faults().arm(st()->fd, ENOSPC, "F");
    for (int i = 0; i < 40; ++i) q.log(6, "%s\n", "r" + std::to_string(i) + " " + std::string(60, 'r'));
    testutil::faults().disarm();
    auto lines = lines_of(read_file(p));
    ASSERT_EQ(lines.size(), 41u);
    EXPECT_TRUE(testutil::text_like(lines[0].c_str(), "{*} INFO  {d} --- [{*}] tmod r0 {*}")) << lines[0];
    EXPECT_TRUE(testutil::text_like(lines.back().c_str(), "{*} INFO  {d} --- [{*}] tmod r39 {*}")) << lines.back();
    int notes = 0;
    for (auto &l : lines)
        notes += testutil::text_like(l.c_str(), "{*} ERROR {d} --- [{*}] tag 1 halving of the log file failed: the "
                                                "kept part could not be copied (No space left on device)");
    EXPECT_EQ(notes, 1);
    st()->halve.retry_us = 1;  // the second is over
    q.log(6, "%s\n", "last");
    lines = lines_of(read_file(p));
    EXPECT_LT(logtest::file_size(p), 2048);
    EXPECT_TRUE(testutil::text_like(lines.back().c_str(), "{*} tmod last")) << lines.back();
    // The records' numbers in the file, in order; every line whole.
    auto numbers = [&] {
        std::vector<int> out;
        for (auto &l : lines_of(read_file(p))) {
            size_t at = l.find(" tmod r");
            EXPECT_TRUE(testutil::text_like(l.c_str(), "{*} {*} {d} --- [{*}] {*}")) << l;
            if (at != std::string::npos) out.push_back(atoi(l.c_str() + at + 7));
        }
        return out;
    };
    // A write-back that stops part way: the file is cut to its last whole
    // line at once, the loss told, the next record on a line of its own;
    // and so when the cut back to that line is refused too: the torn tail
    // gets its line feed.
    auto put = [&](int from, int to) {
        for (int i = from; i < to; ++i) q.log(6, "%s\n", "r" + std::to_string(i) + " " + std::string(60, 'r'));
    };
    for (const char *cuts : {"", "pF"}) {
        open(p);
        put(0, 15);
        testutil::faults().arm(st()->fd, ENOSPC, "sfsF", 300);
        testutil::faults().also(testutil::IO_FTRUNCATE, cuts);
        put(15, 25);
        testutil::faults().disarm();
        lines = lines_of(read_file(p));
        notes = 0;
        for (auto &l : lines)
            notes += testutil::text_like(l.c_str(), "{d}-{d}-{d} {d}:{d}:{d}.{d} ERROR {d} --- [{*}] tag 1 halving of "
                                                    "the log file failed: the newest part could not be copied (No "
                                                    "space left on device), {d} bytes of it were lost");
        EXPECT_EQ(notes, 1) << "on a line of its own; cuts " << cuts;
        EXPECT_TRUE(testutil::text_like(lines.back().c_str(), "{*} INFO  {d} --- [{*}] tmod r24 {*}")) << lines.back();
        if (!*cuts) {
            EXPECT_EQ(numbers().back(), 24) << "every line whole";
        }
    }
    // A cut that is refused: the copy stays in front, with a broken line
    // behind it, until the next halving that succeeds keeps each record
    // once, from the kept part on.
    open(p);
    put(0, 22);
    testutil::faults().arm(st()->fd, 0, "");
    testutil::faults().also(testutil::IO_FTRUNCATE, "F");
    put(22, 30);
    testutil::faults().disarm();
    EXPECT_GT(logtest::file_size(p), 2048) << "nothing cut";
    EXPECT_NE(read_file(p).find(" ERROR "), std::string::npos);
    EXPECT_NE(read_file(p).find(" tag 1 halving of the log file failed: the file could not be cut to the kept part (No "
                                "space left on device)\n"),
              std::string::npos);
    st()->halve.retry_us = 1;
    q.log(6, "%s\n", "r30 last");
    EXPECT_LT(logtest::file_size(p), 2048);
    auto n = numbers();
    ASSERT_FALSE(n.empty());
    for (size_t i = 0; i < n.size(); ++i) EXPECT_EQ(n[i], 31 - (int)n.size() + (int)i) << "once each, in order";
    // Its size read before the file shrank (copytruncate): the failure has
    // a reason, never told as "(ok)".
    errno = 0;
    EXPECT_EQ(log_file_trim(st()->fd, nullptr, 1 << 20, 2048), -1);
    EXPECT_EQ(errno, ENODATA);
}

// A record longer than the half that is kept stays whole: the file stands
// over its limit until the next record's halving.
TEST_F(LogFile, TheNewestRecordStaysWholePastTheLimit)
{
    std::string p = dir / "l.log";
    ASSERT_EQ(log_file_size_set(st(), 2048), 0);
    open(p);
    q.log(6, "%s\n", "first");
    q.log(6, "%s\n", std::string(4000, 'L'));
    auto lines = lines_of(read_file(p));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find(std::string(4000, 'L')), std::string::npos);
    // Records of 1500 bytes: each halving keeps the newest whole.
    for (int i = 0; i < 6; ++i) {
        q.log(6, "%s\n", std::to_string(i) + std::string(1500, 'M'));
        lines = lines_of(read_file(p));
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines.back().find(std::to_string(i) + std::string(1500, 'M')), std::string::npos) << i;
        EXPECT_LE(lines.size(), 2u) << i;
    }
    EXPECT_LT(logtest::file_size(p), 2 * 1600);
}

TEST_F(LogFile, SizeLimitCutsAtLineStartsAndGoesOn)
{
    std::string p = dir / "s.log";
    ASSERT_EQ(log_file_size_set(st(), 100), 0);
    EXPECT_EQ(log_file_size_get(st()), 1024);
    open(p);
    std::string big(150, 'z');
    for (int i = 0; i < 60; ++i) {
        q.log(6, "%s\n", std::to_string(i) + " " + big);
        off_t sz = logtest::file_size(p);
        ASSERT_LT(sz, 1024 + 250) << i;
    }
    auto text = read_file(p);
    EXPECT_LE(text.size(), 1024u);
    auto lines = lines_of(text);
    ASSERT_FALSE(lines.empty());
    for (auto &l : lines) EXPECT_TRUE(testutil::text_like(l.c_str(), "{d}-{*} tmod {d} z{*}")) << l;
    EXPECT_NE(lines.back().find(" 59 "), std::string::npos);
}

TEST_F(LogFile, DeletedOrMovedFileIsMadeAnewByName)
{
    std::string p = dir / "d.log";
    open(p);
    q.log(6, "%s\n", "first");
    ASSERT_EQ(unlink(p.c_str()), 0);
    usleep(1000);  // records closer than some microseconds share one look at the file
    q.log(6, "%s\n", "after delete");
    auto lines = lines_of(read_file(p));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("after delete"), std::string::npos);
    ASSERT_EQ(rename(p.c_str(), (dir / "d.log.1").c_str()), 0);
    usleep(1000);
    q.log(6, "%s\n", "after move");
    EXPECT_NE(read_file(p).find("after move"), std::string::npos);
    EXPECT_EQ(read_file(dir / "d.log.1").find("after move"), std::string::npos);
    // A file that another takes the name of is left at once; one moved away
    // while its name was just looked at, within a few milliseconds.
    usleep(2000);
    q.log(6, "%s\n", "name looked at");
    logtest::write_file(dir / "other", "other\n");
    ASSERT_EQ(rename((dir / "other").c_str(), p.c_str()), 0);
    usleep(300);
    q.log(6, "%s\n", "after replace");
    EXPECT_NE(read_file(p).find("other\n"), std::string::npos);
    EXPECT_NE(read_file(p).find("after replace"), std::string::npos);
    q.log(6, "%s\n", "name looked at");
    ASSERT_EQ(rename(p.c_str(), (dir / "d.log.2").c_str()), 0);
    usleep(5000);
    q.log(6, "%s\n", "after second move");
    EXPECT_NE(read_file(p).find("after second move"), std::string::npos);
}

TEST_F(LogFile, DeviceIsKeptWhileItsNameLeadsToIt)
{
    ASSERT_EQ(log_file_mode_set(st(), "a"), 0);
    open("/dev/null");
    int fd = st()->fd;
    for (int i = 0; i < 3; ++i) {
        q.log(6, "%s\n", "to the device");
        usleep(1500);  // each record looks at the link count and the name
    }
    // The name was looked at, and the device not opened again (which
    // would have forgotten that look).
    EXPECT_NE(st()->follow.named_us, 0u);
    EXPECT_EQ(st()->fd, fd);
    EXPECT_EQ(st()->dropped, 0u);
}

TEST_F(LogFile, FullDiskDropsWholeRecordsUntilTheRetryAndThenSaysHowMany)
{
    std::string p = dir / "full.log";
    open(p);
    q.log(6, "%s\n", "before");
    std::string before = read_file(p);
    int fd = st()->fd;
    {
        testutil::fsize_limit full(before.size() + 30);
        q.log(6, "%s\n", "torn " + std::string(100, 't'));  // stops part way: taken back
        EXPECT_EQ(read_file(p), before);
        // Until the retry is due the file is neither written nor reopened.
        for (int i = 0; i < 5; ++i) q.log(6, "%s\n", "dropped");
        EXPECT_EQ(st()->dropped, 6u);
        EXPECT_EQ(st()->fd, fd);
        st()->retry_us = 0;  // a second later: one more attempt, still full
        q.log(6, "%s\n", "still full");
        EXPECT_EQ(st()->dropped, 7u);
        EXPECT_EQ(read_file(p), before);
    }
    q.log(6, "%s\n", "space is back, the retry is not due yet");
    st()->retry_us = 0;
    q.log(6, "%s\n", "after");
    auto lines = lines_of(read_file(p));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(testutil::text_like(lines[1].c_str(), "{*} WARN  {d} --- [{*}] tag 8 log records dropped: "
                                                      "the file could not be written (File too large)"))
        << lines[1];
    EXPECT_TRUE(testutil::text_like(lines[2].c_str(), "{*} INFO  {d} --- [{*}] tmod after")) << lines[2];
    EXPECT_EQ(st()->dropped, 0u);
    EXPECT_EQ(st()->fd, fd);
}

TEST_F(LogFile, DirectoryForRelativeNamesOnly)
{
    std::string sub = dir / "x/y/z";
    ASSERT_EQ(log_file_dir_set(st(), sub.c_str()), 0);
    EXPECT_EQ(logtest::file_size(sub), -1);  // made by the open of a file in it
    open("rel.log");
    EXPECT_STREQ(st()->name, (sub + "/rel.log").c_str());
    open(dir / "abs.log");
    EXPECT_STREQ(st()->name, (dir / "abs.log").c_str());
    q.log(6, "%s\n", "here");
    EXPECT_NE(read_file(dir / "abs.log").find("here"), std::string::npos);
}

TEST_F(LogFile, PcapSuffixSelectsTheKindAndTheTextWriterStaysOut)
{
    ASSERT_EQ(log_file_hold(st(), (dir / "c.pcap").c_str()), 0);
    EXPECT_EQ(st()->kind, LOG_FILE_KIND_PCAP);
    q.c->file_on.store(1);
    q.log(6, "%s\n", "text");
    EXPECT_EQ(logtest::file_size(dir / "c.pcap"), -1);
    ASSERT_EQ(log_file_hold(st(), (dir / "c.PCAP").c_str()), 0);
    EXPECT_EQ(st()->kind, LOG_FILE_KIND_TEXT);
}

TEST_F(LogFile, FailedOpenForgetsThePreviousFile)
{
    std::string p = dir / "ok.log";
    open(p);
    q.log(6, "%s\n", "one");
    testing::internal::CaptureStderr();
    EXPECT_EQ(log_file_open(st(), (dir / "missing/dir/f.log").c_str()), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_STREQ(st()->name, (dir / "missing/dir/f.log").c_str());  // the name that is tried again
    EXPECT_EQ(log_file_tell(st()), -1);
    q.log(6, "%s\n", "two");
    EXPECT_EQ(read_file(p).find("two"), std::string::npos);
}

TEST_F(LogFile, NameThatDoesNotOpenIsToldOnceAndSaidWhenItOpens)
{
    std::string sub = dir / "later", p = sub + "/f.log";
    q.c->file_on.store(1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(log_file_open(st(), p.c_str()), -1);
    EXPECT_STREQ(log_file_shown_name(st()), "");  // kept for the retry, not shown
    q.log(6, "%s\n", "tried at once");
    st()->retry_us = 0;  // a second later
    q.log(6, "%s\n", "tried again");
    q.log(6, "%s\n", "the next try is not due");
    // A name that never opened is opened as configured: no directory is
    // made for it.
    EXPECT_EQ(logtest::file_size(sub), -1);
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    st()->retry_us = 0;
    q.log(6, "%s\n", "opened");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log_file_shown_name(st()), p);
    EXPECT_EQ(err, "test_liblog: cannot open log file " + p +
                       ": No such file or directory (its records are dropped until it opens)\n");
    auto lines = lines_of(read_file(p));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(testutil::text_like(lines[0].c_str(), ("{*} WARN  {d} --- [{*}] tag log file " + p +
                                                       " opened after 3 failed attempts").c_str()))
        << lines[0];
    EXPECT_TRUE(testutil::text_like(lines[1].c_str(), "{*} WARN  {d} --- [{*}] tag 3 log records dropped: "
                                                      "the file could not be written (No such file or directory)"))
        << lines[1];
    EXPECT_TRUE(testutil::text_like(lines[2].c_str(), "{*} INFO  {d} --- [{*}] tmod opened")) << lines[2];
    // Once open, a later failure is a new one: told again.
    ASSERT_EQ(unlink(p.c_str()), 0);
    ASSERT_EQ(rmdir(sub.c_str()), 0);
    logtest::write_file(sub, "a file where the directory was");
    usleep(2000);  // the next record looks at the file
    testing::internal::CaptureStderr();
    q.log(6, "%s\n", "gone");
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot open log file " + p + ": Not a directory"), std::string::npos) << err;
    EXPECT_STREQ(log_file_shown_name(st()), "");
}

TEST_F(LogFile, HeldFileIsNamedButNeitherCreatedNorEmptied)
{
    std::string p = dir / "h.log";
    logtest::write_file(p, "running instance\n");
    ASSERT_EQ(log_file_hold(st(), "h.log"), 0);  // relative: against the current directory
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(std::string(st()->name), std::string(cwd) + "/h.log");
    EXPECT_STREQ(log_file_shown_name(st()), st()->name);  // a file that would open
    ASSERT_EQ(log_file_hold(st(), (dir / "none/h.log").c_str()), 0);
    EXPECT_STREQ(log_file_shown_name(st()), "");  // its directory is missing
    ASSERT_EQ(log_file_hold(st(), p.c_str()), 0);
    q.c->file_on.store(1);
    q.log(6, "%s\n", "from a client run");
    EXPECT_EQ(read_file(p), "running instance\n");
    std::string name = st()->name;
    open(name);
    EXPECT_EQ(read_file(p), "");
}

TEST(LogFileConf, SizeAboveInt32IsRefusedLikeOneBelowTheMinimum)
{
    tmp_dir dir;
    std::string ini = dir / "v.ini";
    logtest::write_file(ini, "[log_big]\nfile_size=3G\n[log_ok]\nfile_size=2G\n[log_typo]\nfile_size=2abcM\n");
    configure_default();
    testutil::log_capture cap;
    struct log2 *a = log2_init(ini.c_str(), "big");
    ASSERT_NE(a, log_ctx_get(nullptr));
    EXPECT_EQ(log_file_size_get(&a->file), LOG_FILE_SIZE_DEFAULT);
    EXPECT_TRUE(cap.has("[log_big] file_size=3G is above 2G, 2097152 is used\n")) << cap.get();
    EXPECT_EQ(log2_ioctl(a, LOG_IOC_FILE_SIZE, (intptr_t)0x80000000ll, 0), -1);
    EXPECT_EQ(log_file_size_get(&a->file), LOG_FILE_SIZE_DEFAULT);
    configure_default();
    struct log2 *b = log2_init(ini.c_str(), "ok");
    EXPECT_EQ(log_file_size_get(&b->file), INT32_MAX) << "2G, the top of the range";
    ASSERT_NE(b, log_ctx_get(nullptr));
    configure_default();
    struct log2 *t = log2_init(ini.c_str(), "typo");
    EXPECT_EQ(log_file_size_get(&t->file), LOG_FILE_SIZE_DEFAULT);
    EXPECT_TRUE(cap.has("[log_typo] file_size=2abcM is not a size, 2097152 is used\n")) << cap.get();
    log2_exit(a);
    log2_exit(b);
    log2_exit(t);
}

// A file_mode other than a or w (a typo) loses nothing: the file is opened
// for appending, and the value is named on standard error with the file.
TEST(LogFileConf, AModeTypoAppendsAndIsTold)
{
    tmp_dir dir;
    std::string ini = dir / "v.ini";
    logtest::write_file(dir / "m.log", "kept\n");
    logtest::write_file(ini, "[log_m]\nfile_mode=append\nfile=" + dir.path + "/m.log\n");
    configure_default();
    testing::internal::CaptureStderr();
    struct log2 *c = log2_init(ini.c_str(), "m");
    std::string err = testing::internal::GetCapturedStderr();
    c->con_on.store(0);
    log2_printf(c, 3, "m", "f", 1, "fn", "appended\n");
    EXPECT_EQ(err, "test_liblog: [log_m] file_mode=append is not a or w: the log file " + dir.path +
                       "/m.log is opened for appending (nothing is emptied)\n");
    std::string text = read_file(dir / "m.log");
    EXPECT_EQ(text.rfind("kept\n", 0), 0u);
    EXPECT_NE(text.find("appended"), std::string::npos);
    log2_exit(c);
}

TEST(LogFileConf, EveryKeyReachesTheOutputsAndTheDump)
{
    tmp_dir dir;
    std::string ini = dir / "v.ini";
    mkdir((dir / "logs").c_str(), 0755);
    logtest::write_file(dir / "logs/keep.log", "kept\n");
    logtest::write_file(ini, "[log_all]\nlevel=noti\nflags=no_colour|time\nsyslog=udp://127.0.0.1:9\n"
                             "bsvlog=udp://127.0.0.1:7\nfile_dir=" + dir.path + "/logs\nfile_mode=a\n"
                             "file=keep.log\nfile_size=64K\n");
    configure_default();
    struct log2 *c = log2_init(ini.c_str(), "all");
    ASSERT_NE(c, log_ctx_get(nullptr));
    char *dump = log_info_dump(c);
    ASSERT_NE(dump, nullptr);
    EXPECT_EQ(std::string(dump), "log_level=noti\nlog_shell_enale_out=1\nlog_file_enale_out=1\nlog_file_name=" +
                                     dir.path + "/logs/keep.log\nlog_file_max_size=65536\n"
                                     "log_syslog_enale_out=1\nlog_syslog_url=udp://127.0.0.1:9\n"
                                     "log_bsvlog_url=udp://127.0.0.1:7\n");
    os_free(dump);
    EXPECT_EQ(c->flags.load(), (u32)LOG_F_TIME);
    c->con_on.store(0);
    c->syslog_on.store(0);
    log2_printf(c, 5, "m", "f", 1, "fn", "noted\n");
    log2_printf(c, 6, "m", "f", 1, "fn", "filtered\n");
    std::string text = read_file(dir / "logs/keep.log");
    EXPECT_EQ(text.rfind("kept\n", 0), 0u);
    EXPECT_NE(text.find("NOTI "), std::string::npos);
    EXPECT_EQ(text.find("filtered"), std::string::npos);
    log2_exit(c);
}

TEST(LogFileConf, DumpShowsWhatIsInEffectAndRefusedValuesAreTold)
{
    tmp_dir dir;
    std::string ini = dir / "v.ini";
    logtest::write_file(ini, "[log_bad]\nsyslog=127.0.0.1\nbsvlog=127.0.0.1:25197\nfile=" + dir.path +
                                 "/none/x.log\n");
    configure_default();
    testing::internal::CaptureStderr();
    struct log2 *c = log2_init(ini.c_str(), "bad");
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(c, log_ctx_get(nullptr));
    EXPECT_NE(err.find("test_liblog: bsvlog 127.0.0.1:25197: not a URL (udp://host[:port] or "
                       "udps://host[:port])\n"), std::string::npos) << err;
    EXPECT_NE(err.find("test_liblog: syslog 127.0.0.1: not a URL"), std::string::npos) << err;
    char *dump = log_info_dump(c);
    ASSERT_NE(dump, nullptr);
    // The name stays for the retry; the switches stay as set.
    EXPECT_STREQ(c->file.name, (dir.path + "/none/x.log").c_str());
    EXPECT_NE(std::string(dump).find("log_file_enale_out=1\nlog_file_name=''\nlog_file_max_size=2097152\n"
                                     "log_syslog_enale_out=0\nlog_syslog_url=127.0.0.1\nlog_bsvlog_url=''\n"),
              std::string::npos) << dump;
    EXPECT_EQ(c->syslog_on.load(), 1);
    os_free(dump);
    log2_exit(c);
}

TEST(LogOutputLock, RecordsLoggedWhileHoldingTheLockReachTheConsoleAndLastLog)
{
    quiet_ctx q;
    q.c->con_on.store(1);
    testing::internal::CaptureStderr();
    {
        log_output_lock g(q.c);
        log_output_lock again(q.c);  // the same thread may take it again
        q.log(6, "%s\n", "nested");
    }
    q.log(6, "%s\n", "after");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("nested\n"), std::string::npos);
    EXPECT_NE(err.find("after\n"), std::string::npos);
    EXPECT_NE(std::string(log_last_log_get(q.c)).find("nested"), std::string::npos);
}

// Threads that find the output busy leave their records to the thread
// that holds it; each record is in the file once its call returns, whole,
// once, and after the earlier records of its thread.
TEST(LogFileConcurrency, RecordsOfManyThreadsAreInTheFileWhenTheirCallsReturn)
{
    tmp_dir dir;
    quiet_ctx q;
    std::string p = dir / "g.log";
    ASSERT_EQ(log_file_open(&q.c->file, p.c_str()), 0);
    q.c->file_on.store(1);
    const int threads = 8, per = 400;
    std::atomic<int> missing{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < per; ++i) {
                std::string rec = "t" + std::to_string(t) + " n" + std::to_string(i) + ".";
                q.log(6, "%s\n", rec);
                if (i % 40 == 0 && read_file(p).find(rec) == std::string::npos) ++missing;
            }
        });
    for (auto &t : ts) t.join();
    EXPECT_EQ(missing.load(), 0);
    auto lines = lines_of(read_file(p));
    ASSERT_EQ(lines.size(), (size_t)(threads * per));
    std::vector<int> next(threads, 0);
    for (auto &l : lines) {
        ASSERT_TRUE(testutil::text_like(l.c_str(), "{d}-{dd}-{dd} {*} INFO  {d} --- [{*}] tmod t{d} n{d}.")) << l;
        size_t at = l.rfind(" t");
        int t = std::stoi(l.substr(at + 2)), i = std::stoi(l.substr(l.find(" n", at) + 2));
        ASSERT_EQ(i, next[t]) << l;
        ++next[t];
    }
}

TEST(LogFileConcurrency, FourThreadsAtTheLimitKeepWholeLinesAndTheNewest)
{
    tmp_dir dir;
    quiet_ctx q;
    std::string p = dir / "c.log";
    ASSERT_EQ(log_file_size_set(&q.c->file, 16384), 0);
    ASSERT_EQ(log_file_open(&q.c->file, p.c_str()), 0);
    q.c->file_on.store(1);
    std::atomic<off_t> worst{0};
    std::vector<std::thread> ts;
    const int per = 1500;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < per; ++i) {
                q.log(6, "%s\n", "t" + std::to_string(t) + " n" + std::to_string(i) + " " +
                                     std::string(40 + (i * 7 + t) % 80, 'a' + t));
                if (i % 50 == 0) {
                    off_t sz = logtest::file_size(p);
                    off_t w = worst.load();
                    while (sz > w && !worst.compare_exchange_weak(w, sz)) {
                    }
                }
            }
        });
    for (auto &t : ts) t.join();
    q.log(6, "%s\n", "the last record");
    EXPECT_LT(worst.load(), 16384 + 300);
    std::string text = read_file(p);
    EXPECT_LT(text.size(), 16384u);
    auto lines = lines_of(text);
    ASSERT_GT(lines.size(), 10u);
    for (auto &l : lines)
        EXPECT_TRUE(testutil::text_like(l.c_str(), "{d}-{dd}-{dd} {*} INFO  {d} --- [{*}] tmod {*}")) << l;
    EXPECT_NE(lines.back().find("the last record"), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

}  // namespace
