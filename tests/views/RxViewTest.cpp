// Runs the rxview tool on real files and standard input.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct TResult {
    int code = -1;
    std::string out, err;
};

std::string ReadAll(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

class RxView : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("rxview-test-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path Write(const std::string& name, const std::string& bytes) {
        const fs::path p = dir / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    // args are shell words already quoted where needed; stdinFile may be empty.
    TResult Run(const std::string& args, const fs::path& stdinFile = {}) {
        const fs::path out = dir / "out", err = dir / "err";
        std::string cmd = std::string("'") + RXVIEW_PATH + "' " + args + " >'" + out.string() +
                          "' 2>'" + err.string() + "'";
        cmd += stdinFile.empty() ? " </dev/null" : " <'" + stdinFile.string() + "'";
        const int status = std::system(cmd.c_str());
        TResult r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = ReadAll(out);
        r.err = ReadAll(err);
        return r;
    }
    fs::path dir;
};

TEST_F(RxView, PrintsTheReceiveViewLines) {
    const fs::path f = Write("in.bin", std::string("Hello\r\nW\x01\xc8", 10));
    struct Case {
        const char* mode;
        std::string out;
    } cases[] = {
        {"", "Hello\nW.\xc8\n"},
        {"--mode=ascii", "Hello\nW.\xc8\n"},
        {"--mode=hex", "48 65 6C 6C 6F 0D 0A 57 01 C8 \n"},
        {"--mode=both", "48 65 6C 6C 6F 0D 0A 57 01 C8 \nH  e  l  l  o  .  .  W  .  \xc8  \n"},
    };
    for (const Case& c : cases) {
        const TResult r = Run(std::string(c.mode) + " '" + f.string() + "'");
        EXPECT_EQ(r.code, 0) << c.mode << r.err;
        EXPECT_EQ(r.out, c.out) << c.mode;
    }
}

TEST_F(RxView, ReadsStandardInputAndPrintsNothingForNoLine) {
    const fs::path f = Write("in.bin", std::string(21, 'a'));
    TResult r = Run("--mode=hex", f);
    EXPECT_EQ(r.code, 0);
    std::string row;
    for (int i = 0; i < 20; ++i)
        row += "61 ";
    EXPECT_EQ(r.out, row + "\n61 \n");
    r = Run("--mode=both");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
}

TEST_F(RxView, BadUse) {
    struct Case {
        std::string args;
        int code;
        const char* err;
    } cases[] = {
        {"--mode=octal", 2, "rxview: unknown mode"},
        {"--colour", 2, "rxview: unknown option --colour"},
        {"a b", 2, "rxview: more than one FILE"},
        {"'" + (dir / "missing").string() + "'", 1, "rxview: cannot open"},
    };
    for (const Case& c : cases) {
        const TResult r = Run(c.args);
        EXPECT_EQ(r.code, c.code) << c.args;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << c.args << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.args;
    }
}

} // namespace
