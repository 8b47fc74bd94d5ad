#include "MemoText.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

Lines LinesOf(const TMemoText& m) {
    Lines out;
    for (std::uint64_t i = 0; i < m.LineCount(); ++i)
        out.push_back(m.Line(i));
    return out;
}

void Feed(TMemoText& m, const std::string& bytes, TMemoForm form) {
    for (const char c : bytes)
        m.AddByte(static_cast<std::uint8_t>(c), form);
}

// Lines and caret after a stream in each form; the caret rules hold for every byte.
TEST(MemoText, FormsLineRulesAndCaret) {
    const std::string q60(60, 'q'), j20(20, 'J');
    std::string hex20, chars20;
    for (int i = 0; i < 20; ++i)
        hex20 += "4A ", chars20 += "J  ";
    struct Case {
        const char* name;
        TMemoForm form;
        std::string in;
        Lines out;
        TMemoPos caret;
        bool receive = true;
    } cases[] = {
        {"ascii byte", mfASCII, "A", {"A"}, {0, 1}},
        {"hex byte", mfHex, "A", {"41 "}, {0, 3}},
        {"both byte", mfBoth, "A", {"41 ", "A  "}, {0, 3}},
        {"both: three columns per byte", mfBoth, "Hi\r", {"48 69 0D ", "H  i  .  "}, {0, 9}},
        {"ascii fills 60", mfASCII, q60, {q60}, {0, 60}},
        {"ascii 61st byte", mfASCII, q60 + "y", {q60, "y"}, {1, 1}},
        {"hex fills 20 bytes", mfHex, j20, {hex20}, {0, 60}},
        {"hex 21st byte", mfHex, j20 + "K", {hex20, "4B "}, {1, 3}},
        {"both fills 20 bytes", mfBoth, j20, {hex20, chars20}, {0, 60}},
        {"both 21st byte starts a pair", mfBoth, j20 + "K", {hex20, chars20, "4B ", "K  "}, {2, 3}},
        {"hex shows CR and LF like any byte", mfHex, "\r\n", {"0D 0A "}, {0, 6}},
        {"CR LF ends a line", mfASCII, "ab\r\ncd", {"ab", "cd"}, {1, 2}},
        {"LF alone joins", mfASCII, "ab\ncd", {"abcd"}, {0, 4}},
        {"LF LF breaks", mfASCII, "ab\n\ncd", {"ab", "cd"}, {1, 2}},
        {"flag stays armed across characters", mfASCII, "AB\rCD\rE", {"ABCD", "E"}, {1, 1}},
        {"two pairs give an empty line", mfASCII, "a\r\n\r\nb", {"a", "", "b"}, {2, 1}},
        {"full line, CR LF: an empty line", mfASCII, q60 + "\r\nz", {q60, "", "z"}, {2, 1}},
        {"control bytes show as dots", mfASCII, "a\x01\x1b\tb", {"a...b"}, {0, 5}},
        {"high bytes are kept", mfASCII, "\x7f\x80\xc8\xff", {"\x7f\x80\xc8\xff"}, {0, 4}},
        {"CR first in an empty view", mfASCII, "\r\nx", {"", "x"}, {1, 1}},
        {"receive: CR LF does not move the caret", mfASCII, "ab\r\n", {"ab", ""}, {0, 2}},
        {"receive: a CR that breaks a full line", mfASCII, q60 + "\r", {q60, ""}, {0, 60}},
        {"editor: CR LF moves it to the new line", mfASCII, "ab\r\n", {"ab", ""}, {1, 0}, false},
    };
    for (const Case& c : cases) {
        TMemoText m(c.receive);
        Feed(m, c.in, c.form);
        EXPECT_EQ(LinesOf(m), c.out) << c.name;
        EXPECT_EQ(m.Caret(), c.caret) << c.name;
        EXPECT_FALSE(m.HasSelection()) << c.name;
        EXPECT_EQ(m.ScrollRequests(), c.in.size()) << c.name;
    }
}

// Hex and both forms keep bytes and format lines on demand; plain lines of the
// same stream are the reference, also across the 1 MiB storage chunks.
TEST(MemoText, CompactStorageShowsTheSameLines) {
    std::mt19937 rng(5);
    for (const std::size_t n : {1, 19, 20, 21, 61, 400, (1 << 20) + 50})
        for (const TMemoForm form : {mfHex, mfBoth}) {
            TMemoText compact, plain;
            plain.SetCompactStorage(false);
            for (std::size_t i = 0; i < n; ++i) {
                const auto b = static_cast<std::uint8_t>(rng());
                compact.AddByte(b, form), plain.AddByte(b, form);
            }
            ASSERT_EQ(compact.LineCount(), plain.LineCount()) << n;
            for (std::uint64_t i = 0; i < plain.LineCount(); ++i) {
                ASSERT_EQ(compact.Line(i), plain.Line(i)) << "line " << i << " of " << n;
                ASSERT_EQ(compact.LineLength(i), plain.LineLength(i)) << "line " << i;
            }
            EXPECT_EQ(compact.Caret(), plain.Caret()) << n;
        }
}

TEST(MemoText, LongTextKeepsEveryLine) {
    TMemoText m(true);
    const int n = 250000; // 1.6 MB of text: line 172472 spans two storage chunks
    for (int i = 0; i < n; ++i)
        Feed(m, std::to_string(i * 7) + (i % 2 ? "\r\n" : "\n\n"), mfASCII);
    ASSERT_EQ(m.LineCount(), n + 1u);
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(m.Line(i), std::to_string(i * 7)) << i;
        ASSERT_EQ(m.LineLength(i), std::to_string(i * 7).size()) << i;
    }
}

TEST(MemoText, FormChangeWithoutClearContinuesTheLastLines) {
    // A stored mode outside 0..3 changes the form without clearing the view.
    TMemoText m(false);
    std::string h20;
    for (int i = 0; i < 20; ++i)
        h20 += "68 ";
    Feed(m, std::string(41, 'h'), mfHex);
    Feed(m, "z\r\n", mfASCII);
    Feed(m, "C", mfBoth);
    Feed(m, "D", mfHex);
    EXPECT_EQ(LinesOf(m), (Lines{h20, h20, "68 z43 ", "C  44 "}));
    EXPECT_EQ(m.Caret(), (TMemoPos{3, 6}));
}

TEST(MemoText, SelectionAndClear) {
    TMemoText m(true);
    Feed(m, "Hello\r\nWorld", mfASCII);
    EXPECT_EQ(m.Text(), "Hello\r\nWorld\r\n");
    m.SetSelection({1, 99}, {0, 3}); // either direction, clamped to the text
    EXPECT_EQ(m.SelectedText(), "lo\r\nWorld");
    m.SetSelection({7, 7}, {9, 9});
    EXPECT_EQ(m.Caret(), (TMemoPos{1, 5}));
    // A receive line end keeps the selection; any other byte clears it.
    m.SetSelection({1, 1}, {1, 3});
    m.AddByte('\r', mfASCII);
    EXPECT_EQ(m.SelectedText(), "or");
    m.AddByte('x', mfASCII);
    EXPECT_FALSE(m.HasSelection());
    EXPECT_EQ(m.Caret(), (TMemoPos{1, 6}));
    EXPECT_TRUE(m.LineEnd());
    m.Clear();
    EXPECT_EQ(m.Caret(), TMemoPos{});
    EXPECT_EQ(m.Line(0), "");
    Feed(m, "B\r", mfASCII); // a stale line-end flag would start a new line here
    EXPECT_EQ(LinesOf(m), Lines{"B"});
    EXPECT_TRUE(m.LineEnd());
}

struct TCountingObserver : TMemoObserver {
    int Changes = 0;
    bool Destroyed = false;
    void MemoChanged() override { ++Changes; }
    void MemoDestroyed() override { Destroyed = true; }
};

TEST(MemoText, ObserverIsToldOncePerUpdateAndAtDestruction) {
    TCountingObserver o;
    {
        TMemoText m;
        m.SetObserver(&o);
        m.AddByte('a', mfASCII);
        EXPECT_EQ(o.Changes, 1);
        m.BeginUpdate();
        for (int i = 0; i < 100; ++i)
            m.AddByte('b', mfHex);
        m.Clear();
        EXPECT_EQ(o.Changes, 1);
        m.EndUpdate();
        EXPECT_EQ(o.Changes, 2);
        m.BeginUpdate();
        m.EndUpdate(); // nothing changed: nothing told
        EXPECT_EQ(o.Changes, 2);
    }
    EXPECT_TRUE(o.Destroyed);
}

} // namespace
