// A channel's views, histories and transmit keys, with its hooks recorded.
#include "ChannelView.h"
#include "Platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;
using Log = std::vector<std::string>;
using Beeps = std::vector<std::uint32_t>;

Lines LinesOf(const TMemoText& m) {
    Lines out;
    for (std::uint64_t i = 0; i < m.LineCount(); ++i)
        out.push_back(m.Line(i));
    return out;
}

struct TRig {
    TChannelView ch;
    std::string sent, ansi;
    Log log;
    int breakOffs = 0;
    TRig() {
        platform::TakeBeeps();
        ch.SendByte = [this](std::uint8_t b) { sent.push_back(static_cast<char>(b)); };
        ch.SetBreak = [this](bool on) { breakOffs += on ? 0 : 1; };
        ch.FeedAnsi = [this](std::uint8_t b) { ansi.push_back(static_cast<char>(b)); };
        ch.ClearAnsi = [this] { log.push_back("clearAnsi"), ansi.clear(); };
        ch.ResetAnsi = [this] { log.push_back("resetAnsi"), ansi.clear(); };
        ch.ShowOutPutList = [this](bool v) { log.push_back(v ? "showMemo" : "hideMemo"); };
        ch.FocusInputList = [this] { log.push_back("focus"); };
    }
    void Receive(const std::string& s) {
        for (const char c : s)
            ch.AddRxByte(static_cast<std::uint8_t>(c));
    }
    void Type(const std::u32string& s, TShiftState shift = 0) {
        for (const char32_t c : s) {
            ch.InputListKeyDown(0, shift);
            ch.InputListKeyPress(c);
        }
    }
    // Ctrl+digit types nothing; Ctrl+A..F type the codes 1..6.
    void CtrlKeys(const std::string& keys) {
        for (const char c : keys) {
            ch.InputListKeyDown(static_cast<std::uint16_t>(c), ssCtrl);
            if (c >= 'A') ch.InputListKeyPress(static_cast<char32_t>(c - 'A' + 1));
        }
    }
    Lines Out() const { return LinesOf(ch.OutPutList()); }
    Lines In() const { return LinesOf(ch.InputList()); }
};

TEST(ChannelView, AnsiModeFeedsTheTerminalViewAndOutOfRangeModesShowHex) {
    TRig c;
    c.Receive("\x1b[2J");
    c.ch.SetMode(TChannelView::dmANSI);
    EXPECT_EQ(c.log, (Log{"hideMemo", "resetAnsi", "focus"})); // a fresh start for the replay
    EXPECT_EQ(c.ansi, "\x1b[2J");                              // the history again, escapes and all
    c.Receive("x\r\n");
    EXPECT_EQ(c.ansi, "\x1b[2Jx\r\n");
    EXPECT_EQ(c.ch.OutPutList().LineCount(), 0u);
    // A mode outside 0..3 (as a settings load stores it) switches nothing,
    // but both memos take the hex form.
    c.log.clear();
    c.ch.SetMode(7);
    EXPECT_EQ(c.ch.Mode(), 7);
    EXPECT_EQ(c.ch.ModeButton(), -1);
    EXPECT_EQ(c.log, Log{});
    EXPECT_FALSE(c.ch.OutPutVisible());
    c.Receive("A");
    c.Type(U"B");
    EXPECT_EQ(c.ansi, "\x1b[2Jx\r\n");
    EXPECT_EQ(c.Out(), Lines{"41 "});
    EXPECT_EQ(c.In(), Lines{"42 "});
    // Leaving ANSI does not clear the terminal view.
    c.ch.SetMode(TChannelView::dmASCII);
    EXPECT_EQ(c.log, (Log{"showMemo", "focus"}));
}

TEST(ChannelView, SwitchReplaysHistoriesThatReconnectingKeepsAndClearingDrops) {
    TRig c;
    c.Receive("old");
    c.Type(U"tx");
    c.ch.ClearTxView(); // as connecting does
    c.ch.ClearRxView();
    EXPECT_EQ(c.ch.InputList().LineCount(), 0u);
    c.Receive("new");
    EXPECT_EQ(c.Out(), Lines{"new"});
    c.ch.SetMode(TChannelView::dmBoth);
    EXPECT_EQ(c.Out(), (Lines{"6F 6C 64 6E 65 77 ", "o  l  d  n  e  w  "}));
    EXPECT_EQ(c.In(), (Lines{"74 78 ", "t  x  "}));
    EXPECT_EQ(c.log, (Log{"showMemo", "focus"}));
    EXPECT_EQ(c.ch.RxData(), "oldnew"); // the replay does not record again
    // "clear Rx" takes the terminal view and the receive side only.
    c.log.clear();
    c.ch.ClearRx();
    EXPECT_EQ(c.log, Log{"clearAnsi"});
    c.ch.SetMode(TChannelView::dmHEX);
    EXPECT_EQ(c.ch.OutPutList().LineCount(), 0u);
    EXPECT_EQ(c.In(), Lines{"74 78 "});
    c.ch.ClearTx();
    c.ch.SetMode(TChannelView::dmASCII);
    EXPECT_EQ(c.ch.InputList().LineCount(), 0u);
}

TEST(ChannelView, LongHistoryKeepsEveryByte) {
    TChannelView ch; // ANSI with no terminal view: only the history grows
    ch.SetMode(TChannelView::dmANSI);
    const std::size_t n = (std::size_t{16} << 20) + 3; // past the step to reserved growth
    for (std::size_t i = 0; i < n; ++i)
        ch.AddRxByte(static_cast<std::uint8_t>(i % 251));
    ASSERT_EQ(ch.RxData().size(), n);
    for (const std::size_t i : {std::size_t{0}, (std::size_t{16} << 20) - 1, n - 1})
        EXPECT_EQ(static_cast<std::uint8_t>(ch.RxData()[i]), i % 251);
    ch.ClearRx();
    EXPECT_EQ(ch.RxData().capacity(), std::string().capacity()); // the memory is handed back
}

// The switch to ANSI hands the history over in slices; a receive that runs
// meanwhile and moves the history to new memory does not disturb them.
TEST(ChannelView, AnsiReplayInSlicesSurvivesTheHistoryGrowing) {
    TRig c;
    std::string history(200000, '\0');
    for (std::size_t i = 0; i < history.size(); ++i)
        history[i] = static_cast<char>(i * 7 % 256);
    c.Receive(history);
    std::string slices;
    std::size_t count = 0, largest = 0;
    c.ch.FeedAnsiText = [&](std::string_view text) {
        if (count++ == 0) c.Receive(std::string(300000, 'n')); // grows past its capacity
        slices += text;
        largest = std::max(largest, text.size());
    };
    c.ch.SetMode(TChannelView::dmANSI);
    EXPECT_EQ(c.ch.RxData().size(), 500000u);
    EXPECT_TRUE(slices == c.ch.RxData()); // the whole history, in order, once
    EXPECT_EQ(largest, std::size_t{64} << 10);
    EXPECT_EQ(c.ansi, std::string(300000, 'n')); // the nested bytes also showed live
}

TEST(ChannelView, EveryByteValueReplaysAsShown) {
    std::string all;
    for (int i = 0; i < 512; ++i)
        all.push_back(static_cast<char>(i));
    for (const std::uint8_t mode : {0, 1, 2}) {
        TRig live, replayed;
        live.ch.SetMode(mode);
        live.Receive(all);
        replayed.Receive(all);
        replayed.ch.SetMode(mode);
        EXPECT_EQ(replayed.ch.RxData(), all);
        EXPECT_EQ(replayed.Out(), live.Out()) << int(mode);
    }
}

TEST(TxKeys, HexEntry) {
    TRig e;
    e.ch.SetMode(TChannelView::dmHEX);
    e.CtrlKeys("FF00AB");
    EXPECT_EQ(e.sent, std::string("\xff\0\xab", 3));
    EXPECT_EQ(e.ch.TxData(), e.sent);
    EXPECT_EQ(e.In(), Lines{"FF 00 AB "});
    EXPECT_EQ(platform::TakeBeeps(), Beeps{});
    e.ch.SetMode(TChannelView::dmANSI); // the editor shows ANSI as ASCII
    EXPECT_EQ(e.In(), Lines{"\xff.\xab"});
    // With a mouse button or another modifier held, a digit is no hex digit.
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
        TRig e;
        e.Type(std::u32string(1, c.ch), c.shift);
        EXPECT_EQ(e.sent, "") << c.name;
        EXPECT_EQ(e.ch.InputList().LineCount(), 0u) << c.name;
        EXPECT_EQ(platform::TakeBeeps(), c.beeps ? Beeps{1} : Beeps{}) << c.name;
        EXPECT_EQ(e.breakOffs, 2) << c.name; // key-down and character both end a break
    }
}

TEST(TxKeys, PendingDigitSurvivesEnterClearingAndModeSwitch) {
    TRig e;
    e.CtrlKeys("4");
    e.Type(U"\r");
    EXPECT_EQ(e.In(), (Lines{"", ""}));
    e.ch.ClearTx();
    e.ch.SetMode(TChannelView::dmHEX);
    e.ch.ClearTxView();
    e.CtrlKeys("2");
    EXPECT_EQ(e.sent, "\r\nB");
    EXPECT_EQ(e.ch.TxData(), "B");
    EXPECT_EQ(e.In(), Lines{"42 "});
    // A character with no byte leaves a pending digit alone.
    e.CtrlKeys("7");
    e.Type(U"\u0416");
    e.CtrlKeys("A");
    EXPECT_EQ(e.sent, "\r\nBz");
}

TEST(TxKeys, FailedSendLeavesTheByteShownAndRecorded) {
    TRig e;
    e.ch.SendByte = [](std::uint8_t) { throw std::runtime_error("write failed"); };
    EXPECT_THROW(e.Type(U"\u20AC"), std::runtime_error);
    EXPECT_EQ(e.ch.TxData(), "\x80");
    EXPECT_EQ(e.In(), Lines{"\x80"});
}

} // namespace
