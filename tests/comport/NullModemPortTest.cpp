// The port object end to end through the virtual null-modem cable: what
// pseudo-terminals cannot show (modem lines, breaks, line errors, held writes).
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace testsupport;

namespace {

// Two ports joined by one cable.
struct Cable {
    EventLog la; // outlives the ports, whose destructors still raise events
    TComPortN a, b;
    explicit Cable(int number) {
        a.SetPort("null-modem:" + std::to_string(number) + "a");
        b.SetPort("null-modem:" + std::to_string(number) + "b");
        la.Attach(a);
    }
};

TEST(NullModemPort, EventOrderOnOpenAndClose) {
    Cable c(101);
    c.b.Open();
    c.b.SetRTS(true);
    c.a.Open();
    EXPECT_EQ(c.la.Joined(), "BeforeOpen AfterOpen CTS+ DSR- RLSD-");
    c.la.lines.clear();
    c.a.Open(); // already open: nothing
    c.a.Close();
    EXPECT_EQ(c.la.Joined(), "CTS- DSR- RLSD- BeforeClose AfterClose");
    c.la.lines.clear();
    c.a.Close(); // already closed: nothing
    EXPECT_TRUE(c.la.lines.empty());
    EXPECT_FALSE(c.a.Connected());

    // Without events no thread runs, but the announcements still come.
    c.a.SetEvents(0);
    c.a.Open();
    EXPECT_EQ(c.la.Joined(), "BeforeOpen AfterOpen CTS+ DSR- RLSD-");
    c.b.Write("x", 1);
    DrainFor(100ms);
    EXPECT_EQ(c.la.Count("RxChar"), 0);
}

TEST(NullModemPort, LinesAndBreaksFollowTheOtherEndPromptly) {
    Cable c(102);
    c.a.Open();
    c.b.Open();
    c.la.lines.clear();
    const auto t0 = std::chrono::steady_clock::now();
    c.b.SetRTS(true);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("CTS+") == 1; }));
    EXPECT_LT(MsSince(t0), 250) << "line changes reach the window thread at once (50 ms wanted)";
    c.b.SetDTR(true);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("DSR+") == 1 && c.la.Count("RLSD+") == 1; }));
    EXPECT_EQ(c.a.Signals(), lsCTS | lsDSR | lsRLSD);
    c.b.SetRTS(false);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("CTS-") == 1; }));
    // Each break is a received break, read and reset in one step.
    c.b.SetBreak(true);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("Break") == 1; }));
    c.b.SetBreak(false);
    c.b.SetBreak(true);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("Break") == 2; }));
    EXPECT_EQ(c.a.LastErrors(), SetOf(erBreak));
    EXPECT_EQ(c.a.LastErrors(), 0);
    // Closing the other end drops its outputs.
    c.b.Close();
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("DSR-") == 1; }));
    EXPECT_EQ(c.a.Signals(), 0);
}

TEST(NullModemPort, EndsDisagreeingOnALineParameterRaiseOnErrorBeforeOnRxChar) {
    const std::function<void(TComPortN&)> mismatches[] = {
        [](TComPortN& p) { p.SetBaudRate(br19200); },
        [](TComPortN& p) { p.SetDataBits(dbSeven); },
        [](TComPortN& p) { p.Parity().SetBits(prEven); },
        [](TComPortN& p) { p.SetStopBits(sbTwoStopBits); },
    };
    int number = 104;
    for (const auto& mismatch : mismatches) {
        Cable c(number++);
        std::string got;
        c.la.onRxChar = [&](TCustomComPort* p, int) {
            c.la.Add("RxChar");
            ReadAll(p, got);
        };
        c.a.Open();
        c.b.Open();
        c.la.lines.clear();
        c.b.Write("Y", 1); // the same parameters: clean
        ASSERT_TRUE(WaitFor([&] { return got.size() == 1; }));
        EXPECT_EQ(c.la.Joined(), "RxChar");
        mismatch(c.b); // applied to the open end at once
        c.la.lines.clear();
        c.b.Write("Z", 1);
        ASSERT_TRUE(WaitFor([&] { return got.size() == 2; }));
        EXPECT_EQ(c.la.Joined(), "Error" + std::to_string(SetOf(erFrame)) + " RxChar");
        EXPECT_EQ(got, "YZ");
    }
}

// The window thread is busy while a batch waits in the queue.
TEST(NullModemPort, QueuedBatchSeesReadsMadeMeanwhileAndRunsBeforeOnAfterClose) {
    Cable c(105);
    std::string got;
    c.la.onRxChar = [&](TCustomComPort* p, int) {
        c.la.Add("RxChar");
        ReadAll(p, got);
    };
    c.a.SetDataBits(dbSeven);
    c.a.Open();
    c.b.SetEvents(0); // only a's batches go into the queue
    c.b.Open();
    c.la.lines.clear();
    // A framing error read away by Read before dispatch gives no OnError.
    c.b.Write("Q", 1);
    WaitPending();
    ASSERT_EQ(SyncQueue::Instance().Pending(), 1u);
    char ch = 0;
    EXPECT_EQ(c.a.Read(&ch, 1), 1);
    EXPECT_EQ(ch, 'Q' & 0x7F);
    DrainFor(100ms);
    EXPECT_TRUE(c.la.lines.empty()) << c.la.Joined();
    // Close runs the pending batch's handlers before OnAfterClose.
    c.b.Write("x", 1);
    WaitPending();
    c.a.Close();
    EXPECT_EQ(c.la.Joined(), "CTS- DSR- RLSD- BeforeClose Error1 RxChar AfterClose");
    EXPECT_EQ(got, "x");
}

TEST(NullModemPort, HeldWriteReturnsZeroAfterTheWriteTimeout) {
    Cable c(107);
    c.a.FlowControl().SetOutCTSFlow(true);
    c.a.Open();
    c.b.Open(); // its RTS stays low: our CTS is off
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.a.Write("A", 1), 0);
    const auto ms = MsSince(t0);
    EXPECT_GE(ms, 1050);
    EXPECT_LT(ms, 3000);
    // CTS comes up: the write goes through, and the other end receives only it.
    c.b.SetRTS(true);
    EXPECT_EQ(c.a.Write("B", 1), 1);
    std::string got;
    ReadAll(&c.b, got);
    EXPECT_EQ(got, "B");
}

TEST(NullModemPort, OtherFeaturesOfTheCable) {
    Cable c(108);
    c.a.SetEventChar('\n');
    c.a.SetDiscardNull(true);
    c.a.Open();
    c.b.Open();
    c.la.lines.clear();
    std::string got;
    c.la.onRxChar = [&](TCustomComPort* p, int) { ReadAll(p, got); };
    c.b.Write(std::string("a\0b\n", 4).data(), 4);
    ASSERT_TRUE(WaitFor([&] { return got == "ab\n"; }));
    EXPECT_EQ(c.la.Count("RxFlag"), 1);
    EXPECT_EQ(c.b.Write(nullptr, 0), 0);
    char buf[10];
    EXPECT_EQ(c.a.Read(buf, 10), 0) << "the default read returns at once";
    c.b.Write("0123", 4);
    c.la.onRxChar = nullptr; // leave the bytes queued
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("RxChar") == 1; }));
    EXPECT_EQ(c.a.InputCount(), 4);
    EXPECT_EQ(c.a.Read(buf, 10), 4);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(CodeOf([&] { c.a.Read(buf, -1); }), 3);
}

TEST(NullModemPort, HandlerThatThrowsEndsTheThreadOneThatClosesItsPortDoesNotDeadlock) {
    Cable c(111);
    int calls = 0;
    c.la.onRxChar = [&](TCustomComPort*, int) {
        ++calls;
        throw std::runtime_error("handler failed");
    };
    c.a.Open();
    c.b.Open();
    c.b.Write("1", 1);
    ASSERT_TRUE(WaitFor([&] { return calls == 1; }));
    c.b.Write("2", 1);
    c.b.SetRTS(true);
    DrainFor(300ms);
    EXPECT_EQ(calls, 1) << "no further events after the thread ended";
    EXPECT_EQ(c.la.Count("CTS+"), 0);
    EXPECT_TRUE(c.a.Connected());
    c.la.lines.clear();
    c.a.Close();
    EXPECT_EQ(c.la.Joined(), "CTS- DSR- RLSD- BeforeClose AfterClose");
    // Opened again it delivers again, and a handler may close its own port.
    c.la.onRxChar = [&](TCustomComPort* p, int) {
        c.la.Add("RxChar");
        p->Close();
    };
    c.a.Open();
    c.b.Write("3", 1);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("AfterClose") == 2; }));
    EXPECT_EQ(c.la.Count("RxChar"), 1);
    EXPECT_FALSE(c.a.Connected());
    c.a.Open();
    EXPECT_TRUE(c.a.Connected());
}

TEST(NullModemPort, SyncMethodRefusedWhileOpenUnlessUnchangedAndEveryMethodDelivers) {
    Cable c(113);
    c.a.Open();
    int win = 0;
    EXPECT_EQ(CodeOf([&] { c.a.SetSyncMethod(smNone); }, &win), 14);
    EXPECT_EQ(win, -1);
    EXPECT_EQ(c.a.SyncMethod(), smThreadSync);
    EXPECT_EQ(CodeOf([&] { c.a.SetSyncMethod(smThreadSync); }), 0);
    c.a.Close();
    c.a.SetSyncMethod(smNone);
    EXPECT_EQ(c.a.SyncMethod(), smNone);

    // The other methods deliver too; smNone on the event thread, with nobody draining.
    std::atomic<int> onThread{0};
    c.a.SetEvents(SetOf(evBreak));
    c.a.Open();
    c.a.OnBreak = [&](TCustomComPort*) { ++onThread; };
    c.b.Open();
    c.b.SetBreak(true);
    SpinUntil([&] { return onThread > 0; });
    EXPECT_EQ(onThread, 1);
    c.a.Close();

    c.a.SetSyncMethod(smWindowSync);
    c.la.Attach(c.a);
    c.a.SetEvents(AllComEvents);
    c.a.Open();
    c.la.lines.clear();
    c.b.SetBreak(false);
    c.b.SetBreak(true);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("Break") == 1; }));
}

TEST(NullModemPort, EventsChangedWhileOpenWaitForTheNextOpen) {
    Cable c(115);
    c.a.Open();
    c.b.Open();
    c.a.SetEvents(SetOf(evBreak));
    c.b.Write("x", 1);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("RxChar") == 1; }));
    c.a.Close();
    c.a.Open();
    c.la.lines.clear();
    c.b.Write("y", 1);
    c.b.SetRTS(true);
    c.b.SetBreak(true);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("Break") == 1; }));
    DrainFor(100ms);
    EXPECT_EQ(c.la.Joined(), "Break");
}

TEST(NullModemPort, SamePortTextKeepsTheDeviceOtherLetterCaseReopens) {
    EventLog log;
    TComPortN p;
    log.Attach(p);
    p.SetPort("COM7"); // null-modem:1a by default
    p.Open();
    log.lines.clear();
    p.SetPort("COM7");
    EXPECT_TRUE(log.lines.empty());
    p.SetPort("com7");
    EXPECT_EQ(log.Joined(),
              "CTS- DSR- RLSD- BeforeClose AfterClose BeforeOpen AfterOpen CTS- DSR- RLSD-");
    EXPECT_TRUE(p.Connected());
}

TEST(NullModemPort, ChangedRateOnAnOpenPortIssuesOneWholeControlBlockOrFailsWithCode7) {
    EventLog log;
    CountingPort p;
    log.Attach(p);
    p.SetPort("null-modem:116a");
    p.SetStopBits(sbTwoStopBits);
    p.Parity().SetBits(prOdd);
    p.Open();
    // Whatever the device holds now is overwritten, not merged into.
    serial::DCB stale{.BaudRate = 300, .XonLim = 7, .ByteSize = 6, .Parity = 3, .EvtChar = '!'};
    ASSERT_TRUE(p.Handle()->SetCommState(stale));
    p.dcb = 0;
    p.SetBaudRate(br115200);
    EXPECT_EQ(p.dcb, 1);
    serial::DCB onDevice;
    p.Handle()->GetCommState(onDevice);
    EXPECT_EQ(onDevice, p.BuildDCB());
    EXPECT_EQ(onDevice.BaudRate, 115200u);
    p.SetBaudRate(br115200);
    EXPECT_EQ(p.dcb, 1) << "unchanged: nothing issued";

    // Refused by the device: the new value stays stored and the port open.
    p.SetBaudRate(brCustom);
    int win = 0;
    EXPECT_EQ(CodeOf([&] { p.SetCustomBaudRate(0); }, &win), 7);
    EXPECT_EQ(win, EINVAL);
    EXPECT_EQ(p.CustomBaudRate(), 0);
    EXPECT_TRUE(p.Connected());
    p.Close();
    // Refused while opening: the port stays closed.
    log.lines.clear();
    EXPECT_EQ(CodeOf([&] { p.Open(); }), 7);
    EXPECT_FALSE(p.Connected());
    EXPECT_EQ(log.Joined(), "BeforeOpen");
    p.SetCustomBaudRate(31250);
    p.Open();
    EXPECT_TRUE(p.Connected());
}

} // namespace
