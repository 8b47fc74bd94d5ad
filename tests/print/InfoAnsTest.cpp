// The Info.ans that ships with the program, played the way the "test" item
// plays it: byte by byte into a terminal screen, stopping at the Ctrl+Z.
#include "Screen.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>

TEST(InfoAns, FillsOneFramedScreenWithOnlySupportedSequences) {
    std::ifstream in(INFO_ANS, std::ios::binary);
    const std::string data{std::istreambuf_iterator<char>(in), {}};
    const auto eof = data.find('\x1a');
    ASSERT_NE(eof, std::string::npos) << "Info.ans must end its picture with a Ctrl+Z";
    ASSERT_GT(data.size(), eof + 10) << "text after the Ctrl+Z checks that playing stops there";
    emulvt::TScreen screen;
    const auto reportsBefore = emulvt::TScreen::ReportCounter();
    screen.ProcessText(std::string_view(data).substr(0, eof));
    EXPECT_EQ(emulvt::TScreen::ReportCounter(), reportsBefore) << "an unsupported sequence";
    EXPECT_FALSE(screen.InSequence());
    ASSERT_EQ(std::pair(screen.Rows(), screen.Cols()), std::pair(25, 80));

    // A titled double frame from corner to corner: nothing scrolled away or
    // spilled over. The whole palette, as text colours and as backgrounds.
    const auto &top = screen.RowAt(0).Chars, &bottom = screen.RowAt(24).Chars;
    EXPECT_EQ(std::string({char(top[0]), char(top[79]), char(bottom[0]), char(bottom[79])}),
              "\xC9\xBB\xC8\xBC");
    EXPECT_NE(std::string(top.begin(), top.end()).find("Varnex Dual Terminal"), std::string::npos);
    std::set<int> colours, backgrounds;
    for (int r = 0; r < 25; ++r)
        for (int c = 0; c < 80; ++c) {
            const emulvt::TLine& row = screen.RowAt(r);
            if (row.Chars[c] == 0xDB) colours.insert(row.Attrs[c] & 15);
            backgrounds.insert(row.Attrs[c] >> 4);
        }
    EXPECT_EQ(colours.size(), 16u);
    EXPECT_EQ(backgrounds.size(), 16u);
}
