// The escape interpreter: attributes, counted raw bytes, translation,
// overlong sequences, control characters and the diagnostic reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "TestUtil.h"

namespace emulvt::test {
namespace {

// ---- SGR: the attribute given to the character X that ends each input.
struct TSgrCase {
    const char* Input;
    int Attr;
    bool Reverse;
    int Reports = 0;
};

class Sgr : public ::testing::TestWithParam<TSgrCase> {};

TEST_P(Sgr, GivesAttribute) {
    const TSgrCase& c = GetParam();
    TDebugCapture debug;
    TScreen s;
    s.ProcessText(E(c.Input));
    ASSERT_EQ(s.CurCol(), 1) << "X must be the only character";
    EXPECT_EQ(s.RowAt(0).Attrs[0], c.Attr) << c.Input;
    EXPECT_EQ(s.ReverseOn(), c.Reverse) << c.Input;
    EXPECT_EQ(int(debug.Messages().size()), c.Reports) << c.Input;
}

INSTANTIATE_TEST_SUITE_P(
    Attributes, Sgr,
    ::testing::Values(TSgrCase{"^[[1;31mX", 0x09, false}, TSgrCase{"^[[44;33mX", 0x43, false},
                      TSgrCase{"^[[5mX", 0x87, false}, TSgrCase{"^[[1;22mX", 0x07, false},
                      TSgrCase{"^[[8mX", 0x00, false}, TSgrCase{"^[[4mX", 0x07, false},
                      TSgrCase{"^[[31;44m^[[0mX", 0x07, false},
                      TSgrCase{"^[[31;44m^[[mX", 0x07, false},
                      TSgrCase{"^[[ 1 ; 34 mX", 0x0C, false}, TSgrCase{"^[[31;;44mX", 0x41, false},
                      TSgrCase{"^[[?mX", 0x07, false}, TSgrCase{"^[[31;?;44mX", 0x41, false},
                      TSgrCase{"^[[99mX", 0x07, false, 1},
                      TSgrCase{"^[[31;99;44;100mX", 0x41, false, 2},
                      TSgrCase{"^[[99999999999mX", 0x07, false, 1}));

INSTANTIATE_TEST_SUITE_P(
    ReverseOn, Sgr,
    ::testing::Values(TSgrCase{"^[[7mX", 0x70, true},
                      // reverse is applied again at the end of every later SGR
                      TSgrCase{"^[[7m^[[1mX", 0x0F, true}, TSgrCase{"^[[1;31;7mX", 0x18, true},
                      TSgrCase{"^[[5;7mX", 0xF0, true}, TSgrCase{"^[[7m^[[7mX", 0x07, true},
                      TSgrCase{"^[[7m^[[0mX", 0x07, false}, TSgrCase{"^[[7m^[[27mX", 0x07, false},
                      TSgrCase{"^[[7m^[[mX", 0x07, false}, TSgrCase{"^[[7m^[[32mX", 0x27, true}));

TEST(SgrHighBit, Codes12And10SwitchBit7OfStoredCharacters) {
    TScreen s;
    s.ProcessText(E("A^[[12mB^[[1m\x01^[[10mC"));
    EXPECT_EQ(RowText(s, 0, 0, 4), "A\xC2\x81"
                                   "C");
}

// ---- Counted raw bytes (ESC [1;n I).
struct TRawCase {
    const char* Input;
    std::string Shown; // row 0 from column 0
    int RawLeft;
};

class RawCount : public ::testing::TestWithParam<TRawCase> {};

TEST_P(RawCount, ShowsOddAndDropsEven) {
    const TRawCase& c = GetParam();
    TDebugCapture debug;
    TScreen s;
    s.ProcessText(E(c.Input));
    EXPECT_EQ(RowText(s, 0, 0, int(c.Shown.size())), c.Shown) << c.Input;
    EXPECT_EQ(s.RawCount(), c.RawLeft) << c.Input;
}

INSTANTIATE_TEST_SUITE_P(
    Counts, RawCount,
    ::testing::Values(TRawCase{"^[[1;2IAB", "B ", 0}, TRawCase{"^[[1;3IABC", "AC ", 0},
                      TRawCase{"^[[1;4IABCDE", "BDE ", 0}, TRawCase{"^[[1IXY", "XY", 0},
                      TRawCase{"^[[1 ;2IAB", "B ", 0}, TRawCase{"^[[1;0IAB", "AB", 0},
                      // an ESC among the counted bytes is a character
                      TRawCase{"^[[1;2IA^[[31m", "\x1b[31m", 0},
                      // counted bytes bypass translation and control handling
                      TRawCase{"^[[0I\x0e^[[1;6I\nqq\r\x07\x07", "q\r\x07 ", 0},
                      TRawCase{"^[[1;99999999999IAB", "A ", 2147483645}));

// ---- Translation.
struct TXlatCase {
    const char* Input;
    bool XlatOn; // the view's Xlat
    std::string Shown;
};

class Translation : public ::testing::TestWithParam<TXlatCase> {};

TEST_P(Translation, MapsReceivedBytes) {
    const TXlatCase& c = GetParam();
    TDebugCapture debug;
    TScreen s;
    s.SetRecvXlat(!c.XlatOn);
    s.SetXlatDefault(!c.XlatOn);
    s.ProcessText(E(c.Input));
    EXPECT_EQ(RowText(s, 0, 0, int(c.Shown.size())), c.Shown) << c.Input;
}

INSTANTIATE_TEST_SUITE_P(
    Tables, Translation,
    ::testing::Values(TXlatCase{"\xC4\x85\xE9q", true, "\xC4\x85\xE9q"},
                      TXlatCase{"\xC4\x85\xE9\xA0\xFFq", false, "\x8E \x82\xB1\x98q"},
                      TXlatCase{"^[[0I\xE9", true, "\x82"},
                      TXlatCase{"^[[0I^[[4I\xE9", true, "\xE9"}, TXlatCase{"^[(0q", false, "\xC4"},
                      TXlatCase{"^[(0q", true, "q"}, TXlatCase{"^[[0I^[(0q", true, "q"},
                      TXlatCase{"^[(0^[(Bq", false, "q"}, TXlatCase{"\x0eq\x0fq", false, "\xC4q"},
                      TXlatCase{"\x0eq", true, "q"},
                      TXlatCase{"\x0ejklmnqtuvwxa", false,
                                "\xD9\xBF\xDA\xC0\xC5\xC4\xC3\xB4\xC1\xC2\xB3"
                                "a"},
                      TXlatCase{"^[)0q^[*0q^[+Bq", false, "qqq"}));

TEST(Translation, GraphicsTableTranslatesTheFinalByteToo) {
    TDebugCapture debug;
    TScreen s;
    s.ProcessText(E("^[[0I\x0e^[[31mq"));
    EXPECT_EQ(s.CurAttr(), 7);
    ASSERT_EQ(debug.Messages().size(), 1u);
    EXPECT_EQ(debug.Messages()[0], "Invalid Escape Sequence: [31\xC0\r\n");
    EXPECT_EQ(RowText(s, 0, 0, 1), "\xC4");
}

// ---- Control characters and sequence collection.
TEST(Controls, ShownPerformedOrIgnored) {
    TDebugCapture debug;
    TScreen s;
    using namespace std::string_literals;
    s.ProcessText("A\x00\x0c\x0b\x7f\x01\x1f"
                  "B"s);
    EXPECT_EQ(RowText(s, 0, 0, 7), "A\x0c\x0b\x7f\x01\x1f"
                                   "B");
    s.ProcessText("\x07");
    EXPECT_EQ(platform::TakeBeeps(), std::vector<std::uint32_t>{0x40});
    EXPECT_EQ(s.CurCol(), 7);
}

TEST(Controls, AutoCrAndAutoLf) {
    TScreen s;
    s.SetAutoCR(true);
    s.ProcessText("AB\nC");
    EXPECT_EQ(RowText(s, 1, 0, 1), "C");
    TScreen t;
    t.SetAutoLF(true);
    t.ProcessText("AB\rC");
    EXPECT_EQ(RowText(t, 1, 0, 1), "C");
}

TEST(Controls, ControlCharacterInsideSequenceIsItsFinalByte) {
    TDebugCapture debug;
    TScreen s;
    s.ProcessText(E("AB^[[5\nC^[\rD^[^[E"));
    // no line feed happened; ESC CR and ESC ESC show the second byte
    EXPECT_EQ(RowText(s, 0, 0, 7), "ABC\rD\x1b"
                                   "E");
    EXPECT_EQ(s.CurRow(), 0);
    const std::vector<std::string> expected = {"Invalid Escape Sequence: [5\n\r\n",
                                               "Invalid Escape Sequence: \r\r\n",
                                               "Invalid Escape Sequence: \x1b\r\n"};
    EXPECT_EQ(debug.Messages(), expected);
}

TEST(Overlong, The80thCollectedByteBeepsAndDropsTheSequence) {
    TDebugCapture debug;
    TScreen s;
    s.ProcessText(E("^[[") + std::string(78, '1'));
    EXPECT_TRUE(s.InSequence());
    EXPECT_EQ(s.SeqBuf().size(), 79u);
    EXPECT_TRUE(platform::TakeBeeps().empty());
    s.ProcessText("23m");
    EXPECT_FALSE(s.InSequence());
    EXPECT_EQ(platform::TakeBeeps(), std::vector<std::uint32_t>{0x40});
    EXPECT_EQ(RowText(s, 0, 0, 3), "3m ");
    EXPECT_EQ(s.CurAttr(), 7);
    EXPECT_TRUE(debug.Calls.empty());

    // blanks and ";" count as well; the limit is the same
    s.ProcessText(E("^[") + std::string(80, ';') + "X");
    EXPECT_EQ(platform::TakeBeeps().size(), 1u);
    EXPECT_EQ(RowText(s, 0, 2, 2), "X ");
}

// ---- Diagnostic reports: exact texts and the process-wide counter.
struct TReportCase {
    const char* Input;
    std::vector<std::string> Messages;
    std::string Shown = "";
};

class Reports : public ::testing::TestWithParam<TReportCase> {};

TEST_P(Reports, HaveTheirExactText) {
    const TReportCase& c = GetParam();
    TDebugCapture debug;
    TScreen s;
    s.ProcessText(E(c.Input));
    EXPECT_EQ(debug.Messages(), c.Messages) << c.Input;
    EXPECT_EQ(RowText(s, 0, 0, int(c.Shown.size())), c.Shown) << c.Input;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Reports,
    ::testing::Values(
        TReportCase{"^[c", {"Invalid Escape Sequence: c\r\n"}, "c"},
        TReportCase{
            "^[D^[E",
            {"Unimplemented Escape Sequence: D\r\n", "Unimplemented Escape Sequence: E\r\n"},
            " "},
        TReportCase{"^[<^[=^[>^[H", {}, " "},
        TReportCase{
            "^[[T^[[6n",
            {"Unimplemented Escape Sequence: [T\r\n", "Unimplemented Escape Sequence: [6n\r\n"}},
        TReportCase{"^[[4h^[[ ?7h^[[?5l",
                    {"Unimplemented Escape Sequence: [4h\r\n",
                     "Unimplemented Escape Sequence: [ ?7h\r\n",
                     "Unimplemented Escape Sequence: [?5l\r\n"}},
        TReportCase{"^[[?1h^[[?4l^[[?25l^[[>^[[g", {}},
        TReportCase{"^[[z^[[5;7Z",
                    {"Invalid Escape Sequence: [z\r\n", "Invalid Escape Sequence: [5;7Z\r\n"}},
        TReportCase{"^[[3;65;66;67;68I", {"Special key 4241 4443"}},
        TReportCase{"^[[3 ; 1 ; 2I", {"Special key 0201 0000"}},
        TReportCase{"^[[3I^[[2I", {"Special key 0000 0000"}},
        TReportCase{
            "^[[5I^[[9;1I",
            {"Unimplemented Escape Sequence: [5I\r\n", "Unimplemented Escape Sequence: [9;1I\r\n"}},
        TReportCase{"^[(X^[)0^[ F^[ G^[5x",
                    {"Invalid Escape Sequence: (X\r\n", "Invalid Escape Sequence:  G\r\n",
                     "Invalid Escape Sequence: 5x\r\n"}},
        TReportCase{"^[[3J", {"Invalid Escape Sequence: [3J\r\n"}}));

TEST(Reports, CounterIsProcessWideAndPrefixesEachReport) {
    TDebugCapture debug;
    TScreen a, b;
    const std::uint32_t before = TScreen::ReportCounter();
    a.ProcessText(E("^[c"));
    b.ProcessText(E("^[[3;1;2;3;4I"));
    ASSERT_EQ(debug.Calls.size(), 4u);
    char expect[16];
    std::snprintf(expect, sizeof expect, "%04X ", before + 1);
    EXPECT_EQ(debug.Calls[0], expect);
    std::snprintf(expect, sizeof expect, "%04X ", before + 2);
    EXPECT_EQ(debug.Calls[2], expect);
    EXPECT_EQ(TScreen::ReportCounter(), before + 2);
}

// ---- Feeding byte by byte and as text gives the same screen.
std::string RandomStream(std::mt19937& rng, std::size_t n) {
    static const char* const pieces[] = {"\x1b[",
                                         "\x1b",
                                         ";",
                                         "1",
                                         "31",
                                         "44",
                                         "m",
                                         "H",
                                         "J",
                                         "K",
                                         "r",
                                         "L",
                                         "M",
                                         "P",
                                         "@",
                                         "?7h",
                                         "?7l",
                                         "\r\n",
                                         "\n",
                                         "\t",
                                         "\x1bM",
                                         "\x1b"
                                         "7",
                                         "\x1b"
                                         "8",
                                         "\x1b(0",
                                         "\x1b(B",
                                         "\x0e",
                                         "\x0f",
                                         "0I",
                                         "4I",
                                         "1;3I",
                                         "5;10r",
                                         "25;80H",
                                         "A",
                                         "B",
                                         "C",
                                         "D",
                                         "S",
                                         "7m",
                                         "\x08",
                                         "12m"};
    std::uniform_int_distribution<int> kind(0, 3), piece(0, std::size(pieces) - 1), byte(0, 255);
    std::string s;
    while (s.size() < n) {
        if (kind(rng) == 0)
            s += char(byte(rng));
        else
            s += pieces[piece(rng)];
    }
    return s;
}

void ExpectSameScreen(const TScreen& a, const TScreen& b, bool sameXlat = true) {
    for (int r = 0; r < a.Rows(); ++r) {
        ASSERT_EQ(a.RowAt(r).Chars, b.RowAt(r).Chars) << "row " << r;
        ASSERT_EQ(a.RowAt(r).Attrs, b.RowAt(r).Attrs) << "row " << r;
    }
    EXPECT_EQ(a.CurRow(), b.CurRow());
    EXPECT_EQ(a.CurCol(), b.CurCol());
    EXPECT_EQ(a.CurAttr(), b.CurAttr());
    EXPECT_EQ(a.RegionTop(), b.RegionTop());
    EXPECT_EQ(a.RegionBottom(), b.RegionBottom());
    EXPECT_EQ(a.SeqBuf(), b.SeqBuf());
    EXPECT_EQ(a.RawCount(), b.RawCount());
    if (sameXlat) {
        EXPECT_EQ(a.RecvXlat(), b.RecvXlat());
    }
}

TEST(Equivalence, ByteAtATimeEqualsProcessTextInAnyChunks) {
    TDebugCapture debug;
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        const std::string stream = RandomStream(rng, 20000);
        TScreen one, text;
        for (char c : stream)
            one.ProcessByte(static_cast<std::uint8_t>(c));
        std::uniform_int_distribution<std::size_t> chunk(1, 300);
        for (std::size_t i = 0; i < stream.size();) {
            const std::size_t n = std::min(chunk(rng), stream.size() - i);
            text.ProcessText(std::string_view(stream).substr(i, n));
            i += n;
        }
        ExpectSameScreen(one, text);
        debug.Calls.clear();
        platform::TakeBeeps();
    }
}

// The normal table maps 0x00..0x7F to themselves, so a screen translating
// through it must end like one that does not, for ASCII streams that leave
// translation alone. The translating screen never takes ProcessByte's
// shortcuts, so this pits the shortcuts against the general path.
TEST(Equivalence, ShortcutsMatchTheGeneralPath) {
    TDebugCapture debug;
    std::mt19937 rng(11);
    for (int round = 0; round < 20; ++round) {
        std::string stream = RandomStream(rng, 20000);
        for (char& c : stream) {
            c = static_cast<char>(c & 0x7F);
            if (c == 'I' || c == '(' || c == 0x0E) c = 'x';
        }
        TScreen fast, general;
        general.SetRecvXlat(true);
        general.SetXlatDefault(true);
        fast.ProcessText(stream);
        general.ProcessText(stream);
        ExpectSameScreen(fast, general, false);
        EXPECT_EQ(fast.AutoWrap(), general.AutoWrap());
        EXPECT_EQ(fast.ReverseOn(), general.ReverseOn());
        EXPECT_EQ(fast.HighBitOn(), general.HighBitOn());
        const std::size_t calls = debug.Calls.size();
        ASSERT_EQ(calls % 4, 0u); // each report came once from each screen
        platform::TakeBeeps();
        debug.Calls.clear();
    }
}

} // namespace
} // namespace emulvt::test
