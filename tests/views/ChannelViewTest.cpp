#include "ChannelView.h"

#include <gtest/gtest.h>

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

// A channel with its hooks recorded in one log.
struct TLoggedChannel {
    TChannelView ch;
    std::vector<std::string> log;
    std::string ansi;
    TLoggedChannel() {
        ch.FeedAnsi = [this](std::uint8_t b) { ansi.push_back(static_cast<char>(b)); };
        ch.ClearAnsi = [this] {
            log.push_back("clearAnsi");
            ansi.clear();
        };
        ch.ShowOutPutList = [this](bool v) { log.push_back(v ? "showMemo" : "hideMemo"); };
        ch.FocusInputList = [this] { log.push_back("focus"); };
        ch.SendByte = [](std::uint8_t) {};
    }
    void Receive(const std::string& s) {
        for (const char c : s)
            ch.AddRxByte(static_cast<std::uint8_t>(c));
    }
    void Send(const std::string& s) {
        for (const char c : s) {
            ch.InputListKeyDown(0, 0);
            ch.InputListKeyPress(static_cast<unsigned char>(c));
        }
    }
};

TEST(ChannelView, SwitchReplaysBothHistories) {
    TLoggedChannel c;
    c.Receive("Hello\r\n");
    c.Send("Hi");
    EXPECT_EQ(LinesOf(c.ch.OutPutList()), (Lines{"Hello", ""}));
    c.ch.SetMode(TChannelView::dmHEX);
    EXPECT_EQ(LinesOf(c.ch.OutPutList()), Lines{"48 65 6C 6C 6F 0D 0A "});
    EXPECT_EQ(LinesOf(c.ch.InputList()), Lines{"48 69 "});
    EXPECT_EQ(c.log, (std::vector<std::string>{"showMemo", "focus"}));
    c.ch.SetMode(TChannelView::dmBoth);
    EXPECT_EQ(LinesOf(c.ch.InputList()), (Lines{"48 69 ", "H  i  "}));
    c.ch.SetMode(TChannelView::dmASCII);
    EXPECT_EQ(LinesOf(c.ch.OutPutList()), (Lines{"Hello", ""}));
    EXPECT_EQ(c.ch.RxData(), "Hello\r\n"); // the replay does not record again
}

TEST(ChannelView, AnsiModeFeedsTheTerminalView) {
    TLoggedChannel c;
    c.Receive("\x1b[2J");
    c.Send("ab");
    c.ch.SetMode(TChannelView::dmANSI);
    EXPECT_EQ(c.log, (std::vector<std::string>{"hideMemo", "clearAnsi", "focus"}));
    EXPECT_FALSE(c.ch.OutPutVisible());
    EXPECT_EQ(c.ansi, "\x1b[2J"); // the history again, escapes and all
    EXPECT_EQ(c.ch.OutPutList().LineCount(), 0u);
    EXPECT_EQ(LinesOf(c.ch.InputList()), Lines{"ab"});
    c.Receive("x\r\n");
    EXPECT_EQ(c.ansi, "\x1b[2Jx\r\n");
    EXPECT_EQ(c.ch.RxData(), "\x1b[2Jx\r\n");
    EXPECT_EQ(c.ch.OutPutList().LineCount(), 0u);
    // Leaving ANSI does not clear the terminal view.
    c.log.clear();
    c.ch.SetMode(TChannelView::dmASCII);
    EXPECT_EQ(c.log, (std::vector<std::string>{"showMemo", "focus"}));
    EXPECT_TRUE(c.ch.OutPutVisible());
}

TEST(ChannelView, ClearingEmptiesViewAndHistory) {
    TLoggedChannel c;
    c.Receive("abc");
    c.Send("de");
    c.ch.ClearRx();
    EXPECT_EQ(c.log, std::vector<std::string>{"clearAnsi"});
    EXPECT_EQ(c.ch.RxData(), "");
    c.ch.SetMode(TChannelView::dmHEX);
    EXPECT_EQ(c.ch.OutPutList().LineCount(), 0u);
    EXPECT_EQ(LinesOf(c.ch.InputList()), Lines{"64 65 "});
    c.ch.ClearTx();
    EXPECT_EQ(c.ch.TxData(), "");
    c.ch.SetMode(TChannelView::dmASCII);
    EXPECT_EQ(c.ch.InputList().LineCount(), 0u);
}

TEST(ChannelView, ReconnectEmptiesViewsButKeepsHistories) {
    TLoggedChannel c;
    c.Receive("old");
    c.Send("tx");
    c.ch.ClearTxView();
    c.ch.ClearRxView();
    EXPECT_EQ(c.ch.OutPutList().LineCount(), 0u);
    EXPECT_EQ(c.ch.InputList().LineCount(), 0u);
    c.Receive("new");
    EXPECT_EQ(LinesOf(c.ch.OutPutList()), Lines{"new"});
    c.ch.SetMode(TChannelView::dmASCII);
    EXPECT_EQ(LinesOf(c.ch.OutPutList()), Lines{"oldnew"});
    EXPECT_EQ(LinesOf(c.ch.InputList()), Lines{"tx"});
}

TEST(ChannelView, OutOfRangeModeShowsHexAndKeepsTheViews) {
    TLoggedChannel c;
    c.ch.SetMode(TChannelView::dmANSI);
    c.log.clear();
    c.ch.ClearRx();
    c.ch.ClearTx();
    c.ch.SetMode(7); // as a settings load stores it
    EXPECT_EQ(c.ch.Mode(), 7);
    EXPECT_EQ(c.ch.ModeButton(), -1);
    EXPECT_EQ(c.log, std::vector<std::string>{"clearAnsi"}); // no show, no switch
    EXPECT_FALSE(c.ch.OutPutVisible());
    c.Receive("A");
    c.Send("B");
    EXPECT_EQ(c.ansi, "");
    EXPECT_EQ(LinesOf(c.ch.OutPutList()), Lines{"41 "});
    EXPECT_EQ(LinesOf(c.ch.InputList()), Lines{"42 "});
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

TEST(ChannelView, EveryByteValueReplaysAsShown) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    for (const std::uint8_t mode : {0, 1, 2}) {
        TLoggedChannel live, replayed;
        live.ch.SetMode(mode);
        live.Receive(all + all);
        replayed.Receive(all + all);
        replayed.ch.SetMode(mode);
        EXPECT_EQ(replayed.ch.RxData(), all + all);
        EXPECT_EQ(LinesOf(replayed.ch.OutPutList()), LinesOf(live.ch.OutPutList())) << int(mode);
    }
}

} // namespace
