// The Info.ans that ships with the program, played the way the "test" item
// plays it: byte by byte into a terminal screen, stopping at the Ctrl+Z.
#include "Screen.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace {

std::string ReadInfoAns() {
    std::ifstream in(INFO_ANS, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string RowText(const emulvt::TScreen& s, int row) {
    const auto& chars = s.RowAt(row).Chars;
    return {chars.begin(), chars.begin() + s.Cols()};
}

} // namespace

TEST(InfoAns, FillsOneFramedScreenWithOnlySupportedSequences) {
    const std::string data = ReadInfoAns();
    const auto eof = data.find('\x1a');
    ASSERT_NE(eof, std::string::npos) << "Info.ans must end its picture with a Ctrl+Z";
    ASSERT_GT(data.size(), eof + 10) << "text after the Ctrl+Z checks that playing stops there";

    emulvt::TScreen screen;
    const auto reportsBefore = emulvt::TScreen::ReportCounter();
    for (std::size_t i = 0; i < eof; ++i)
        screen.ProcessByte(static_cast<std::uint8_t>(data[i]));
    EXPECT_EQ(emulvt::TScreen::ReportCounter(), reportsBefore) << "an unsupported sequence";
    EXPECT_FALSE(screen.InSequence());

    // A double frame all around: nothing scrolled away, nothing spilled over.
    ASSERT_EQ(screen.Rows(), 25);
    ASSERT_EQ(screen.Cols(), 80);
    const std::string top = RowText(screen, 0), bottom = RowText(screen, 24);
    EXPECT_EQ(std::uint8_t(top.front()), 0xC9);
    EXPECT_EQ(std::uint8_t(top.back()), 0xBB);
    EXPECT_EQ(std::uint8_t(bottom.front()), 0xC8);
    EXPECT_EQ(std::uint8_t(bottom.back()), 0xBC);
    for (int r = 1; r < 24; ++r) {
        const std::string row = RowText(screen, r);
        EXPECT_TRUE(std::uint8_t(row.front()) == 0xBA || std::uint8_t(row.front()) == 0xC7) << r;
        EXPECT_TRUE(std::uint8_t(row.back()) == 0xBA || std::uint8_t(row.back()) == 0xB6) << r;
    }
    EXPECT_NE(top.find("Varnex Dual Terminal"), std::string::npos);

    std::string all;
    std::set<int> colours, backgrounds;
    for (int r = 0; r < 25; ++r) {
        all += RowText(screen, r) + "\n";
        for (int c = 0; c < 80; ++c) {
            const std::uint8_t a = screen.RowAt(r).Attrs[c];
            if (screen.RowAt(r).Chars[c] == 0xDB) colours.insert(a & 15);
            backgrounds.insert(a >> 4);
        }
    }
    for (const char* word : {"ASCII", "HEX", "both", "ANSI", "Ctrl", "Zelmar.ini", "COM1"})
        EXPECT_NE(all.find(word), std::string::npos) << word;
    EXPECT_EQ(colours.size(), 16u) << "the whole palette as text colours";
    EXPECT_EQ(backgrounds.size(), 16u) << "the whole palette as backgrounds";
}
