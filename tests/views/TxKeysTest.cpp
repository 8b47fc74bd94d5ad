#include "ChannelView.h"
#include "Platform.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

// A channel whose port writes are recorded.
struct TEditorChannel {
    TChannelView ch;
    std::string sent;
    int breakOffs = 0;
    TEditorChannel() {
        platform::TakeBeeps();
        ch.SendByte = [this](std::uint8_t b) { sent.push_back(static_cast<char>(b)); };
        ch.SetBreak = [this](bool on) {
            if (!on) ++breakOffs;
        };
    }
    // A key with the character it types, as the editor widget reports them.
    void Key(std::uint16_t vk, TShiftState shift, char32_t ch32 = 0, bool typesChar = false) {
        ch.InputListKeyDown(vk, shift);
        if (typesChar) ch.InputListKeyPress(ch32);
    }
    void CtrlDigit(char c) {
        Key(static_cast<std::uint16_t>(c), ssCtrl, c >= 'A' ? c - 'A' + 1 : 0, c >= 'A');
    }
    void Type(char32_t c) { Key(0, 0, c, true); }
    std::vector<std::string> EditorLines() const {
        std::vector<std::string> out;
        for (std::uint64_t i = 0; i < ch.InputList().LineCount(); ++i)
            out.push_back(ch.InputList().Line(i));
        return out;
    }
};

using Lines = std::vector<std::string>;

TEST(TxKeys, CtrlHexDigitsSendOneByte) {
    struct Case {
        std::uint8_t mode;
        const char* keys;
        std::string sent;
        Lines shown;
    } cases[] = {
        {TChannelView::dmASCII, "41", "A", {"A"}},
        {TChannelView::dmHEX, "41", "A", {"41 "}},
        {TChannelView::dmBoth, "41", "A", {"41 ", "A  "}},
        {TChannelView::dmANSI, "41", "A", {"A"}},  // the editor shows ANSI as ASCII
        {TChannelView::dmASCII, "0D", "\r", {""}}, // CR only arms the line end
        {TChannelView::dmHEX, "FF00", std::string("\xff\0", 2), {"FF 00 "}},
        {TChannelView::dmHEX, "AB", "\xab", {"AB "}},
    };
    for (const Case& c : cases) {
        TEditorChannel e;
        e.ch.SetMode(c.mode);
        for (const char* k = c.keys; *k; ++k)
            e.CtrlDigit(*k);
        EXPECT_EQ(e.sent, c.sent) << c.keys;
        EXPECT_EQ(e.ch.TxData(), c.sent) << c.keys;
        EXPECT_EQ(e.EditorLines(), c.shown) << c.keys;
        EXPECT_TRUE(platform::TakeBeeps().empty()) << c.keys; // Ctrl+A..F type 1..6: silent
    }
}

TEST(TxKeys, FirstDigitThenCharacterBeepsAndDropsTheDigit) {
    TEditorChannel e;
    e.CtrlDigit('4');
    EXPECT_TRUE(e.ch.Keys().HexPending());
    EXPECT_EQ(e.ch.Keys().HexFirst(), '4');
    e.Type('x');
    EXPECT_EQ(platform::TakeBeeps(), std::vector<std::uint32_t>{1});
    EXPECT_EQ(e.sent, "x");
    EXPECT_FALSE(e.ch.Keys().HexPending());
}

TEST(TxKeys, NotHexEntry) {
    struct Case {
        const char* name;
        std::uint16_t vk;
        TShiftState shift;
    } cases[] = {
        {"Ctrl+Shift+4", '4', ssCtrl | ssShift},
        {"Ctrl+Alt+4", '4', ssCtrl | ssAlt},
        {"Ctrl+4 with a mouse button", '4', ssCtrl | ssLeft},
        {"Ctrl+keypad 4", vkNumpad0 + 4, ssCtrl},
        {"Ctrl+G", 'G', ssCtrl},
        {"Ctrl+Z", 'Z', ssCtrl},
        {"plain 4", '4', 0},
        {"Alt+4", '4', ssAlt},
    };
    for (const Case& c : cases) {
        TEditorChannel e;
        e.ch.InputListKeyDown(c.vk, c.shift);
        EXPECT_FALSE(e.ch.Keys().HexPending()) << c.name;
        EXPECT_EQ(e.ch.Keys().LastShift(), c.shift) << c.name;
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
        {"Tab", 0, 9, true},
        {"Escape", 0, 27, true},
        {"Ctrl+A code 1", ssCtrl, 1, false},
        {"Ctrl+I code 9", ssCtrl, 9, false},
        {"Ctrl+J code 10", ssCtrl, 10, true},
        {"Ctrl+Z code 26", ssCtrl, 26, true},
        {"Ctrl+Alt with a character", ssCtrl | ssAlt, U'@', true},
        {"Ctrl with letter e", ssCtrl, U'e', false},
        {"no byte for it", 0, U'\u0416', true},
        {"outside the plane", 0, U'\U0001F600', true},
    };
    for (const Case& c : cases) {
        TEditorChannel e;
        e.Key(0, c.shift, c.ch, true);
        EXPECT_EQ(e.sent, "") << c.name;
        EXPECT_EQ(e.ch.InputList().LineCount(), 0u) << c.name;
        EXPECT_EQ(platform::TakeBeeps(),
                  c.beeps ? std::vector<std::uint32_t>{1} : std::vector<std::uint32_t>{})
            << c.name;
    }
}

TEST(TxKeys, TypedCharactersAreSentAsWindows1252) {
    TEditorChannel e;
    for (const char32_t c : {U'a', U' ', U'\u20AC', U'\u00E9', U'\u00FF', U'\u0178'})
        e.Type(c);
    EXPECT_EQ(e.sent, "a \x80\xe9\xff\x9f");
    EXPECT_EQ(e.EditorLines(), Lines{"a \x80\xe9\xff\x9f"});
    EXPECT_TRUE(platform::TakeBeeps().empty());
}

TEST(TxKeys, EnterSendsCrLfAndStartsANewLine) {
    TEditorChannel e;
    e.Type('a');
    e.CtrlDigit('4'); // left pending across Enter
    e.Key(vkReturn, 0, 13, true);
    EXPECT_EQ(e.sent, "a\r\n");
    EXPECT_EQ(e.ch.TxData(), "a\r\n");
    EXPECT_EQ(e.EditorLines(), (Lines{"a", ""}));
    EXPECT_EQ(e.ch.InputList().Caret(), (TMemoPos{1, 0}));
    e.CtrlDigit('1');
    EXPECT_EQ(e.sent, "a\r\nA");
    EXPECT_EQ(e.EditorLines(), (Lines{"a", "A"}));
}

TEST(TxKeys, AnyKeyEndsABreak) {
    TEditorChannel e;
    e.Key(vkShift, ssShift);
    e.Key(vkLeft, 0);
    e.Type('x');
    EXPECT_EQ(e.breakOffs, 4); // three key-downs and one character
}

TEST(TxKeys, PendingDigitSurvivesClearingAndModeSwitch) {
    TEditorChannel e;
    e.CtrlDigit('4');
    e.ch.ClearTx();
    e.ch.SetMode(TChannelView::dmHEX);
    e.ch.ClearTxView();
    e.CtrlDigit('2');
    EXPECT_EQ(e.sent, "B");
    EXPECT_EQ(e.EditorLines(), Lines{"42 "});
}

TEST(TxKeys, FailedSendLeavesTheByteShownAndRecorded) {
    TEditorChannel e;
    e.ch.SendByte = [](std::uint8_t) { throw std::runtime_error("write failed"); };
    EXPECT_THROW(e.Type('q'), std::runtime_error);
    EXPECT_EQ(e.ch.TxData(), "q");
    EXPECT_EQ(e.EditorLines(), Lines{"q"});
}

} // namespace
