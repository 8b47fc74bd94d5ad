// rxview's ANSI output formats, byte for byte: other tools compare against them.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "ansi.h"

namespace emulvt::test {
namespace {

struct TRun {
    int Code;
    std::string Out, Err;
};

TRun RunAnsi(std::vector<std::string> args, const std::string& input) {
    std::ostringstream out, err;
    const int code = rxview::RunAnsiView(args, input, out, err);
    return {code, out.str(), err.str()};
}

std::vector<std::string> Lines(const std::string& s) {
    std::vector<std::string> lines;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

std::string BlankCells(int n, const char* token = "2007") {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += (i ? " " : "") + std::string(token);
    return s;
}

TEST(AnsiCells, TwentyFiveRowsOfEightyTokensThenTheCursor) {
    const TRun r = RunAnsi({}, E("^[[1;31mAb^[[0m^[[3;79HXYZ"));
    ASSERT_EQ(r.Code, 0);
    const std::vector<std::string> lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), 26u);
    EXPECT_EQ(lines[0], "4109 6209 " + BlankCells(78));
    EXPECT_EQ(lines[1], BlankCells(80));
    // X and Y are shown, Z went to the hidden column 80 and is not printed
    EXPECT_EQ(lines[2], BlankCells(78) + " 5807 5907");
    EXPECT_EQ(lines[25], "cursor 2 81");
    EXPECT_EQ(r.Out.back(), '\n');
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(RunAnsi({"--format=cells", "--xlat=on"}, E("^[[1;31mAb^[[0m^[[3;79HXYZ")).Out, r.Out);
}

TEST(AnsiCells, XlatOffTranslatesThroughTheTable) {
    const std::string in = E("\xE9^[(0q");
    EXPECT_EQ(Lines(RunAnsi({"--xlat=on"}, in).Out)[0].substr(0, 9), "E907 7107");
    EXPECT_EQ(Lines(RunAnsi({"--xlat=off"}, in).Out)[0].substr(0, 9), "8207 C407");
}

TEST(AnsiText, Cp437ToUtf8WithTrailingBlanksRemoved) {
    using namespace std::string_literals;
    const std::string in = "\xC9\xCD\xBB \x01\x7F\xFF\x00 \x1f\r\n\xB0\xB1\xDB\xE1\xFE   \xFF"s;
    const TRun r = RunAnsi({"--format=text"}, in);
    ASSERT_EQ(r.Code, 0);
    const std::vector<std::string> lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), 25u);
    // NUL is ignored by the interpreter; a stored 0xFF is a no-break space
    EXPECT_EQ(lines[0], "╔═╗ ☺⌂\u00A0 ▼");
    EXPECT_EQ(lines[1], "░▒█ß■   \u00A0");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(r.Out.size(), lines[0].size() + lines[1].size() + 25);
}

TEST(AnsiText, NulInACellIsABlank) {
    // a NUL reaches a cell only as a counted raw byte
    const TRun r = RunAnsi({"--format=text"}, E("^[[1;1I") + std::string(1, '\0') + "A");
    EXPECT_EQ(Lines(r.Out)[0], " A");
}

TEST(AnsiReports, OneLinePerReportWithCounterAndRawBytes) {
    const std::uint32_t n = TScreen::ReportCounter();
    const TRun r = RunAnsi({"--format=text"}, E("^[c^[[5\n^[[3;1;2;3;4I^[[T"));
    char expect[256];
    std::snprintf(expect, sizeof expect,
                  "%04X Invalid Escape Sequence: c\n"
                  "%04X Invalid Escape Sequence: [5\n\n"
                  "%04X Special key 0201 0403\n"
                  "%04X Unimplemented Escape Sequence: [T\n",
                  n + 1, n + 2, n + 3, n + 4);
    EXPECT_EQ(r.Err, expect);
    EXPECT_EQ(Lines(r.Out)[0], "c");
    // beeps print nothing
    EXPECT_EQ(RunAnsi({}, "\x07").Err, "");
}

TEST(AnsiOptions, OutWritesTheFormatToAFile) {
    const std::string path = ::testing::TempDir() + "rxview_ansi_out.txt";
    const TRun toFile = RunAnsi({"--format=text", "--out=" + path}, "AB\r\nC");
    ASSERT_EQ(toFile.Code, 0);
    EXPECT_EQ(toFile.Out, "");
    std::FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::string written(4096, '\0');
    written.resize(std::fread(written.data(), 1, written.size(), f));
    std::fclose(f);
    std::remove(path.c_str());
    EXPECT_EQ(written, RunAnsi({"--format=text"}, "AB\r\nC").Out);
    const TRun bad = RunAnsi({"--out=/nonexistent-dir/x.txt"}, "A");
    EXPECT_EQ(bad.Code, 1);
    EXPECT_EQ(bad.Err, "rxview: cannot write /nonexistent-dir/x.txt\n");
}

TEST(AnsiOptions, BadOptionsAreRefusedWithAMessage) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--format=html"}, {"--xlat=maybe"}, {"--font=10"}, {"--colour"}, {"--format=png"}}) {
        const TRun r = RunAnsi(args, "A");
        EXPECT_EQ(r.Code, 2) << args[0];
        EXPECT_EQ(r.Out, "") << args[0];
        EXPECT_NE(r.Err.find("rxview: "), std::string::npos) << args[0];
    }
}

} // namespace
} // namespace emulvt::test
