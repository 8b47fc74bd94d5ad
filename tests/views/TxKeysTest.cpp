#include "ChannelView.h"
#include "Platform.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;
using Beeps = std::vector<std::uint32_t>;

// A channel whose port writes and break releases are recorded.
struct TEditorChannel {
    TChannelView ch;
    std::string sent;
    int breakOffs = 0;
    TEditorChannel() {
        platform::TakeBeeps();
        ch.SendByte = [this](std::uint8_t b) { sent.push_back(static_cast<char>(b)); };
        ch.SetBreak = [this](bool on) { breakOffs += on ? 0 : 1; };
    }
    // Ctrl+digit types nothing; Ctrl+A..F type the codes 1..6.
    void CtrlKey(char c) {
        ch.InputListKeyDown(static_cast<std::uint16_t>(c), ssCtrl);
        if (c >= 'A') ch.InputListKeyPress(static_cast<char32_t>(c - 'A' + 1));
    }
    void Type(char32_t c, TShiftState shift = 0) {
        ch.InputListKeyDown(0, shift);
        ch.InputListKeyPress(c);
    }
    Lines Editor() const {
        Lines out;
        for (std::uint64_t i = 0; i < ch.InputList().LineCount(); ++i)
            out.push_back(ch.InputList().Line(i));
        return out;
    }
};

TEST(TxKeys, HexEntryInEachMode) {
    struct Case {
        std::uint8_t mode;
        const char* keys;
        std::string sent;
        Lines shown;
    } cases[] = {
        {TChannelView::dmBoth, "41", "A", {"41 ", "A  "}},
        {TChannelView::dmANSI, "41", "A", {"A"}}, // the editor shows ANSI as ASCII
        {TChannelView::dmHEX, "FF00AB", std::string("\xff\0\xab", 3), {"FF 00 AB "}},
    };
    for (const Case& c : cases) {
        TEditorChannel e;
        e.ch.SetMode(c.mode);
        for (const char* k = c.keys; *k; ++k)
            e.CtrlKey(*k);
        EXPECT_EQ(e.sent, c.sent) << c.keys;
        EXPECT_EQ(e.ch.TxData(), c.sent) << c.keys;
        EXPECT_EQ(e.Editor(), c.shown) << c.keys;
        EXPECT_EQ(platform::TakeBeeps(), Beeps{}) << c.keys;
    }
    // With a mouse button or another modifier held, a digit is no hex digit.
    TEditorChannel e;
    for (const int s : {ssCtrl | ssLeft, ssCtrl | ssAlt, ssCtrl | ssShift}) {
        e.ch.InputListKeyDown('4', static_cast<TShiftState>(s));
        EXPECT_FALSE(e.ch.Keys().HexPending());
        EXPECT_EQ(e.ch.Keys().LastShift(), s);
    }
}

TEST(TxKeys, RefusedCharacters) {
    struct Case {
        const char* name;
        TShiftState shift;
        char32_t ch;
        bool beeps;
    } cases[] = {
        {"Backspace", 0, 8, true},
        {"Escape", 0, 27, true},
        {"Ctrl+A code 1", ssCtrl, 1, false},
        {"Ctrl+I code 9", ssCtrl, 9, false},
        {"Ctrl+J code 10", ssCtrl, 10, true},
        {"Ctrl with letter e", ssCtrl, U'e', false},
        {"Ctrl+Alt with a character", ssCtrl | ssAlt, U'@', true},
        {"no byte for it", 0, U'\u0416', true},
        {"outside the plane", 0, U'\U0001F600', true},
    };
    for (const Case& c : cases) {
        TEditorChannel e;
        e.Type(c.ch, c.shift);
        EXPECT_EQ(e.sent, "") << c.name;
        EXPECT_EQ(e.ch.InputList().LineCount(), 0u) << c.name;
        EXPECT_EQ(platform::TakeBeeps(), c.beeps ? Beeps{1} : Beeps{}) << c.name;
        EXPECT_EQ(e.breakOffs, 2) << c.name; // key-down and character both end a break
    }
}

TEST(TxKeys, PendingDigitSurvivesEnterClearingAndModeSwitch) {
    TEditorChannel e;
    e.CtrlKey('4');
    e.Type(13);
    EXPECT_EQ(e.Editor(), (Lines{"", ""}));
    e.ch.ClearTx();
    e.ch.SetMode(TChannelView::dmHEX);
    e.ch.ClearTxView();
    e.CtrlKey('2');
    EXPECT_EQ(e.sent, "\r\nB");
    EXPECT_EQ(e.ch.TxData(), "B");
    EXPECT_EQ(e.Editor(), Lines{"42 "});
    // A character with no byte leaves a pending digit alone.
    e.CtrlKey('7');
    e.Type(U'\u0416');
    e.CtrlKey('A');
    EXPECT_EQ(e.sent, "\r\nBz");
}

TEST(TxKeys, FailedSendLeavesTheByteShownAndRecorded) {
    TEditorChannel e;
    e.ch.SendByte = [](std::uint8_t) { throw std::runtime_error("write failed"); };
    EXPECT_THROW(e.Type(U'\u20AC'), std::runtime_error);
    EXPECT_EQ(e.ch.TxData(), "\x80");
    EXPECT_EQ(e.Editor(), Lines{"\x80"});
}

} // namespace
