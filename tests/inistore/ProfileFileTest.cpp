// The profile-file service on real files: the file syntax, rewriting, and
// files that are not what they should be.
#include "ProfileFile.h"
#include "TempDir.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

using namespace profile;
using Strings = std::vector<std::string>;

namespace {

const std::string Def = "<default>", Small = "[A]\r\nx=1\r\n";

class ProfileFileTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string file = dir / "s.ini";
};

// The file's status, all zero when there is none.
struct stat Stat(const std::string& path, bool ofLink = false) {
    struct stat st = {};
    (ofLink ? ::lstat : ::stat)(path.c_str(), &st);
    return st;
}

// The exit status of f() run in a child process (-1 when it did not exit).
template <class F> int InChild(F f) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(f());
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                             : -1;
}

TEST_F(ProfileFileTest, ReadsByTheFileSyntax) {
    const struct {
        const char* what;
        std::string content, section, entry, expected;
    } cases[] = {
        {"LF only", "[A]\nx=1\ny=2\n", "A", "y", "2"},
        {"letter case", "[Options]\r\nHints=1\r\n", "OPTIONS", "hINTS", "1"},
        {"first entry wins", "[A]\r\nx=1\r\nX=2\r\n", "A", "x", "1"},
        {"first section wins", "[A]\r\ny=1\r\n[a]\r\nx=2\r\n", "A", "x", Def},
        {"blanks around section name", " [ A ] trailing\r\nx=1\r\n", "A", "x", "1"},
        {"double quotes removed", "[A]\r\nx= \" v \" \r\n", "A", "x", " v "},
        {"single quotes removed", "[A]\r\nx='v'\r\n", "A", "x", "v"},
        {"unmatched quotes kept", "[A]\r\nx=\"v'\r\n", "A", "x", "\"v'"},
        {"lone quote kept", "[A]\r\nx=\"\r\n", "A", "x", "\""},
        {"entries before any section", "x=1\r\n[A]\r\n", "A", "x", Def},
        {"empty section line ends section", "[A]\r\n[]\r\nx=1\r\n", "A", "x", Def},
        {"comment lines ignored", "; note\r\n[A]\r\n# x=2 is not x\r\nx=1\r\n", "A", "x", "1"},
        {"value cut at NUL", std::string("[A]\r\nx=ab\0cd\r\n", 14), "A", "x", "ab"},
        {"CR inside a line kept", "[A]\r\nx=a\rb\r\n", "A", "x", "a\rb"},
        {"argument trimmed", Small, " A ", " x\t", "1"},
        {"argument cut at NUL", Small, std::string("A\0B", 3), "x", "1"}};
    for (const auto& c : cases) {
        WriteFile(file, c.content);
        EXPECT_EQ(GetString(file, c.section, c.entry, Def), c.expected) << c.what;
    }
}

TEST_F(ProfileFileTest, NameListIsCutWhereTheBufferEnds) {
    std::string content = "[S]\r\n";
    for (int i = 0; i < 5000; ++i)
        content += "k" + std::to_string(10000000 + i) + "=1\r\n";
    WriteFile(file, content);
    // Nine-character names take 10 bytes each; the data may fill 32000 - 2 bytes.
    Strings names = GetEntryNames(file, "S");
    ASSERT_EQ(names.size(), 3200u);
    EXPECT_EQ(names[3198], "k10003198");
    EXPECT_EQ(names.back(), "k1000319"); // the name the buffer end cut short
    EXPECT_EQ(GetEntryNames(file, "S", 24), (Strings{"k10000000", "k10000001", "k1"}));
    EXPECT_EQ(GetEntryNames(file, "S", 21), (Strings{"k10000000", "k10000001"})); // no room left
}

TEST_F(ProfileFileTest, WritesAndRemovalsKeepTheRestOfTheFile) {
    WriteFile(file, "; settings\r\n[A]\r\nx=1\r\n; keep me\nY = old \n\r\n[B]\r\nz=3");
    const char* writes[][3] = {
        {"a", "y", "new"}, {"A", "w", "4"}, {"b", "n", "5"}, {"C", "c", ""}, {"C", "d", "6"}};
    for (auto [section, entry, value] : writes)
        ASSERT_TRUE(WriteString(file, section, entry, value));
    EXPECT_EQ(ReadFile(file), "; settings\r\n[A]\r\nx=1\r\n; keep me\nY =new\nw=4\r\n\r\n"
                              "[B]\r\nz=3\r\nn=5\r\n[C]\r\nc=\r\nd=6\r\n");
    EXPECT_EQ(GetString(file, "C", "c", Def), "");

    WriteFile(file, "[A]\r\nx=1\r\n; note\r\nX=2\r\ny=3\r\n[B]\r\nx=4\r\n[a]\r\nx=5\r\nz=6\r\n");
    ASSERT_TRUE(DeleteEntry(file, "a", "x"));
    EXPECT_EQ(ReadFile(file), "[A]\r\n; note\r\ny=3\r\n[B]\r\nx=4\r\n[a]\r\nx=5\r\nz=6\r\n");
    ASSERT_TRUE(DeleteSection(file, "A"));
    EXPECT_TRUE(DeleteSection(file, "missing"));
    EXPECT_TRUE(DeleteEntry(file, "B", "missing"));
    EXPECT_EQ(ReadFile(file), "; note\r\n[B]\r\nx=4\r\n");
}

TEST_F(ProfileFileTest, RefusesTextThatWouldBreakTheFile) {
    WriteFile(file, Small);
    const char* bad[][3] = {{"A]B", "x", "1"}, {"A\nB", "x", "1"},     {"A", "x=y", "1"},
                            {"A", "[x", "1"},  {"A", "x\r\n[B]", "1"}, {"A", "x", "1\r\n[B]"},
                            {"", "x", "1"},    {"A", " ", "1"}};
    for (auto [section, entry, value] : bad)
        EXPECT_FALSE(WriteString(file, section, entry, value)) << section << "|" << entry;
    EXPECT_EQ(ReadFile(file), Small);
    // A line break beyond the 255 stored characters is never written, so it is harmless.
    EXPECT_TRUE(WriteString(file, "A", "x", std::string(255, 'v') + "\n[B]"));
    EXPECT_EQ(GetString(file, "A", "x", Def), std::string(255, 'v'));
}

// ---- files that are not what they should be ----------------------------------

TEST_F(ProfileFileTest, NonFilesAndReadOnlyFilesAreNeverReplaced) {
    std::string d = dir / "dir.ini", fifo = dir / "fifo.ini", dev = dir / "null.ini";
    ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    WriteFile(file, Small);
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0); // binds root too
    Strings paths{d, fifo, file, "/dev/zero"};
    if (::mknod(dev.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) paths.push_back(dev);
    for (const auto& p : paths) {
        SCOPED_TRACE(p);
        bool readable = p == file;
        EXPECT_EQ(GetString(p, "A", "x", Def), readable ? "1" : Def); // a FIFO must not block
        EXPECT_EQ(GetSectionNames(p).size(), readable ? 1u : 0u);
        if (p == "/dev/zero") continue; // never try to replace a system device
        struct stat before = Stat(p);
        EXPECT_FALSE(WriteString(p, "A", "x", "2"));
        EXPECT_FALSE(DeleteSection(p, "A"));
        EXPECT_FALSE(DeleteEntry(p, "A", "x"));
        EXPECT_EQ(Stat(p).st_mode, before.st_mode);
        EXPECT_EQ(Stat(p).st_ino, before.st_ino);
    }
    EXPECT_EQ(ReadFile(file), Small);
    EXPECT_EQ(dir.Count(), static_cast<long>(paths.size()) - 1); // no temporary files left
}

TEST_F(ProfileFileTest, VanishingFileReadsAsMissingAndIsCreatedAgain) {
    ASSERT_TRUE(WriteString(file, "A", "x", "1"));
    ASSERT_EQ(::unlink(file.c_str()), 0);
    EXPECT_EQ(GetString(file, "A", "x", Def), Def);
    EXPECT_TRUE(DeleteEntry(file, "A", "x"));
    EXPECT_TRUE(DeleteSection(file, "A"));
    EXPECT_FALSE(std::filesystem::exists(file));
    ASSERT_TRUE(WriteString(file, "A", "y", "2"));
    EXPECT_EQ(ReadFile(file), "[A]\r\ny=2\r\n");
    EXPECT_FALSE(WriteString(dir / "no/such/dir.ini", "A", "x", "1"));
}

// Writes replace the file a symbolic link points to, keeping its mode; a failing
// write (the file size limit standing in for a full disk) says why and leaves
// the old file whole and no temporary file behind.
TEST_F(ProfileFileTest, ReplacementKeepsModeAndLinkAndFailureKeepsTheOldFile) {
    std::string link = dir / "link.ini", comment = std::string(6000, ';') + "\r\n";
    WriteFile(file, Small + comment);
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    ASSERT_EQ(::symlink("s.ini", link.c_str()), 0);
    ASSERT_TRUE(WriteString(link, "A", "x", "2"));
    EXPECT_EQ(ReadFile(file), "[A]\r\nx=2\r\n" + comment);
    EXPECT_EQ(Stat(file).st_mode & 07777, 0640u);
    EXPECT_TRUE(S_ISLNK(Stat(link, true).st_mode));
    const int result = InChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit rl{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &rl);
        if (WriteString(link, "A", "x", "3")) return 1;
        const Outcome o = Update(link, [](Document& d) { d.WriteString("A", "x", "3"); });
        return o.reason == "File too large" ? 0 : 2;
    });
    EXPECT_EQ(result, 0) << "1: write reported success, 2: the wrong reason";
    EXPECT_EQ(ReadFile(file), "[A]\r\nx=2\r\n" + comment);
    EXPECT_EQ(dir.Count(), 2);
}

// As an unprivileged user (root drops to nobody): an unreadable file reads as
// missing, a file in a directory we may not write to is left alone.
TEST_F(ProfileFileTest, MissingRightsGiveDefaultsAndChangeNothing) {
    std::string secret = dir / "secret.ini", open = dir / "open.ini";
    WriteFile(secret, Small);
    WriteFile(open, Small);
    ASSERT_EQ(::chmod(secret.c_str(), 0), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);
    int failures = InChild([&] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 100;
        if (::access(open.c_str(), R_OK) != 0) return 100; // directory not reachable
        return (GetString(secret, "A", "x", Def) != Def) | !GetSectionNames(secret).empty() << 1 |
               WriteString(secret, "A", "x", "2") << 2 |
               (GetString(open, "A", "x", Def) != "1") << 3 |
               WriteString(open, "A", "x", "2") << 4 | DeleteSection(open, "A") << 5;
    });
    ::chmod(dir.Path().c_str(), 0755);
    ::chmod(secret.c_str(), 0600);
    if (failures == 100) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(failures, 0) << "failed checks (bit mask)";
    EXPECT_EQ(ReadFile(secret), Small);
    EXPECT_EQ(ReadFile(open), Small);
    EXPECT_EQ(dir.Count(), 2);
}

// A 1 GB file (sparse: a few settings lines, then zero bytes): a read finds an
// answer near the start at once and gives up on the rest after a bounded scan;
// nothing ever holds the file in memory; a write refuses to rewrite it.
TEST_F(ProfileFileTest, HugeFileIsScannedBoundedlyAndNotRewritten) {
    const off_t size = off_t(1) << 30;
    WriteFile(file, Small);
    ASSERT_EQ(::truncate(file.c_str(), size), 0);
    EXPECT_EQ(GetString(file, "A", "x", Def), "1");
    EXPECT_EQ(GetString(file, "B", "x", Def), Def);
    EXPECT_EQ(GetSectionNames(file), (Strings{"A"}));
    EXPECT_EQ(GetEntryNames(file, "A"), (Strings{"x"}));
    EXPECT_FALSE(WriteString(file, "A", "x", "2"));
    EXPECT_FALSE(DeleteSection(file, "A"));
    EXPECT_EQ(Stat(file).st_size, size);
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    EXPECT_LT(ru.ru_maxrss, 700L * 1024) << "peak memory in KiB";
}

} // namespace
