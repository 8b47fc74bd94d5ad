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

Lines Shown(const std::string& bytes, TMemoForm form, bool receive = true) {
    TMemoText m(receive);
    Feed(m, bytes, form);
    return LinesOf(m);
}

// The memo steps written out plainly over a list of strings: an oracle for the
// model's storage (chunks, frozen lines, byte storage, form changes).
struct TPlainMemo {
    Lines L;
    bool Flag = false;
    void Add(std::uint8_t b, TMemoForm form) {
        static const char* hexd = "0123456789ABCDEF";
        const std::string hex{hexd[b >> 4], hexd[b & 15]};
        const char ch = b < 32 ? '.' : static_cast<char>(b);
        if (form == mfASCII) {
            if (L.empty()) L.emplace_back(), Flag = false;
            if (L.back().size() == 60) L.emplace_back();
            if (b == 13 || b == 10) {
                if (Flag)
                    L.emplace_back(), Flag = false;
                else
                    Flag = true;
            } else {
                L.back() += ch;
            }
        } else if (form == mfHex) {
            if (L.empty()) L.emplace_back();
            if (L.back().size() == 60) L.emplace_back();
            L.back() += hex;
            if (L.back().size() < 60) L.back() += ' ';
        } else {
            if (L.empty()) L.emplace_back(), L.emplace_back();
            if (L.size() == 1) L.emplace_back();
            if (L[L.size() - 2].size() == 60) L.emplace_back(), L.emplace_back();
            std::string& h = L[L.size() - 2];
            std::string& c = L.back();
            h += hex;
            c += ch;
            c += ' ';
            if (h.size() < 60) h += ' ', c += ' ';
        }
    }
};

TEST(MemoText, OneByteInEachForm) {
    EXPECT_EQ(Shown("A", mfASCII), Lines{"A"});
    EXPECT_EQ(Shown("A", mfHex), Lines{"41 "});
    EXPECT_EQ(Shown("A", mfBoth), (Lines{"41 ", "A  "}));
    // H, i, CR in the both form: three columns per byte in both rows.
    EXPECT_EQ(Shown("Hi\r", mfBoth), (Lines{"48 69 0D ", "H  i  .  "}));
}

TEST(MemoText, LinesFillToSixtyColumns) {
    const std::string sixty(60, 'x');
    EXPECT_EQ(Shown(sixty, mfASCII), Lines{sixty});
    EXPECT_EQ(Shown(sixty + "y", mfASCII), (Lines{sixty, "y"}));

    const std::string twenty(20, 'J'); // 4A
    std::string fullHex;
    for (int i = 0; i < 20; ++i)
        fullHex += "4A ";
    ASSERT_EQ(fullHex.size(), 60u);
    EXPECT_EQ(Shown(twenty, mfHex), Lines{fullHex});
    EXPECT_EQ(Shown(twenty + "K", mfHex), (Lines{fullHex, "4B "}));

    std::string fullChars;
    for (int i = 0; i < 20; ++i)
        fullChars += "J  ";
    EXPECT_EQ(Shown(twenty, mfBoth), (Lines{fullHex, fullChars}));
    EXPECT_EQ(Shown(twenty + "K", mfBoth), (Lines{fullHex, fullChars, "4B ", "K  "}));
}

TEST(MemoText, AsciiLineEnds) {
    struct Case {
        const char* name;
        std::string in;
        Lines out;
    } cases[] = {
        {"CR LF ends a line", "ab\r\ncd", {"ab", "cd"}},
        {"LF alone joins", "ab\ncd", {"abcd"}},
        {"LF LF breaks", "ab\n\ncd", {"ab", "cd"}},
        {"flag stays armed across characters", "AB\rCD\rE", {"ABCD", "E"}},
        {"two pairs give an empty line", "a\r\n\r\nb", {"a", "", "b"}},
        {"a full line then CR LF leaves an empty line",
         std::string(60, 'q') + "\r\nz",
         {std::string(60, 'q'), "", "z"}},
        {"control bytes show as dots", std::string("a\x01\x1b\tb"), {"a...b"}},
        {"high bytes are kept", std::string("\x7f\x80\xc8\xff"), {std::string("\x7f\x80\xc8\xff")}},
        {"CR first in an empty view", "\r\nx", {"", "x"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Shown(c.in, mfASCII), c.out) << c.name;
    // HEX shows CR and LF like any byte.
    EXPECT_EQ(Shown("\r\n", mfHex), Lines{"0D 0A "});
}

TEST(MemoText, ClearedViewClearsTheFlagAtTheNextByte) {
    TMemoText m(true);
    Feed(m, "A\r", mfASCII);
    EXPECT_TRUE(m.LineEnd());
    m.Clear();
    EXPECT_EQ(m.LineCount(), 0u);
    Feed(m, "B\r", mfASCII); // a stale flag would have started a new line here
    EXPECT_EQ(LinesOf(m), Lines{"B"});
    EXPECT_TRUE(m.LineEnd());
}

TEST(MemoText, CaretFollowsTheLastByte) {
    struct Case {
        const char* name;
        std::string in;
        TMemoForm form;
        bool receive;
        TMemoPos caret;
    } cases[] = {
        {"ascii", "abc", mfASCII, true, {0, 3}},
        {"ascii next line", std::string(61, 'a'), mfASCII, true, {1, 1}},
        {"receive: CR LF does not move the caret", "ab\r\n", mfASCII, true, {0, 2}},
        {"editor: CR LF moves it to the new line", "ab\r\n", mfASCII, false, {1, 0}},
        {"receive: a CR that breaks a full line",
         std::string(60, 'a') + "\r",
         mfASCII,
         true,
         {0, 60}},
        {"hex", "ab", mfHex, true, {0, 6}},
        {"hex full line", std::string(20, 'a'), mfHex, true, {0, 60}},
        {"both: end of the hex row", "abc", mfBoth, true, {0, 9}},
        {"both: second pair", std::string(21, 'a'), mfBoth, true, {2, 3}},
        {"both: CR moves it", "a\r", mfBoth, true, {0, 6}},
    };
    for (const Case& c : cases) {
        TMemoText m(c.receive);
        Feed(m, c.in, c.form);
        EXPECT_EQ(m.Caret(), c.caret) << c.name;
        EXPECT_FALSE(m.HasSelection()) << c.name;
        EXPECT_EQ(m.ScrollRequests(), c.in.size()) << c.name;
    }
}

TEST(MemoText, ByteClearsTheSelectionButReceiveLineEndKeepsIt) {
    TMemoText m(true);
    Feed(m, "hello", mfASCII);
    m.SetSelection({0, 1}, {0, 3});
    m.AddByte('\r', mfASCII);
    EXPECT_EQ(m.SelectedText(), "el");
    m.AddByte('x', mfASCII);
    EXPECT_FALSE(m.HasSelection());
    EXPECT_EQ(m.Caret(), (TMemoPos{0, 6}));
}

TEST(MemoText, MatchesThePlainStepsForAnyStream) {
    std::mt19937 rng(5);
    struct Run {
        std::size_t n;
        TMemoForm form;
        bool compact;
    };
    std::vector<Run> runs;
    // Sizes around the 20-byte rows, in every form and storage...
    for (const std::size_t n : {0, 1, 19, 20, 21, 59, 60, 61, 400})
        for (const TMemoForm form : {mfASCII, mfHex, mfBoth})
            for (const bool compact : {true, false})
                runs.push_back({n, form, compact});
    // ...and across the 1 MiB storage chunks.
    runs.push_back({(1u << 20) + 77, mfASCII, true});
    runs.push_back({(1u << 18) + 77, mfHex, false});
    for (const auto& [n, form, compact] : runs) {
        std::string bytes(n, '\0');
        for (char& c : bytes) {
            const unsigned r = rng() % 10;
            c = static_cast<char>(r == 0 ? '\r' : r == 1 ? '\n' : rng() % 256);
        }
        {
            {
                TMemoText m(false);
                m.SetCompactStorage(compact);
                TPlainMemo plain;
                for (const char c : bytes) {
                    m.AddByte(static_cast<std::uint8_t>(c), form);
                    plain.Add(static_cast<std::uint8_t>(c), form);
                }
                ASSERT_EQ(m.LineCount(), plain.L.size()) << n << " form " << int(form);
                for (std::uint64_t i = 0; i < m.LineCount(); ++i) {
                    ASSERT_EQ(m.Line(i), plain.L[i]) << "line " << i << " of " << n;
                    ASSERT_EQ(m.LineLength(i), plain.L[i].size());
                }
                if (n == 0 || form == mfASCII) continue; // the ASCII caret has its own test
                const std::size_t row = plain.L.size() - (form == mfBoth ? 2 : 1);
                EXPECT_EQ(m.Caret(), (TMemoPos{row, plain.L[row].size()}));
            }
        }
    }
}

TEST(MemoText, ByteStorageAcrossChunks) {
    const std::uint64_t n = (1u << 20) + 50;
    TMemoText m;
    for (std::uint64_t i = 0; i < n; ++i)
        m.AddByte(static_cast<std::uint8_t>(i * 7), mfBoth);
    ASSERT_EQ(m.LineCount(), 2 * ((n + 19) / 20));
    static const char* hexd = "0123456789ABCDEF";
    for (std::uint64_t row = (1u << 20) / 20 - 2; row < (n + 19) / 20; ++row) {
        std::string hex, chars;
        for (std::uint64_t i = row * 20; i < std::min(n, row * 20 + 20); ++i) {
            const auto b = static_cast<std::uint8_t>(i * 7);
            hex += {hexd[b >> 4], hexd[b & 15], ' '};
            chars += {b < 32 ? '.' : static_cast<char>(b), ' ', ' '};
        }
        ASSERT_EQ(m.Line(2 * row), hex) << row;
        ASSERT_EQ(m.Line(2 * row + 1), chars) << row;
    }
}

TEST(MemoText, FormChangeWithoutClearFollowsTheSteps) {
    // The channel always clears before a form changes; the model still keeps
    // the steps exact when it does not.
    const std::vector<std::pair<std::string, TMemoForm>> runs = {{std::string(25, 'h'), mfHex},
                                                                 {"as\r\ncii", mfASCII},
                                                                 {"bo", mfBoth},
                                                                 {std::string(30, 'x'), mfHex},
                                                                 {"yz", mfBoth}};
    TMemoText m(false);
    TPlainMemo plain;
    for (const auto& [bytes, form] : runs)
        for (const char c : bytes) {
            m.AddByte(static_cast<std::uint8_t>(c), form);
            plain.Add(static_cast<std::uint8_t>(c), form);
        }
    EXPECT_EQ(LinesOf(m), plain.L);
}

TEST(MemoText, SelectionIsClampedToTheText) {
    TMemoText m(true);
    Feed(m, "Hello\r\nWorld", mfASCII);
    EXPECT_EQ(m.Text(), "Hello\r\nWorld\r\n");
    m.SetSelection({1, 99}, {0, 3}); // either direction
    EXPECT_EQ(m.SelectedText(), "lo\r\nWorld");
    m.SetSelection({7, 7}, {9, 9});
    EXPECT_EQ(m.Caret(), (TMemoPos{1, 5}));
    m.Clear();
    EXPECT_EQ(m.Caret(), TMemoPos{});
    EXPECT_EQ(m.Line(0), "");
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
