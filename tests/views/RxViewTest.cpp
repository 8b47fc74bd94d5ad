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

    std::string Write(const std::string& name, const std::string& bytes) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return " '" + (dir / name).string() + "'";
    }
    // args are shell words already quoted where needed; input is standard input.
    TResult Run(const std::string& args, const std::string& input) {
        const std::string in = Write("stdin", input);
        const fs::path out = dir / "out", err = dir / "err";
        const std::string cmd = std::string("'") + RXVIEW_PATH + "' " + args + " <" + in + " >'" +
                                out.string() + "' 2>'" + err.string() + "'";
        const int status = std::system(cmd.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadAll(out), ReadAll(err)};
    }
    fs::path dir;
};

TEST_F(RxView, PrintsTheReceiveViewLinesOrRefusesBadUse) {
    const std::string f = Write("in.bin", std::string("Hello\r\nW\x01\xc8", 10));
    std::string row;
    for (int i = 0; i < 20; ++i)
        row += "61 ";
    struct Case {
        std::string args, input, out;
        int code = 0;
        const char* err = "";
    } cases[] = {
        {f, "", "Hello\nW.\xc8\n"},
        {"--mode=ascii" + f, "", "Hello\nW.\xc8\n"},
        {"--mode=hex" + f, "", "48 65 6C 6C 6F 0D 0A 57 01 C8 \n"},
        {"--mode=both" + f, "",
         "48 65 6C 6C 6F 0D 0A 57 01 C8 \nH  e  l  l  o  .  .  W  .  \xc8  \n"},
        {"--mode=hex", std::string(21, 'a'), row + "\n61 \n"}, // standard input
        {"--mode=ascii -", "x\r\ny", "x\ny\n"},
        {"--mode=both", "", ""}, // a view with no line prints nothing
        {"--mode=octal", "", "", 2, "rxview: unknown mode"},
        {"--colour", "", "", 2, "rxview: unknown option --colour"},
        {"a b", "", "", 2, "rxview: more than one FILE"},
        {"'" + (dir / "missing").string() + "'", "", "", 1, "rxview: cannot open"},
    };
    for (const Case& c : cases) {
        const TResult r = Run(c.args, c.input);
        EXPECT_EQ(r.code, c.code) << c.args << ": " << r.err;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << c.args << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.args;
    }
}

} // namespace
