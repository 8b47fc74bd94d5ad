// The profile-file service on real files: the file syntax, rewriting, and
// files that are not what they should be.
#include "ProfileFile.h"
#include "TempDir.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace profile;

namespace {

const std::string Def = "<default>";

struct ReadCase {
    const char* what;
    std::string content, section, entry, expected;
};

class ProfileFileTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string file = dir / "s.ini";
};

TEST_F(ProfileFileTest, ReadsByTheFileSyntax) {
    const ReadCase cases[] = {
        {"plain", "[A]\r\nx=1\r\n", "A", "x", "1"},
        {"LF only", "[A]\nx=1\ny=2\n", "A", "y", "2"},
        {"no final line end", "[A]\r\nx=1\r\ny=last", "A", "y", "last"},
        {"section case", "[Options]\r\nx=1\r\n", "OPTIONS", "x", "1"},
        {"entry case", "[A]\r\nHints=1\r\n", "A", "hINTS", "1"},
        {"first entry wins", "[A]\r\nx=1\r\nX=2\r\n", "A", "x", "1"},
        {"first section wins", "[A]\r\ny=1\r\n[a]\r\nx=2\r\n", "A", "x", Def},
        {"entry of other section", "[A]\r\nx=1\r\n[B]\r\n", "B", "x", Def},
        {"blanks trimmed", "[A]\r\n  x \t=  v w \t\r\n", "A", "x", "v w"},
        {"blanks around section name", " [ A ] trailing\r\nx=1\r\n", "A", "x", "1"},
        {"double quotes removed", "[A]\r\nx= \" v \" \r\n", "A", "x", " v "},
        {"single quotes removed", "[A]\r\nx='v'\r\n", "A", "x", "v"},
        {"unmatched quotes kept", "[A]\r\nx=\"v'\r\n", "A", "x", "\"v'"},
        {"lone quote kept", "[A]\r\nx=\"\r\n", "A", "x", "\""},
        {"text after first =", "[A]\r\nx=a=b\r\n", "A", "x", "a=b"},
        {"empty value", "[A]\r\nx=\r\n", "A", "x", ""},
        {"entries before any section", "x=1\r\n[A]\r\n", "A", "x", Def},
        {"= without name ignored", "[A]\r\n=1\r\n x=2\r\n", "A", "x", "2"},
        {"[ without ] is no section", "[A]\r\n[B\r\nx=1\r\n", "A", "x", "1"},
        {"empty section line ends section", "[A]\r\n[]\r\nx=1\r\n", "A", "x", Def},
        {"comment lines ignored", "; note\r\n[A]\r\n# x=2 is not x\r\nx=1\r\n", "A", "x", "1"},
        {"value cut at NUL", std::string("[A]\r\nx=ab\0cd\r\n", 14), "A", "x", "ab"},
        {"CR inside a line kept", "[A]\r\nx=a\rb\r\n", "A", "x", "a\rb"},
        {"value cut to 255", "[A]\r\nx=" + std::string(300, 'v') + "\r\n", "A", "x",
         std::string(255, 'v')},
        {"argument trimmed", "[A]\r\nx=1\r\n", " A ", " x\t", "1"},
        {"argument cut at NUL", "[A]\r\nx=1\r\n", std::string("A\0B", 3), "x", "1"},
        {"missing file", "", "A", "x", Def}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.content.empty())
            ::unlink(file.c_str());
        else
            WriteFile(file, c.content);
        EXPECT_EQ(GetString(file, c.section, c.entry, Def), c.expected);
    }
}

TEST_F(ProfileFileTest, ListsNamesOnceInFileOrder) {
    WriteFile(file, "x=0\n[B]\na=1\n[]\nstray=1\n[A]\nb=2\n;c\nA=3\nc\n=4\nd=5\n[b]\ne=6\n");
    EXPECT_EQ(GetSectionNames(file), (std::vector<std::string>{"B", "A"}));
    EXPECT_EQ(GetEntryNames(file, "a"), (std::vector<std::string>{"b", "A", "d"}));
    EXPECT_EQ(GetEntryNames(file, "b"), (std::vector<std::string>{"a"}));
    EXPECT_TRUE(GetEntryNames(file, "missing").empty());
    EXPECT_TRUE(GetEntryNames(dir / "none.ini", "A").empty());
    EXPECT_TRUE(GetSectionNames(dir / "none.ini").empty());
}

TEST_F(ProfileFileTest, NameListIsCutWhereTheBufferEnds) {
    std::string content = "[S]\r\n";
    for (int i = 0; i < 5000; ++i)
        content += "k" + std::to_string(10000000 + i) + "=1\r\n";
    WriteFile(file, content);
    // Nine-character names take 10 bytes each; the data may fill 32000 - 2 bytes.
    auto names = GetEntryNames(file, "S");
    ASSERT_EQ(names.size(), 3200u);
    EXPECT_EQ(names[3198], "k10003198");
    EXPECT_EQ(names.back(), "k1000319"); // the name the buffer end cut short
    EXPECT_EQ(GetEntryNames(file, "S", 24),
              (std::vector<std::string>{"k10000000", "k10000001", "k1"}));
    EXPECT_EQ(GetEntryNames(file, "S", 21), (std::vector<std::string>{"k10000000", "k10000001"}));
}

TEST_F(ProfileFileTest, WritesKeepTheRestOfTheFile) {
    const std::string before = "; settings\r\n"
                               "[A]\r\n"
                               "x=1\r\n"
                               "; keep me\n"
                               "Y = old \n"
                               "\r\n"
                               "[B]\r\n"
                               "z=3";
    WriteFile(file, before);
    ASSERT_TRUE(WriteString(file, "a", "y", "new"));
    ASSERT_TRUE(WriteString(file, "A", "w", "4"));
    ASSERT_TRUE(WriteString(file, "b", "n", "5"));
    ASSERT_TRUE(WriteString(file, "C", "c", ""));
    EXPECT_EQ(ReadFile(file), "; settings\r\n"
                              "[A]\r\n"
                              "x=1\r\n"
                              "; keep me\n"
                              "Y =new\n"
                              "w=4\r\n"
                              "\r\n"
                              "[B]\r\n"
                              "z=3\r\n"
                              "n=5\r\n"
                              "[C]\r\n"
                              "c=\r\n");
    EXPECT_EQ(GetString(file, "C", "c", Def), "");
}

TEST_F(ProfileFileTest, NewFileAndEntryOrder) {
    for (const char* e : {"PosX", "PosY", "HalfSize"})
        ASSERT_TRUE(WriteString(file, "S", e, "1"));
    ASSERT_TRUE(WriteString(file, "T", "a", "2"));
    ASSERT_TRUE(WriteString(file, "S", "Port1", "0"));
    EXPECT_EQ(ReadFile(file), "[S]\r\nPosX=1\r\nPosY=1\r\nHalfSize=1\r\nPort1=0\r\n[T]\r\na=2\r\n");
}

TEST_F(ProfileFileTest, RemovesEntriesAndSections) {
    WriteFile(file, "[A]\r\nx=1\r\n; note\r\nX=2\r\ny=3\r\n[B]\r\nx=4\r\n[a]\r\nx=5\r\nz=6\r\n");
    ASSERT_TRUE(DeleteEntry(file, "a", "x"));
    EXPECT_EQ(ReadFile(file), "[A]\r\n; note\r\ny=3\r\n[B]\r\nx=4\r\n[a]\r\nx=5\r\nz=6\r\n");
    EXPECT_EQ(GetString(file, "A", "x", Def), Def);
    ASSERT_TRUE(DeleteSection(file, "A"));
    EXPECT_EQ(ReadFile(file), "; note\r\n[B]\r\nx=4\r\n");
    EXPECT_TRUE(DeleteSection(file, "missing"));
    EXPECT_TRUE(DeleteEntry(file, "B", "missing"));
    EXPECT_EQ(ReadFile(file), "; note\r\n[B]\r\nx=4\r\n");
    EXPECT_TRUE(DeleteSection(dir / "none.ini", "A"));
    EXPECT_FALSE(std::filesystem::exists(dir / "none.ini"));
}

TEST_F(ProfileFileTest, RefusesTextThatWouldBreakTheFile) {
    WriteFile(file, "[A]\r\nx=1\r\n");
    struct {
        std::string section, entry, value;
    } bad[] = {{"A]B", "x", "1"},      {"A\nB", "x", "1"},     {"A", "x=y", "1"}, {"A", "[x", "1"},
               {"A", "x\r\n[B]", "1"}, {"A", "x", "1\r\n[B]"}, {"", "x", "1"},    {"A", " ", "1"}};
    for (const auto& b : bad) {
        SCOPED_TRACE(b.section + "|" + b.entry + "|" + b.value);
        EXPECT_FALSE(WriteString(file, b.section, b.entry, b.value));
        EXPECT_EQ(ReadFile(file), "[A]\r\nx=1\r\n");
    }
    // A line break beyond the 255 stored characters is never written, so it is harmless.
    EXPECT_TRUE(WriteString(file, "A", "x", std::string(255, 'v') + "\n[B]"));
    EXPECT_EQ(GetString(file, "A", "x", Def), std::string(255, 'v'));
}

// ---- files that are not what they should be ----------------------------------

TEST_F(ProfileFileTest, DirectoryFifoAndDeviceReadAsMissingAndAreNotReplaced) {
    std::string d = dir / "dir.ini", fifo = dir / "fifo.ini";
    ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    std::vector<std::string> paths{d, fifo, "/dev/zero"};
    std::string dev = dir / "null.ini";
    if (::mknod(dev.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) paths.push_back(dev);
    for (const auto& p : paths) {
        SCOPED_TRACE(p);
        struct stat before {};
        ASSERT_EQ(::stat(p.c_str(), &before), 0);
        EXPECT_EQ(GetString(p, "A", "x", Def), Def); // a FIFO without writer must not block
        EXPECT_TRUE(GetSectionNames(p).empty());
        EXPECT_TRUE(GetEntryNames(p, "A").empty());
        if (p == "/dev/zero") continue; // never try to replace a system device
        EXPECT_FALSE(WriteString(p, "A", "x", "1"));
        EXPECT_FALSE(DeleteSection(p, "A"));
        EXPECT_FALSE(DeleteEntry(p, "A", "x"));
        struct stat after {};
        ASSERT_EQ(::stat(p.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_ino, before.st_ino);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}),
              static_cast<long>(paths.size() - 1)); // no temporary files left
}

TEST_F(ProfileFileTest, ReadOnlyFileIsReadButNotWritten) {
    WriteFile(file, "[A]\r\nx=1\r\n");
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
    EXPECT_EQ(GetString(file, "A", "x", Def), "1");
    EXPECT_FALSE(WriteString(file, "A", "x", "2"));
    EXPECT_FALSE(DeleteSection(file, "A"));
    EXPECT_EQ(ReadFile(file), "[A]\r\nx=1\r\n");
}

TEST_F(ProfileFileTest, ReplacementKeepsModeAndLinksAndLeavesNoTemporaryFile) {
    WriteFile(file, "[A]\r\nx=1\r\n");
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    std::string link = dir / "link.ini";
    ASSERT_EQ(::symlink("s.ini", link.c_str()), 0);
    ASSERT_TRUE(WriteString(link, "A", "x", "2"));
    struct stat st {
    }, lst{};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(::lstat(link.c_str(), &lst), 0);
    EXPECT_TRUE(S_ISLNK(lst.st_mode));
    EXPECT_EQ(ReadFile(file), "[A]\r\nx=2\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);
}

TEST_F(ProfileFileTest, VanishingFileReadsAsMissingAndIsCreatedAgain) {
    ASSERT_TRUE(WriteString(file, "A", "x", "1"));
    ASSERT_EQ(::unlink(file.c_str()), 0);
    EXPECT_EQ(GetString(file, "A", "x", Def), Def);
    EXPECT_TRUE(DeleteEntry(file, "A", "x"));
    EXPECT_FALSE(std::filesystem::exists(file));
    ASSERT_TRUE(WriteString(file, "A", "y", "2"));
    EXPECT_EQ(ReadFile(file), "[A]\r\ny=2\r\n");
    EXPECT_FALSE(WriteString(dir / "no/such/dir.ini", "A", "x", "1"));
}

// A failing write (here: the file size limit standing in for a full disk)
// leaves the old file whole and no temporary file behind.
TEST_F(ProfileFileTest, FailedWriteLeavesTheOldFileIntact) {
    std::string old = "[A]\r\nx=1\r\n" + std::string(6000, ';') + "\r\n";
    WriteFile(file, old);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl {
            4096, 4096
        };
        ::setrlimit(RLIMIT_FSIZE, &rl);
        ::_exit(WriteString(file, "A", "x", "2") ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "write reported success";
    EXPECT_EQ(ReadFile(file), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

// Without rights: an unreadable file reads as missing; a file in a directory we
// may not write to is left alone. Run as an unprivileged user (root may do all).
TEST_F(ProfileFileTest, MissingRightsGiveDefaultsAndChangeNothing) {
    std::string secret = dir / "secret.ini", open = dir / "open.ini";
    WriteFile(secret, "[A]\r\nx=1\r\n");
    WriteFile(open, "[A]\r\nx=1\r\n");
    ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    bool root = ::geteuid() == 0;
    if (root && ::chown(secret.c_str(), 0, 0) != 0) GTEST_SKIP() << "cannot chown";
    if (!root) {
        ASSERT_EQ(::chmod(secret.c_str(), 0), 0);
        ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);
    }

    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(100);
        if (::access(open.c_str(), R_OK) != 0) ::_exit(100); // directory not reachable
        int failures = 0;
        if (GetString(secret, "A", "x", Def) != Def) failures |= 1;
        if (!GetSectionNames(secret).empty()) failures |= 2;
        if (WriteString(secret, "A", "x", "2")) failures |= 4;
        if (GetString(open, "A", "x", Def) != "1") failures |= 8;
        if (WriteString(open, "A", "x", "2")) failures |= 16;
        if (DeleteSection(open, "A")) failures |= 32;
        ::_exit(failures);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed checks (bit mask)";
    ::chmod(dir.Path().c_str(), 0755);
    ::chmod(secret.c_str(), 0600);
    EXPECT_EQ(ReadFile(secret), "[A]\r\nx=1\r\n");
    EXPECT_EQ(ReadFile(open), "[A]\r\nx=1\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);
}

// A 1 GB file (sparse: a few settings lines, then zero bytes). A read finds an
// answer near the start at once and gives up on the rest after a bounded scan;
// nothing ever holds the file in memory; a write refuses to rewrite it.
TEST_F(ProfileFileTest, HugeFileIsScannedBoundedlyAndNotRewritten) {
    const off_t size = off_t(1) << 30;
    WriteFile(file, "[A]\r\nx=1\r\n");
    ASSERT_EQ(::truncate(file.c_str(), size), 0);
    EXPECT_EQ(GetString(file, "A", "x", Def), "1");
    EXPECT_EQ(GetString(file, "A", "y", Def), Def);
    EXPECT_EQ(GetString(file, "B", "x", Def), Def);
    EXPECT_EQ(GetSectionNames(file), (std::vector<std::string>{"A"}));
    EXPECT_EQ(GetEntryNames(file, "A"), (std::vector<std::string>{"x"}));
    EXPECT_FALSE(WriteString(file, "A", "x", "2"));
    EXPECT_FALSE(DeleteSection(file, "A"));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, size);
    EXPECT_EQ(GetString(file, "A", "x", Def), "1");
    struct rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    EXPECT_LT(ru.ru_maxrss, 700L * 1024) << "peak memory in KiB";
}

// Another program instance reading while we write sees the old or the new
// file, never a partly written one.
TEST_F(ProfileFileTest, ConcurrentReaderNeverSeesAPartialFile) {
    ASSERT_TRUE(WriteString(file, "A", "v", "0"));
    ASSERT_TRUE(WriteString(file, "Z", "end", "1"));
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (int i = 1; i <= 100; ++i)
            if (!WriteString(file, "A", "v",
                             std::string(static_cast<std::size_t>(i % 7) * 30, 'x')))
                ::_exit(1);
        ::_exit(0);
    }
    int partial = 0, status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0)
        if (GetString(file, "Z", "end", Def) != "1") ++partial;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(partial, 0);
}

} // namespace
