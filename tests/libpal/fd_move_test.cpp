#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "common/child.h"
#include "common/io_faults.h"
#include "libpal/halve_util.h"
#include "libpal/mpcap/mpcap.h"
#include "libpal/os/fd_move.h"

namespace {

using namespace halvetest;

TEST(FdMove, MovesTheEndDownInSteps)
{
    scratch f;
    std::string data;
    for (int i = 0; i < 300000; ++i) data += (char)('a' + i % 23);
    f.put(data);
    int fd = open(f.path.c_str(), O_RDWR | O_APPEND);
    // Without a marker; through a buffer of the process, in steps, where
    // the system does not copy.
    testutil::faults().arm(fd, EXDEV, "");
    ASSERT_EQ(fd_halve(fd, nullptr, 200000, 300000, 100), 0);
    testutil::faults().disarm();
    ASSERT_EQ(write(fd, "!", 1), 1);  // still appends at the new end
    std::string moved = data.substr(0, 100) + data.substr(200000) + "!";
    EXPECT_EQ(f.bytes(), moved);
    ASSERT_EQ(fd_halve(fd, nullptr, 60000, 100101, 10), 0);
    close(fd);
    EXPECT_EQ(f.bytes(), moved.substr(0, 10) + moved.substr(60000));
    EXPECT_EQ(fd_halve(-1, nullptr, 20, 30, 0), -1);
    EXPECT_EQ(fd_halve(0, nullptr, 10, 20, 11), -1);
}

TEST(FdMove, HalvingStaysInTheSameFileUnderAMarker)
{
    scratch f;
    std::string data;
    for (int i = 0; i < 200000; ++i) data += (char)('a' + i % 23);
    f.put(data);
    int fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    struct stat before, after;
    fstat(fd, &before);
    fd_halve_mark m;
    place(&m, f.path);
    ASSERT_EQ(fd_halve(fd, &m, 150000, 200000, 100), 1);
    ASSERT_EQ(write(fd, "!", 1), 1);  // still appends, at the new end
    EXPECT_EQ(f.bytes(), data.substr(0, 100) + data.substr(150000) + "!");
    fstat(fd, &after);
    EXPECT_EQ(after.st_ino, before.st_ino);
    // The marker stays open and says that nothing is pending.
    std::string mark = f.path + FD_HALVE_MARK_SUFFIX;
    std::ifstream in(mark);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "none" + std::string(FD_HALVE_MARK_LEN - 5, ' ') + "\n");
    // A part that would reach its own bytes is refused, the file untouched.
    EXPECT_EQ(fd_halve(fd, &m, 100, 50101, 0), -1);
    EXPECT_EQ(f.bytes().size(), 50101u);
    // A close that cannot remove it empties it (it then names nothing), and
    // says so.
    testutil::faults().arm(m.dir, 0, "");
    testutil::faults().also(testutil::IO_UNLINK, "F", EPERM);
    fd_halve_mark_close(&m);
    testutil::faults().disarm();
    EXPECT_STREQ(fd_halve_mark_news(&m),
                 ("marker " + mark + " cannot be removed (Operation not permitted); emptied").c_str());
    EXPECT_TRUE(stat(mark.c_str(), &after) == 0 && after.st_size == 0);
    place(&m, f.path);
    // Removed from outside, the marker is made anew; with none to be had
    // (a directory in its place, no name) the halving goes on without one.
    unlink(mark.c_str());
    EXPECT_EQ(fd_halve(fd, &m, 40000, 50101, 0), 1);
    EXPECT_EQ(access(mark.c_str(), F_OK), 0);
    fd_halve_mark_close(&m);
    EXPECT_NE(access(mark.c_str(), F_OK), 0);
    ASSERT_EQ(mkdir(mark.c_str(), 0755), 0);
    place(&m, f.path);
    EXPECT_EQ(fd_halve(fd, &m, 5101, 10101, 0), 0);
    EXPECT_EQ(fd_halve(fd, nullptr, 3000, 5000, 0), 0);
    fd_halve_mark_close(&m);
    rmdir(mark.c_str());
    close(fd);
    EXPECT_EQ(f.bytes(), (data.substr(0, 100) + data.substr(150000) + "!").substr(48101));
}

// An open that finds the marker of a halving cut short by a kill finishes
// it, wherever the kill struck; a marker that fails a check (names another
// file, does not fit the file, is not the program's text byte for byte) is
// removed and told, and nothing of it is used: the file is left as it is.
TEST(FdMove, AnOpenFinishesAHalvingThatAKillCutShort)
{
    scratch f;
    std::string data;
    for (int i = 0; i < 200000; ++i) data += (char)('a' + i % 23);
    std::string mark = f.path + FD_HALVE_MARK_SUFFIX, want = data.substr(0, 100) + data.substr(150000);
    std::string told;
    auto resume = [&] {
        int fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
        fd_halve_mark m;
        place(&m, f.path);
        int rc = fd_halve_resume(fd, &m);
        const char *news = fd_halve_mark_news(&m);
        told = news ? news : "";
        fd_halve_mark_close(&m);
        close(fd);
        EXPECT_NE(access(mark.c_str(), F_OK), 0);
        return rc;
    };
    for (i64 copied : {0, 1, 30000, 50000, -1}) {
        f.put(data);
        testutil::halving_cut_short(f.path, 150000, 200000, 100, copied);
        EXPECT_EQ(resume(), 1) << copied;
        EXPECT_EQ(f.bytes(), want) << copied;
    }
    auto left_alone = [&](const std::string &text, const std::string &file, const std::string &why) {
        f.put(file);
        std::ofstream(mark) << text;
        EXPECT_EQ(resume(), 0) << text;
        EXPECT_EQ(f.bytes(), file) << text;
        EXPECT_EQ(told, "marker " + mark + " not followed: " + why + "; removed");
    };
    f.put(data);
    struct stat sb;
    stat(f.path.c_str(), &sb);
    char t[FD_HALVE_MARK_LEN];
    fd_halve_mark_text(t, (u64)sb.st_dev, (u64)sb.st_ino + 1, 150000, 200000, 100);
    left_alone(std::string(t, sizeof t), data, "it names another file");
    fd_halve_mark_text(t, (u64)sb.st_dev, (u64)sb.st_ino, 150000, 200000, 100);
    std::string pending(t, sizeof t), bad = "it holds no marker text";
    left_alone(pending, data.substr(0, 190000), "it does not fit the file's size (190000 bytes)");
    left_alone(pending.substr(0, 60), data, bad);  // cut short
    left_alone(pending.substr(0, 20) + std::string(FD_HALVE_MARK_LEN - 21, ' ') + "\n", data, bad);
    left_alone(std::string(t, sizeof t).replace(120, 1, "x"), data, bad);  // written over in part
    // A write-back's marker with a padding byte changed: its verb is not
    // acted on either.
    fd_halve_mark_text(t, (u64)sb.st_dev, (u64)sb.st_ino, 150000, 200000, 100, true);
    left_alone(std::string(t, sizeof t).replace(120, 1, "x"), data.substr(0, 30000), bad);
    fd_halve_mark_text(t, (u64)sb.st_dev, (u64)sb.st_ino, 100000, 200000, 100);
    left_alone(std::string(t, sizeof t), data, bad);  // a copy onto its own bytes
    // A link where the marker goes is removed, not followed.
    scratch other;
    other.put(pending);
    f.put(data);
    ASSERT_EQ(symlink(other.path.c_str(), mark.c_str()), 0);
    EXPECT_EQ(resume(), 0);
    EXPECT_EQ(f.bytes(), data);
    EXPECT_EQ(other.bytes(), pending);
}

// A marker is followed only when it is the program's own: any other (a
// FIFO, one that others may write, a second link, a link, another user's)
// is removed and said once, the file left as it is; and a halving never
// takes over a file it finds at the marker's name: it removes it, and says
// so when it is not the program's own.
TEST(FdMove, AMarkerThatIsNotTheProgramsOwnIsNeitherFollowedNorUsed)
{
    scratch f, other;
    std::string data;
    for (int i = 0; i < 200000; ++i) data += (char)('a' + i % 23);
    std::string mark = f.path + FD_HALVE_MARK_SUFFIX;
    f.put(data);
    struct stat sb;
    ASSERT_EQ(stat(f.path.c_str(), &sb), 0);
    char t[FD_HALVE_MARK_LEN];
    fd_halve_mark_text(t, (u64)sb.st_dev, (u64)sb.st_ino, 150000, 200000, 100);
    auto write_mark = [&](mode_t mode) {
        int m = open(mark.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
        ASSERT_EQ(write(m, t, sizeof t), (ssize_t)sizeof t);
        fchmod(m, mode);
        close(m);
    };
    fd_halve_mark m;
    place(&m, f.path);
    auto planted = [&](const std::string &why, auto plant) {
        f.put(data);
        plant();
        int fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
        EXPECT_EQ(fd_halve_resume(fd, &m), 0) << why;
        close(fd);
        EXPECT_EQ(f.bytes(), data) << why;
        EXPECT_NE(access(mark.c_str(), F_OK), 0) << why;
        const char *news = fd_halve_mark_news(&m);
        EXPECT_EQ(news ? std::string(news) : "", "marker " + mark + " not followed: " + why + "; removed");
        EXPECT_EQ(fd_halve_mark_news(&m), nullptr) << "told once";
    };
    planted("a FIFO", [&] { ASSERT_EQ(mkfifo(mark.c_str(), 0644), 0); });
    planted("a FIFO", [&] { ASSERT_EQ(mkfifo(mark.c_str(), 0644), 0); });  // each one told
    planted("writable by group or others", [&] { write_mark(0664); });
    planted("a file of 2 links", [&] {
        write_mark(0644);
        ASSERT_EQ(link(mark.c_str(), other.path.c_str()), 0);
    });
    planted("a symbolic link", [&] { ASSERT_EQ(symlink(other.path.c_str(), mark.c_str()), 0); });
    if (geteuid() == 0)
        planted("a file of uid 65534", [&] {
            write_mark(0644);
            ASSERT_EQ(chown(mark.c_str(), 65534, 65534), 0);
        });
    // A halving removes what stands at the marker's name and makes its own.
    f.put(data);
    write_mark(0666);
    int theirs = open(mark.c_str(), O_RDONLY | O_CLOEXEC);
    int fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    EXPECT_EQ(fd_halve(fd, &m, 150000, 200000, 100), 1);
    struct stat held, now;
    fstat(theirs, &held);
    ASSERT_EQ(stat(mark.c_str(), &now), 0);
    EXPECT_NE(now.st_ino, held.st_ino);
    EXPECT_EQ(now.st_mode & 0777, 0644u);
    EXPECT_EQ(pread(theirs, t, 8, 0), 8);
    EXPECT_EQ(std::string(t, 8), "halving ") << "their file is not written";
    close(theirs);
    const char *news = fd_halve_mark_news(&m);
    EXPECT_EQ(news ? std::string(news) : "", "marker " + mark + " not followed: writable by group or others; removed");
    ASSERT_EQ(unlink(mark.c_str()), 0);
    ASSERT_EQ(mkfifo(mark.c_str(), 0644), 0);
    EXPECT_EQ(fd_halve(fd, &m, 30000, 50100, 0), 1);
    EXPECT_EQ(stat(mark.c_str(), &now), 0);
    EXPECT_TRUE(S_ISREG(now.st_mode));
    news = fd_halve_mark_news(&m);
    EXPECT_EQ(news ? std::string(news) : "", "marker " + mark + " not followed: a FIFO; removed");
    close(fd);
    fd_halve_mark_close(&m);
}

// Lines of 100 bytes as the records of a file: the end of the last whole
// one.
i64 line_end(int fd, i64 from, i64 size, const void *)
{
    std::string b((size_t)(size - from), 0);
    if (pread(fd, b.data(), b.size(), from) != (ssize_t)b.size()) return -1;
    size_t nl = b.rfind('\n');
    return nl == std::string::npos ? from : from + (i64)nl + 1;
}

std::string marker_of(const std::string &path)
{
    std::ifstream in(path + FD_HALVE_MARK_SUFFIX);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A halving whose copy fails keeps the newest part: refused before a byte
// went over, the file stays as it was, over its limit; refused later, the
// kept part is read from its source and written back; a write-back that
// stops part way is cut back to its last whole record and says what it
// lost. A cut that is refused leaves the part whole at its source and says
// where; the marker keeps that for the next open. Whatever failed, the
// descriptor writes at the file's end after. An open's resume keeps the
// same rules, and a kill inside the write-back loses only what was not
// written back, said in the marker's finding.
TEST(FdMove, AFailedCopyNeverLosesTheNewestPart)
{
    scratch f;
    std::string data;
    for (int i = 0; i < 4000; ++i) {
        std::string l = "line " + std::to_string(i) + " ";
        data += l + std::string(99 - l.size(), 'a' + i % 23) + "\n";
    }
    std::string kept = data.substr(200000), mark = f.path + FD_HALVE_MARK_SUFFIX;
    auto &faults = testutil::faults();
    fd_halve_mark m;
    // One halving of [200000, 400000) down to 0 with the pwrite calls
    // planned (also the marker's, with marked), and the ftruncate calls;
    // its result, or -errno.
    auto halve = [&](const char *pwrites, long short_n, const char *cuts = "", int flags = O_APPEND,
                     bool marked = false) {
        f.put(data);
        int fd = open(f.path.c_str(), O_RDWR | flags | O_CLOEXEC);
        place(&m, f.path, line_end);
        faults.arm(fd, ENOSPC, pwrites, short_n);
        faults.also(testutil::IO_FTRUNCATE, cuts);
        if (marked) faults.also_file(m.path);
        int rc = fd_halve(fd, &m, 200000, 400000, 0);
        int eno = errno;
        faults.disarm();
        EXPECT_EQ(write(fd, "!", 1), 1);
        close(fd);
        return rc < 0 ? -eno : rc;
    };
    auto done = [&](const char *what) {
        EXPECT_EQ(marker_of(f.path).substr(0, 5), "none ") << what;
        EXPECT_EQ(m.whole_from, 0) << what;
        fd_halve_mark_close(&m);
        EXPECT_NE(access(mark.c_str(), F_OK), 0) << what;
    };
    EXPECT_EQ(halve("F", 0), -ENOSPC);
    EXPECT_EQ(f.bytes(), data + "!");
    done("refused before a byte");
    EXPECT_EQ(halve("pf", 0), -ENOSPC);  // the first 64 KiB went over
    EXPECT_EQ(f.bytes(), kept + "!");
    EXPECT_EQ(m.lost, 0);
    done("written back");
    for (int flags : {O_APPEND, 0}) {
        EXPECT_EQ(halve("pfsF", 1050, "", flags), -ENOSPC);
        EXPECT_EQ(f.bytes(), kept.substr(0, 1000) + "!") << "cut to its last whole line, written behind it";
        EXPECT_EQ(m.lost, 199000);
        done("written back in part");
    }
    // The kept part cannot be read back: the front stays written over, the
    // part whole at its source, and the marker says so.
    faults.also(testutil::IO_PREAD, "");
    {
        f.put(data);
        int fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
        place(&m, f.path, line_end);
        faults.arm(fd, ENOSPC, "sf", 1000);
        faults.also(testutil::IO_PREAD, "pf", EIO);
        EXPECT_EQ(fd_halve(fd, &m, 200000, 400000, 0), -1);
        faults.disarm();
        close(fd);
        EXPECT_EQ(f.bytes(), kept.substr(0, 1000) + data.substr(1000));
        EXPECT_EQ(m.whole_from, 200000);
        EXPECT_EQ(marker_of(f.path).substr(0, 8), "halving ");
        fd_halve_mark_close(&m);
    }
    EXPECT_EQ(halve("", 0), 1) << "copy_file_range refused alone: through a buffer";
    EXPECT_EQ(f.bytes(), kept + "!");
    done("through a buffer");
    // The marker's rewrite text refused: no write-back without it; the part
    // stays whole at its source, under the copy's marker.
    EXPECT_EQ(halve("ppff", 0, "", O_APPEND, true), -ENOSPC);
    EXPECT_EQ(f.bytes(), kept.substr(0, 65536) + data.substr(65536) + "!");
    EXPECT_EQ(m.whole_from, 200000);
    EXPECT_EQ(marker_of(f.path).substr(0, 8), "halving ");
    fd_halve_mark_close(&m);
    // Its first text refused (a full disk), or stopped part way and not to
    // be taken back: the marker is let go, and said once; the halving goes
    // on without it.
    for (auto [pwrites, cuts] : {std::pair{"f", ""}, {"sf", "f"}}) {
        EXPECT_EQ(halve(pwrites, 1, cuts, O_APPEND, true), 0);
        EXPECT_EQ(f.bytes(), kept + "!");
        EXPECT_NE(access(mark.c_str(), F_OK), 0);
        EXPECT_STREQ(fd_halve_mark_news(&m),
                     ("marker " + mark + " could not be written (No space left on device); removed").c_str());
        fd_halve_mark_close(&m);
    }
    // Its none refused after the halving: the marker is removed, and said.
    EXPECT_EQ(halve("pppppf", 0, "", O_APPEND, true), 1);
    EXPECT_EQ(f.bytes(), kept + "!");
    EXPECT_NE(access(mark.c_str(), F_OK), 0);
    const char *why = fd_halve_mark_news(&m);
    EXPECT_EQ(why ? std::string(why) : "", "marker " + mark + " could not be written (No space left on device); removed");
    fd_halve_mark_close(&m);
    // The cut refused: the copy in front, the part at its source, the next
    // record behind it.
    EXPECT_EQ(halve("", 0, "F"), -ENOSPC);
    EXPECT_EQ(f.bytes(), kept + kept + "!");
    EXPECT_EQ(m.whole_from, 200000);
    EXPECT_EQ(marker_of(f.path).substr(0, 8), "halving ");
    fd_halve_mark_close(&m);
    EXPECT_EQ(access(mark.c_str(), F_OK), 0) << "a pending marker stays for the next open";
    int fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    place(&m, f.path, line_end);
    EXPECT_EQ(fd_halve_resume(fd, &m), 0);
    EXPECT_EQ(m.whole_from, 200000) << "the next open knows where the whole records start";
    EXPECT_EQ(f.bytes(), kept + kept + "!");
    // The write-back fails part way and its cut is refused: the records are
    // whole from the end on, and so the marker says.
    fd_halve_mark_close(&m);
    close(fd);
    EXPECT_EQ(halve("pfsF", 1050, "pF"), -ENOSPC);
    EXPECT_EQ(f.bytes(), kept.substr(0, 1050) + "!");
    EXPECT_EQ(m.whole_from, 1050);
    fd_halve_mark_close(&m);
    fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    place(&m, f.path, line_end);
    EXPECT_EQ(fd_halve_resume(fd, &m), 0);
    EXPECT_EQ(m.whole_from, 1050);
    fd_halve_mark_close(&m);
    close(fd);
    // A resume whose copy is refused keeps the marker; the next one
    // finishes it.
    f.put(data);
    testutil::halving_cut_short(f.path, 200000, 400000, 0, 1000);
    fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    place(&m, f.path, line_end);
    faults.arm(fd, ENOSPC, "F");
    EXPECT_EQ(fd_halve_resume(fd, &m), -1);
    faults.disarm();
    EXPECT_EQ(access(mark.c_str(), F_OK), 0) << "stays for the next open";
    EXPECT_EQ(f.bytes().substr(1000), data.substr(1000));
    EXPECT_EQ(fd_halve_resume(fd, &m), 1);
    EXPECT_EQ(f.bytes(), kept);
    fd_halve_mark_close(&m);
    close(fd);
    // Killed inside the write-back: the file cut at 0 holds 1050 bytes of
    // the part. The open cuts it to its last whole line and says the loss;
    // the same when that cut is refused. Under the copy's marker the file
    // is not at a size a copy leaves: it is refused, the file left alone.
    for (const char *cuts : {"", "F", "copy"}) {
        bool copy = !strcmp(cuts, "copy");
        f.put(kept.substr(0, 1050));
        testutil::mark_pending(f.path, 200000, 400000, 0, !copy);
        fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
        place(&m, f.path, line_end);
        faults.arm(fd, 0, "");
        faults.also(testutil::IO_FTRUNCATE, copy ? "" : cuts);
        EXPECT_EQ(fd_halve_resume(fd, &m), copy ? 0 : 1);
        faults.disarm();
        EXPECT_EQ(write(fd, "!", 1), 1);
        EXPECT_EQ(f.bytes(), kept.substr(0, *cuts ? 1050 : 1000) + "!");
        const char *news = fd_halve_mark_news(&m);
        EXPECT_EQ(news ? std::string(news) : "",
                  copy ? "marker " + mark + " not followed: it does not fit the file's size (1050 bytes); removed"
                       : "a halving of " + f.path + " was cut short while its newest part was written back: 199000 "
                                                     "bytes of it were lost");
        EXPECT_NE(access(mark.c_str(), F_OK), 0);
        fd_halve_mark_close(&m);
        close(fd);
    }
}

// After a crash report has begun no halving starts: the file is left as
// it is, and the halving says why.
TEST(FdMove, NoHalvingStartsOnceStopped)
{
    scratch f;
    std::string data = kHdr;
    for (u32 k = 0; k < 40; ++k) data += packet(k, 84, 'p');  // at 24 + 100 k
    f.put(data);
    EXPECT_EQ(testutil::in_child([&] {
                  int fd = open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
                  fd_halve_mark m;
                  place(&m, f.path);
                  fd_halve_stop();
                  int rc = fd_halve(fd, &m, 2024, 4024, 24);
                  bool quiet = pcap_trim_fd(fd, &m, 2048, 0) == 0;
                  return rc == -1 && errno == ECANCELED && quiet && access((f.path + FD_HALVE_MARK_SUFFIX).c_str(), F_OK) != 0 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(f.bytes(), data);
}

}  // namespace
