// The capture file: append or replace, the text line form, time stamps, and a
// file system that fills up or a file that vanishes under a running capture.
#include "CaptureWriter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct TempDir {
    std::string Path;
    TempDir() {
        char tmpl[] = "/tmp/capture-test-XXXXXX";
        Path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + Path + "'").c_str()); }
    std::string File(const char* name) const { return Path + "/" + name; }
};

void Feed(TCaptureWriter& w, std::string_view bytes) {
    for (const char c : bytes)
        w.Rx(static_cast<std::uint8_t>(c));
}

// A fixed clock: 2026-03-04 05:06:07.089 local time, advanced by the test.
struct FixedClock {
    std::chrono::system_clock::time_point T;
    FixedClock() {
        std::tm tm{};
        tm.tm_year = 126;
        tm.tm_mon = 2;
        tm.tm_mday = 4;
        tm.tm_hour = 5;
        tm.tm_min = 6;
        tm.tm_sec = 7;
        tm.tm_isdst = -1;
        T = std::chrono::system_clock::from_time_t(std::mktime(&tm)) +
            std::chrono::milliseconds(89);
    }
};
} // namespace

TEST(CaptureWriter, AppendsUnlessToldToReplaceAndClosesOnExec) {
    TempDir d;
    const std::string f = d.File("raw.bin");
    { std::ofstream(f) << "old"; }
    TCaptureWriter w;
    ASSERT_TRUE(w.Open(f, {}));
    EXPECT_TRUE(fcntl(w.Fd(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(w.Fd(), F_GETFL) & O_APPEND);
    const std::string all = [] {
        std::string s;
        for (int i = 0; i < 256; ++i)
            s.push_back(static_cast<char>(i));
        return s;
    }();
    Feed(w, all);
    EXPECT_EQ(ReadFile(f), "old"); // buffered until flushed
    ASSERT_TRUE(w.Flush());
    EXPECT_EQ(ReadFile(f), "old" + all);
    Feed(w, "tail");
    ASSERT_TRUE(w.Close());
    EXPECT_EQ(ReadFile(f), "old" + all + "tail");
    EXPECT_EQ(w.BytesIn(), 260u);

    TCaptureOptions replace;
    replace.Replace = true;
    ASSERT_TRUE(w.Open(f, replace));
    Feed(w, "new");
    w.Close();
    EXPECT_EQ(ReadFile(f), "new");

    // A small buffer goes to disk as it fills.
    TCaptureOptions small;
    small.BufferSize = 4;
    ASSERT_TRUE(w.Open(f, small));
    Feed(w, "12345");
    EXPECT_EQ(ReadFile(f), "new1234");
    w.Close();
}

TEST(CaptureWriter, RefusesWhatItCannotOpen) {
    TempDir d;
    TCaptureWriter w;
    EXPECT_FALSE(w.Open(d.File("no/such/dir/x"), {}));
    EXPECT_NE(w.Error().find("No such file"), std::string::npos) << w.Error();
    EXPECT_FALSE(w.Open(d.Path, {}));
    EXPECT_FALSE(w.Error().empty());
    Feed(w, "ignored"); // nothing open: nothing happens
    EXPECT_EQ(w.BytesIn(), 0u);
}

TEST(CaptureWriter, TextLinesFollowTheAsciiViewWithTimeStamps) {
    TempDir d;
    const std::string f = d.File("text.log");
    FixedClock clock;
    TCaptureWriter w;
    w.Now = [&] { return clock.T; };
    TCaptureOptions text;
    text.Format = TCaptureFormat::cfText;
    ASSERT_TRUE(w.Open(f, text));
    // CR LF ends a line; a lone LF only arms the flag (A B LF C D LF E: "ABCD", then E);
    // control bytes show as dots; byte 0xE9 is e acute; 61 characters wrap at 60.
    Feed(w, "one\r\n");
    clock.T += std::chrono::milliseconds(1500);
    Feed(w, "AB\nCD\nE\x01\xE9\r\n");
    Feed(w, std::string(61, 'x') + "\r\n" + "open");
    ASSERT_TRUE(w.Flush());
    const std::string t0 = "2026-03-04T05:06:07.089 ";
    const std::string t1 = "2026-03-04T05:06:08.589 ";
    const std::string done = t0 + "one\n" + t1 + "ABCD\n" + t1 + "E.\xC3\xA9\n" + t1 +
                             std::string(60, 'x') + "\n" + t1 + "x\n";
    EXPECT_EQ(ReadFile(f), done); // the open line waits for its end
    w.Close();
    EXPECT_EQ(ReadFile(f), done + t1 + "open\n");
}

TEST(CaptureWriter, BothDirectionsAreMarked) {
    TempDir d;
    const std::string f = d.File("both.log");
    FixedClock clock;
    TCaptureWriter w;
    w.Now = [&] { return clock.T; };
    TCaptureOptions both;
    both.Format = TCaptureFormat::cfTextBoth;
    ASSERT_TRUE(w.Open(f, both));
    w.Tx("AT\r\n");
    Feed(w, "OK\r\n");
    w.Close();
    const std::string t = "2026-03-04T05:06:07.089 ";
    EXPECT_EQ(ReadFile(f), t + "TX AT\n" + t + "RX OK\n");

    TCaptureWriter raw; // the raw form keeps received bytes only
    ASSERT_TRUE(raw.Open(d.File("raw"), {}));
    raw.Tx("AT\r\n");
    Feed(raw, "OK");
    raw.Close();
    EXPECT_EQ(ReadFile(d.File("raw")), "OK");
}

TEST(CaptureWriter, FullFileSystemStopsAndKeepsAPrefix) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    TempDir d;
    const std::string mnt = d.File("small");
    mkdir(mnt.c_str(), 0755);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount tmpfs: " << std::strerror(errno);
    struct Unmount {
        std::string P;
        ~Unmount() { umount2(P.c_str(), MNT_DETACH); }
    } unmount{mnt};
    std::string stream(256 * 1024, '\0');
    for (std::size_t i = 0; i < stream.size(); ++i)
        stream[i] = static_cast<char>(i * 7 + i / 251);
    const std::string f = mnt + "/cap.bin";
    TCaptureWriter w;
    TCaptureOptions o;
    o.BufferSize = 16 * 1024;
    ASSERT_TRUE(w.Open(f, o));
    Feed(w, stream);
    EXPECT_FALSE(w.Flush());
    EXPECT_TRUE(w.Failed());
    EXPECT_NE(w.Error().find("No space left"), std::string::npos) << w.Error();
    EXPECT_FALSE(w.IsOpen());
    const std::string kept = ReadFile(f);
    EXPECT_GT(kept.size(), 0u);
    EXPECT_LT(kept.size(), stream.size());
    EXPECT_EQ(kept, stream.substr(0, kept.size()));
    EXPECT_EQ(w.BytesWritten(), kept.size());
}

TEST(CaptureWriter, RemovedFileEndsTheCaptureAtTheNextFlush) {
    TempDir d;
    const std::string f = d.File("gone.bin");
    TCaptureWriter w;
    ASSERT_TRUE(w.Open(f, {}));
    Feed(w, "abc");
    ASSERT_TRUE(w.Flush());
    ::unlink(f.c_str());
    Feed(w, "def");
    EXPECT_FALSE(w.Flush());
    EXPECT_NE(w.Error().find("removed"), std::string::npos) << w.Error();
    Feed(w, "ghi");
    EXPECT_FALSE(w.Flush()); // stays stopped, with the first reason
    EXPECT_NE(w.Error().find("removed"), std::string::npos);
}
