// A settings file shared by several programs and edited by hand: comment
// lines, a byte-order mark, LF line ends, transactions under the lock, the
// temporaries a killed writer leaves, and failures that must be told.
#include "IniEditor.h"
#include "ProfileFile.h"
#include "TempDir.h"

#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>

using namespace profile;
using Strings = std::vector<std::string>;

namespace {

const std::string Def = "<default>";

class SharedFileTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string file = dir / "s.ini";
};

TEST_F(SharedFileTest, CommentLinesAreNeverEntriesAndStayInPlace) {
    const std::string text = "[Sessions]\r\n; see http://x/?y=z\r\nLab= \r\n  # old=1\r\n"
                             "[Old]\r\nx=1\r\n# COM2=/dev/old\r\n[Keep]\r\ny=2\r\n";
    WriteFile(file, text);
    EXPECT_EQ(GetEntryNames(file, "Sessions"), Strings{"Lab"});
    EXPECT_EQ(GetString(file, "Sessions", "; see http://x/?y", Def), Def);
    EXPECT_EQ(GetString(file, "Old", "# COM2", Def), Def);
    ASSERT_TRUE(WriteString(file, "Sessions", "New", " "));
    ASSERT_TRUE(DeleteEntry(file, "Sessions", "Lab"));
    ASSERT_TRUE(DeleteSection(file, "Old"));
    // The new entry follows the last entry line, the comments stay where they were.
    EXPECT_EQ(ReadFile(file), "[Sessions]\r\n; see http://x/?y=z\r\nNew= \r\n  # old=1\r\n"
                              "# COM2=/dev/old\r\n[Keep]\r\ny=2\r\n");
    // An entry of such a name would read back as a comment: refused.
    EXPECT_FALSE(WriteString(file, "Keep", "#1", "x"));
    EXPECT_FALSE(WriteString(file, "Keep", ";x", "x"));
}

TEST_F(SharedFileTest, ByteOrderMarkAndLineEndsOfTheFileAreKept) {
    const std::string bom = "\xEF\xBB\xBF";
    WriteFile(file, bom + "[noname]\r\nBaud1=3\r\n");
    EXPECT_EQ(GetString(file, "noname", "Baud1", Def), "3");
    EXPECT_EQ(GetSectionNames(file), Strings{"noname"});
    ASSERT_TRUE(WriteString(file, "noname", "Baud2", "4"));
    EXPECT_EQ(ReadFile(file), bom + "[noname]\r\nBaud1=3\r\nBaud2=4\r\n");
    ASSERT_TRUE(DeleteSection(file, "noname"));
    ASSERT_TRUE(WriteString(file, "A", "x", "1"));
    EXPECT_EQ(ReadFile(file), bom + "[A]\r\nx=1\r\n");

    WriteFile(file, "[A]\nx=1"); // LF, no line end at the end
    ASSERT_TRUE(WriteString(file, "A", "y", "2"));
    ASSERT_TRUE(WriteString(file, "B", "z", "3"));
    EXPECT_EQ(ReadFile(file), "[A]\nx=1\ny=2\n[B]\nz=3\n");
    ASSERT_EQ(::unlink(file.c_str()), 0);
    ASSERT_TRUE(WriteString(file, "A", "x", "1")); // a new file: CR LF
    EXPECT_EQ(ReadFile(file), "[A]\r\nx=1\r\n");
}

// Names and values are bytes: a Windows-1252 name is found, kept and written
// back as it was.
TEST_F(SharedFileTest, EightBitNamesAndValuesRoundTrip) {
    const std::string text = "[Sessions]\r\nM\xFCller= \r\n[M\xFCller]\r\nName=caf\xE9\r\n";
    WriteFile(file, text);
    EXPECT_EQ(GetEntryNames(file, "Sessions"), Strings{"M\xFCller"});
    EXPECT_EQ(GetString(file, "M\xFCller", "Name", Def), "caf\xE9");
    ASSERT_TRUE(WriteString(file, "M\xFCller", "Name", "caf\xE9"));
    ASSERT_TRUE(WriteString(file, "Sessions", "M\xFCller", " "));
    EXPECT_EQ(ReadFile(file), text);
}

// Four processes each write 40 entries of their own, one write at a time:
// every write is a locked read-modify-replace, so none is lost.
TEST_F(SharedFileTest, ConcurrentWritersLoseNothing) {
    constexpr int Writers = 4, Entries = 40;
    WriteFile(file, "; shared\r\n");
    std::vector<pid_t> kids;
    for (int w = 0; w < Writers; ++w) {
        pid_t pid = ::fork();
        if (pid == 0) {
            bool ok = true;
            for (int i = 0; i < Entries; ++i)
                ok &= WriteString(file, "W" + std::to_string(w), "e" + std::to_string(i),
                                  std::to_string(i));
            ::_exit(ok ? 0 : 1);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int w = 0; w < Writers; ++w)
        EXPECT_EQ(GetEntryNames(file, "W" + std::to_string(w)).size(), std::size_t(Entries)) << w;
    EXPECT_EQ(dir.Count(), 1);
}

// Another program holding the lock makes writes and reads wait for it.
TEST_F(SharedFileTest, WritesAndReadsWaitForTheLockHolder) {
    WriteFile(file, "[A]\r\nx=1\r\n");
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    auto waitedMs = [&](auto op) {
        pid_t pid = ::fork();
        if (pid == 0) {
            auto t0 = std::chrono::steady_clock::now();
            op();
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - t0)
                          .count();
            ::_exit(ms >= 250 ? 1 : 0);
        }
        ::usleep(300 * 1000);
        ::flock(fd, LOCK_UN);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::flock(fd, LOCK_EX);
        return WIFEXITED(status) && WEXITSTATUS(status) == 1;
    };
    EXPECT_TRUE(waitedMs([&] { WriteString(file, "A", "y", "2"); })) << "write did not wait";
    ::close(fd); // the write replaced the file: lock the new one
    fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    EXPECT_TRUE(waitedMs([&] { GetString(file, "A", "y", Def); })) << "read did not wait";
    ::close(fd);
    EXPECT_EQ(GetString(file, "A", "y", Def), "2");
}

TEST_F(SharedFileTest, StaleTemporariesOfOurNamingGoAtTheNextWrite) {
    WriteFile(file, "[A]\r\nx=1\r\n");
    const Strings stale{".s.ini.tmp0123abcd", ".s.ini.tmpdeadbeef"};
    const Strings others{".s.ini.tmp0123abc", ".s.ini.tmp0123abcde", ".s.ini.tmpDEADBEEF",
                         "s.ini.tmp01234567", ".t.ini.tmp01234567",  ".s.ini.bak"};
    for (const auto& n : stale)
        WriteFile(dir / n, std::string(1000, 'x'));
    for (const auto& n : others)
        WriteFile(dir / n, "keep");
    ASSERT_TRUE(WriteString(file, "A", "x", "1")); // no change, still a write
    for (const auto& n : stale)
        EXPECT_FALSE(std::filesystem::exists(dir / n)) << n;
    for (const auto& n : others)
        EXPECT_TRUE(std::filesystem::exists(dir / n)) << n;
}

// Every way a save can fail leaves the old file whole and says why (a full
// disk: with the replacement rules in ProfileFileTest).
TEST_F(SharedFileTest, FailedTransactionsTellWhyAndKeepTheFile) {
    const std::string text = "[A]\r\nx=1\r\n";
    auto write = [](Document& d) { d.WriteString("A", "x", "2"); };
    WriteFile(file, text);
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
    EXPECT_EQ(Update(file, write).reason, "Permission denied");
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);

    std::string link = dir / "dangling.ini";
    ASSERT_EQ(::symlink("nowhere/x.ini", link.c_str()), 0);
    EXPECT_EQ(Update(link, write).reason, "No such file or directory");

    std::string huge = dir / "huge.ini";
    WriteFile(huge, text);
    ASSERT_EQ(::truncate(huge.c_str(), off_t(MaxFileSize) + 1), 0);
    EXPECT_EQ(Update(huge, write).reason, "File too large");

    std::string sub = dir / "ro";
    ASSERT_EQ(::mkdir(sub.c_str(), 0555), 0);
    Outcome o = Update(sub + "/new.ini", write);
    if (::geteuid() != 0) {
        EXPECT_EQ(o.reason, "Permission denied");
    }
    EXPECT_TRUE(Update(sub + "/new.ini", [](Document&) {})); // nothing to write: fine
    EXPECT_EQ(dir.Count(), 4); // s.ini, the link, huge.ini, ro: no temporaries
}

// A transaction of the editor: reads inside see its own writes, the file is
// replaced once at the end, nested calls join, an exception changes nothing.
TEST_F(SharedFileTest, EditorTransactionsReplaceTheFileOnce) {
    TIniEditor ini;
    ini.SetFileName(file);
    ini.SetFileLocation(PathInFileName);
    WriteFile(file, "[Sessions]\r\nold= \r\n");
    std::string during;
    ASSERT_TRUE(ini.Update([&] {
        ini.WriteStr("Sessions", "new", " ");
        std::vector<std::string> names;
        ini.ReadSection("Sessions", names);
        EXPECT_EQ(names, (Strings{"old", "new"}));
        ini.Update([&] { ini.WriteInt("S", "n", 5); });
        EXPECT_EQ(ini.ReadInt("S", "n", 0), 5);
        ini.EraseEntry("Sessions", "old");
        during = ReadFile(file);
    }));
    EXPECT_EQ(during, "[Sessions]\r\nold= \r\n");
    EXPECT_EQ(ReadFile(file), "[Sessions]\r\nnew= \r\n[S]\r\nn=5\r\n");
    EXPECT_THROW(ini.Update([&] {
        ini.WriteStr("S", "n", "6");
        throw std::runtime_error("stop");
    }),
                 std::runtime_error);
    EXPECT_EQ(ini.ReadInt("S", "n", 0), 5);
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
    EXPECT_FALSE(ini.Update([&] { ini.WriteInt("S", "n", 7); }));
    EXPECT_EQ(ini.LastError(), file + ": Permission denied");
}

} // namespace
