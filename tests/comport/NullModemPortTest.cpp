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
    EventLog la, lb; // outlive the ports, whose destructors still raise events
    TComPortN a, b;
    explicit Cable(int number) {
        a.SetPort("null-modem:" + std::to_string(number) + "a");
        b.SetPort("null-modem:" + std::to_string(number) + "b");
        la.Attach(a);
        lb.Attach(b);
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

TEST(NullModemPort, LinesFollowTheOtherEndsOutputsPromptly) {
    Cable c(102);
    c.a.Open();
    c.b.Open();
    c.la.lines.clear();
    const auto t0 = std::chrono::steady_clock::now();
    c.b.SetRTS(true);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("CTS+") == 1; }));
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_LT(ms, 250) << "line changes reach the window thread at once (50 ms wanted)";
    c.b.SetDTR(true);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("DSR+") == 1 && c.la.Count("RLSD+") == 1; }));
    EXPECT_EQ(c.a.Signals(), lsCTS | lsDSR | lsRLSD);
    c.b.SetRTS(false);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("CTS-") == 1; }));
    // Closing the other end drops its outputs.
    c.b.Close();
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("DSR-") == 1; }));
    EXPECT_EQ(c.a.Signals(), 0);
}

TEST(NullModemPort, BreakReachesTheOtherEndsOnBreak) {
    Cable c(103);
    c.a.Open();
    c.b.Open();
    c.b.SetBreak(true);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("Break") == 1; }));
    c.b.SetBreak(false);
    c.b.SetBreak(true);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("Break") == 2; }));
    EXPECT_EQ(c.a.LastErrors(), SetOf(erBreak));
    EXPECT_EQ(c.a.LastErrors(), 0) << "read and reset in one step";
}

TEST(NullModemPort, FramingErrorRaisesOnErrorBeforeOnRxChar) {
    Cable c(104);
    c.a.SetBaudRate(br19200); // the ends disagree
    std::string got;
    c.la.onRxChar = [&](TCustomComPort* p, int) {
        c.la.lines.push_back("RxChar");
        ReadAll(p, got);
    };
    c.a.Open();
    c.b.Open();
    c.la.lines.clear();
    c.b.Write("Z", 1);
    ASSERT_TRUE(WaitFor([&] { return got.size() == 1; }));
    EXPECT_EQ(c.la.Joined(), "Error" + std::to_string(SetOf(erFrame)) + " RxChar");

    // The same rate again: clean.
    c.a.SetBaudRate(br9600);
    c.la.lines.clear();
    c.b.Write("Y", 1);
    ASSERT_TRUE(WaitFor([&] { return got.size() == 2; }));
    EXPECT_EQ(c.la.Joined(), "RxChar");
    EXPECT_EQ(got, "ZY");
}

TEST(NullModemPort, FramingErrorReadAwayBeforeDispatchGivesNoOnError) {
    Cable c(105);
    c.a.SetDataBits(dbSeven);
    c.a.Open();
    c.b.SetEvents(0); // only a's batch goes into the queue
    c.b.Open();
    c.la.lines.clear();
    // The window thread is busy: the batch waits in the queue.
    c.b.Write("Q", 1);
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (SyncQueue::Instance().Pending() == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(SyncQueue::Instance().Pending(), 1u);
    char ch = 0;
    EXPECT_EQ(c.a.Read(&ch, 1), 1);
    EXPECT_EQ(ch, 'Q' & 0x7F);
    DrainFor(100ms);
    EXPECT_TRUE(c.la.lines.empty()) << c.la.Joined();
}

TEST(NullModemPort, ParityErrorsCountOnlyWithParityChecking) {
    Cable c(106);
    c.a.Open();
    c.b.Open();
    c.b.Parity().SetBits(prEven); // the ends disagree on parity
    c.b.Write("1", 1);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("RxChar") == 1; }));
    EXPECT_EQ(c.la.Count("Error" + std::to_string(SetOf(erFrame))), 1);
}

TEST(NullModemPort, HeldWriteReturnsZeroAfterTheWriteTimeout) {
    Cable c(107);
    c.a.FlowControl().SetOutCTSFlow(true);
    c.a.Open();
    c.b.Open(); // its RTS stays low: our CTS is off
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.a.Write("A", 1), 0);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
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

TEST(NullModemPort, SetRtsOnAClosedPortRaisesCode12) {
    TComPortN p;
    int win = 0;
    EXPECT_EQ(CodeOf([&] { p.SetRTS(true); }, &win), 12);
    EXPECT_EQ(win, EBADF);
}

TEST(NullModemPort, SecondOpenOfAnEndFailsWithCode1) {
    Cable c(109);
    TComPortN other;
    other.SetPort(c.a.Port());
    c.a.Open();
    int win = 0;
    EXPECT_EQ(CodeOf([&] { other.Open(); }, &win), 1);
    EXPECT_EQ(win, EBUSY);
    EXPECT_FALSE(other.Connected());
    c.a.Close();
    other.Open();
    EXPECT_TRUE(other.Connected());
}

TEST(NullModemPort, CloseWithABatchPendingRunsItsHandlersBeforeOnAfterClose) {
    Cable c(110);
    c.la.onRxChar = [&](TCustomComPort* p, int) {
        c.la.lines.push_back("RxChar");
        std::string s;
        ReadAll(p, s);
    };
    c.a.Open();
    c.b.SetEvents(0); // only a's batch goes into the queue
    c.b.Open();
    c.la.lines.clear();
    c.b.Write("x", 1);
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (SyncQueue::Instance().Pending() == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(1ms);
    c.a.Close();
    EXPECT_EQ(c.la.Joined(), "CTS- DSR- RLSD- BeforeClose RxChar AfterClose");
}

TEST(NullModemPort, ExceptionInAHandlerEndsTheThreadAndCloseStillCompletes) {
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
    // Opened again it delivers again.
    c.la.onRxChar = nullptr;
    c.a.Open();
    c.b.Write("3", 1);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("RxChar") == 1; }));
}

TEST(NullModemPort, CloseFromInsideItsOwnHandlerDoesNotDeadlock) {
    Cable c(112);
    c.la.onRxChar = [&](TCustomComPort* p, int) {
        c.la.lines.push_back("RxChar");
        p->Close();
    };
    c.a.Open();
    c.b.Open();
    c.b.Write("x", 1);
    ASSERT_TRUE(WaitFor([&] { return c.la.Count("AfterClose") == 1; }));
    EXPECT_FALSE(c.a.Connected());
    c.a.Open();
    EXPECT_TRUE(c.a.Connected());
}

TEST(NullModemPort, SyncMethodRefusedWhileOpenUnlessUnchanged) {
    Cable c(113);
    c.a.Open();
    int win = 0;
    std::string text;
    EXPECT_EQ(CodeOf([&] { c.a.SetSyncMethod(smNone); }, &win, &text), 14);
    EXPECT_EQ(win, -1);
    EXPECT_EQ(text, "Cannot set property while connected");
    EXPECT_EQ(c.a.SyncMethod(), smThreadSync);
    EXPECT_EQ(CodeOf([&] { c.a.SetSyncMethod(smThreadSync); }), 0);
    c.a.Close();
    c.a.SetSyncMethod(smNone);
    EXPECT_EQ(c.a.SyncMethod(), smNone);
}

TEST(NullModemPort, OtherSyncMethodsDeliverToo) {
    Cable c(114);
    std::atomic<int> onThread{0};
    c.a.SetSyncMethod(smNone);
    c.a.SetEvents(SetOf(evBreak));
    c.a.Open();
    c.a.OnBreak = [&](TCustomComPort*) { ++onThread; }; // runs on the event thread
    c.b.Open();
    c.b.SetBreak(true);
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (onThread == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(1ms);
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

// Records the control blocks the port hands to its device.
struct RecordingDevice : serial::ISerialDevice {
    std::unique_ptr<serial::ISerialDevice> inner;
    std::vector<serial::DCB>* states;
    bool SetupComm(std::uint32_t i, std::uint32_t o) override { return inner->SetupComm(i, o); }
    bool SetCommState(const serial::DCB& d) override {
        states->push_back(d);
        return inner->SetCommState(d);
    }
    bool GetCommState(serial::DCB& d) override { return inner->GetCommState(d); }
    bool SetCommTimeouts(const serial::COMMTIMEOUTS& t) override {
        return inner->SetCommTimeouts(t);
    }
    bool GetCommTimeouts(serial::COMMTIMEOUTS& t) override { return inner->GetCommTimeouts(t); }
    bool SetCommMask(std::uint32_t m) override { return inner->SetCommMask(m); }
    serial::TWaitResult WaitCommEvent(std::uint32_t& m, serial::TStopSignal& s) override {
        return inner->WaitCommEvent(m, s);
    }
    bool ReadFile(void* b, std::uint32_t c, std::uint32_t& r) override {
        return inner->ReadFile(b, c, r);
    }
    bool WriteFile(const void* b, std::uint32_t c, std::uint32_t& w) override {
        return inner->WriteFile(b, c, w);
    }
    bool ClearCommError(std::uint32_t& e, serial::COMSTAT* s) override {
        return inner->ClearCommError(e, s);
    }
    bool PurgeComm(std::uint32_t f) override { return inner->PurgeComm(f); }
    bool EscapeCommFunction(std::uint32_t f) override { return inner->EscapeCommFunction(f); }
    bool GetCommModemStatus(std::uint32_t& s) override { return inner->GetCommModemStatus(s); }
};

struct RecordingPort : TComPortN {
    std::vector<serial::DCB> states;

protected:
    std::unique_ptr<serial::ISerialDevice> OpenDevice(const std::string& name) override {
        auto d = TComPortN::OpenDevice(name);
        if (!d) return d;
        auto r = std::make_unique<RecordingDevice>();
        r->inner = std::move(d);
        r->states = &states;
        return r;
    }
};

TEST(NullModemPort, ChangedBaudRateOnAnOpenPortIssuesOneWholeControlBlock) {
    RecordingPort p;
    p.SetPort("null-modem:116a");
    p.SetStopBits(sbTwoStopBits);
    p.Parity().SetBits(prOdd);
    p.Open();
    ASSERT_EQ(p.states.size(), 1u);
    p.states.clear();
    p.SetBaudRate(br115200);
    ASSERT_EQ(p.states.size(), 1u);
    EXPECT_EQ(p.states[0], p.BuildDCB());
    EXPECT_EQ(p.states[0].BaudRate, 115200u);
    EXPECT_EQ(p.states[0].StopBits, 2);
    EXPECT_EQ(p.states[0].Parity, 1);
    EXPECT_EQ(p.states[0].XonLim, 256);
    serial::DCB onDevice;
    p.Handle()->GetCommState(onDevice);
    EXPECT_EQ(onDevice, p.BuildDCB());
    p.SetBaudRate(br115200);
    EXPECT_EQ(p.states.size(), 1u) << "unchanged: nothing issued";
}

TEST(NullModemPort, RefusedSettingLeavesTheNewValueStoredAndThePortOpen) {
    Cable c(117);
    c.a.Open();
    c.a.SetBaudRate(brCustom);
    int win = 0;
    EXPECT_EQ(CodeOf([&] { c.a.SetCustomBaudRate(0); }, &win), 7);
    EXPECT_EQ(win, EINVAL);
    EXPECT_EQ(c.a.CustomBaudRate(), 0);
    EXPECT_TRUE(c.a.Connected());
    c.a.Close();
    // Refused while opening: the port stays closed.
    c.la.lines.clear();
    EXPECT_EQ(CodeOf([&] { c.a.Open(); }), 7);
    EXPECT_FALSE(c.a.Connected());
    EXPECT_EQ(c.la.Joined(), "BeforeOpen");
    c.a.SetCustomBaudRate(31250);
    c.a.Open();
    EXPECT_TRUE(c.a.Connected());
}

} // namespace
