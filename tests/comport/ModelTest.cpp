// The port's settings model: defaults, the flow-control shorthand, queue-size
// lowering, the control block built from the settings, the error texts.
#include "ComPortsN.h"
#include "Platform.h"
#include "device/PortMap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Counts the configuration steps the setters ask for.
class CountingPort : public TComPortN {
public:
    int dcb = 0, timeouts = 0, buffer = 0;

protected:
    void ApplyDCB() override {
        ++dcb;
        TComPortN::ApplyDCB();
    }
    void ApplyTimeouts() override {
        ++timeouts;
        TComPortN::ApplyTimeouts();
    }
    void ApplyBuffer() override {
        ++buffer;
        TComPortN::ApplyBuffer();
    }
};

TEST(PortModel, NewPortHasTheDocumentedDefaults) {
    TComPortN p;
    EXPECT_EQ(p.Port(), "COM1");
    EXPECT_EQ(p.BaudRate(), br9600);
    EXPECT_EQ(p.CustomBaudRate(), 9600);
    EXPECT_EQ(p.StopBits(), sbOneStopBit);
    EXPECT_EQ(p.DataBits(), dbEight);
    EXPECT_EQ(p.Events(), 1023);
    EXPECT_EQ(p.SyncMethod(), smThreadSync);
    EXPECT_FALSE(p.Connected());
    EXPECT_EQ(p.Handle(), nullptr);
    EXPECT_EQ(p.Timeouts().ReadInterval(), -1);
    EXPECT_EQ(p.Timeouts().ReadTotalMultiplier(), 0);
    EXPECT_EQ(p.Timeouts().ReadTotalConstant(), 0);
    EXPECT_EQ(p.Timeouts().WriteTotalMultiplier(), 100);
    EXPECT_EQ(p.Timeouts().WriteTotalConstant(), 1000);
    EXPECT_EQ(p.Buffer().InputSize(), 1024);
    EXPECT_EQ(p.Buffer().OutputSize(), 1024);
    EXPECT_EQ(p.FlowControl().XonChar(), 17);
    EXPECT_EQ(p.FlowControl().XoffChar(), 19);
    EXPECT_EQ(p.FlowControl().FlowControl(), fcNone);
    EXPECT_EQ(p.Parity().Bits(), prNone);
    EXPECT_EQ(p.DeviceName(), "\\\\.\\COM1");
    EXPECT_EQ(p.Parity().ComPort(), &p);
    EXPECT_EQ(p.Buffer().ComPort(), &p);
}

TEST(PortModel, EventSetsMapToTheDeviceMaskMemberByMember) {
    EXPECT_EQ(EventsToMask(AllComEvents), 0x05FFu);
    EXPECT_EQ(EventsToMask(SetOf(evRxChar)), 0x0001u);
    EXPECT_EQ(EventsToMask(SetOf(evTxEmpty)), 0x0004u); // ordinal 1, mask bit 0x4
    EXPECT_EQ(EventsToMask(SetOf(evRxFlag)), 0x0002u);
    EXPECT_EQ(MaskToEvents(0x0004 | 0x0200 | 0x0800), SetOf(evTxEmpty)); // unknown bits dropped
    EXPECT_EQ(MaskToEvents(0x05FF), AllComEvents);
    TComEvents s = evRxChar | evCTS | evRx80Full;
    EXPECT_EQ(s, (1 << 0) | (1 << 5) | (1 << 9));
    EXPECT_TRUE(InSet(s, evCTS));
    EXPECT_FALSE(InSet(s, evDSR));
}

struct ShorthandCase {
    TRTSFlowControl rts;
    bool cts, xin, xout;
    TFlowControl expected;
};

TEST(PortModel, FlowControlShorthandReadsTheFirstMatchingRule) {
    const ShorthandCase cases[] = {
        {rtsHandshake, true, false, false, fcHardware},
        {rtsDisable, false, true, true, fcSoftware},
        {rtsDisable, false, false, false, fcNone},
        {rtsEnable, false, false, false, fcCustom},
        {rtsHandshake, true, true, false, fcCustom},
        {rtsHandshake, false, false, false, fcCustom},
        {rtsDisable, false, true, false, fcCustom},
        {rtsDisable, true, false, false, fcCustom},
        {rtsToggle, false, false, false, fcCustom},
    };
    for (const auto& c : cases) {
        TComFlowControl f;
        f.SetControlRTS(c.rts);
        f.SetOutCTSFlow(c.cts);
        f.SetXonXoffIn(c.xin);
        f.SetXonXoffOut(c.xout);
        // fields outside the shorthand never matter
        f.SetOutDSRFlow(true);
        f.SetControlDTR(dtrHandshake);
        f.SetDSRSensitivity(true);
        EXPECT_EQ(f.FlowControl(), c.expected) << int(c.rts) << c.cts << c.xin << c.xout;
    }
}

TEST(PortModel, AssigningTheShorthandRewritesOnlyItsFourFieldsAndAlwaysApplies) {
    CountingPort p;
    TComFlowControl& f = p.FlowControl();
    f.SetControlRTS(rtsEnable);
    EXPECT_EQ(f.FlowControl(), fcCustom);
    p.dcb = 0;
    f.SetFlowControl(fcCustom);
    EXPECT_EQ(f.ControlRTS(), rtsEnable);
    EXPECT_EQ(p.dcb, 1);

    f.SetOutDSRFlow(true);
    f.SetControlDTR(dtrEnable);
    f.SetDSRSensitivity(true);
    for (TFlowControl v : {fcHardware, fcSoftware, fcNone, fcNone}) {
        p.dcb = 0;
        f.SetFlowControl(v);
        EXPECT_EQ(f.FlowControl(), v);
        EXPECT_EQ(p.dcb, 1) << "applied even when unchanged";
    }
    EXPECT_FALSE(f.OutCTSFlow());
    EXPECT_EQ(f.ControlRTS(), rtsDisable);
    EXPECT_TRUE(f.OutDSRFlow());
    EXPECT_EQ(f.ControlDTR(), dtrEnable);
    EXPECT_TRUE(f.DSRSensitivity());
}

TEST(PortModel, BufferSizesAreLoweredWhenOddAndComparedBeforeLowering) {
    CountingPort p;
    p.Buffer().SetInputSize(1025);
    EXPECT_EQ(p.Buffer().InputSize(), 1024);
    EXPECT_EQ(p.buffer, 1);
    p.Buffer().SetInputSize(1024);
    EXPECT_EQ(p.buffer, 1) << "unchanged: nothing applied";
    p.Buffer().SetInputSize(1025);
    EXPECT_EQ(p.buffer, 2) << "1025 differs from the stored 1024";
    p.Buffer().SetOutputSize(-3);
    EXPECT_EQ(p.Buffer().OutputSize(), -3);
    p.Buffer().SetOutputSize(7);
    EXPECT_EQ(p.Buffer().OutputSize(), 6);
    EXPECT_EQ(p.buffer, 4);
}

TEST(PortModel, SettersApplyOnlyOnChangeAndWholeObjectAssignmentAlwaysApplies) {
    CountingPort p;
    p.SetBaudRate(br9600);
    p.SetDataBits(dbEight);
    p.Parity().SetBits(prNone);
    p.Timeouts().SetReadInterval(-1);
    EXPECT_EQ(p.dcb + p.timeouts, 0);
    p.SetBaudRate(br115200);
    p.SetCustomBaudRate(1234);
    p.SetStopBits(sbTwoStopBits);
    p.SetDiscardNull(true);
    p.SetEventChar('\n');
    p.Parity().SetCheck(true);
    EXPECT_EQ(p.dcb, 6);
    p.Timeouts().SetWriteTotalConstant(5);
    EXPECT_EQ(p.timeouts, 1);

    TComParity parity;
    parity.SetBits(prMark);
    TComTimeouts timeouts;
    TComBuffer buffer;
    p.SetParity(parity);
    p.SetTimeouts(timeouts);
    p.SetBuffer(buffer);
    EXPECT_EQ(p.dcb, 7);
    EXPECT_EQ(p.timeouts, 2);
    EXPECT_EQ(p.buffer, 1);
    EXPECT_EQ(p.Parity().Bits(), prMark);
    EXPECT_FALSE(p.Parity().Check()) << "assignment copies every field";
    EXPECT_EQ(p.Timeouts().WriteTotalConstant(), 1000);
    EXPECT_EQ(p.Parity().ComPort(), &p) << "the sub-object keeps its own port";
}

TEST(PortModel, ControlBlockOfTheSerialModuleSettings) {
    TComPortN p;
    p.SetStopBits(sbTwoStopBits);
    const serial::DCB d = p.BuildDCB();
    EXPECT_EQ(d.DCBlength, 28u);
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_EQ(d.Flags, serial::fBinary);
    EXPECT_EQ(d.XonLim, 256);
    EXPECT_EQ(d.XoffLim, 256);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, 0);
    EXPECT_EQ(d.StopBits, 2);
    EXPECT_EQ(d.XonChar, 17);
    EXPECT_EQ(d.XoffChar, 19);
    EXPECT_EQ(d.ErrorChar, 0);
    EXPECT_EQ(d.EofChar, 0);
    EXPECT_EQ(d.EvtChar, 0);
}

TEST(PortModel, ControlBlockFlagsFollowTheSettings) {
    TComPortN p;
    p.Parity().SetReplace(true);
    p.Parity().SetReplaceChar('?');
    EXPECT_EQ(p.BuildDCB().Flags & serial::fErrorChar, 0u) << "Replace alone has no effect";
    EXPECT_EQ(p.BuildDCB().ErrorChar, 0);
    p.Parity().SetCheck(true);
    EXPECT_EQ(p.BuildDCB().Flags, serial::fBinary | serial::fParity | serial::fErrorChar);
    EXPECT_EQ(p.BuildDCB().ErrorChar, '?');

    TComPortN q;
    q.FlowControl().SetFlowControl(fcHardware);
    q.FlowControl().SetControlDTR(dtrHandshake);
    q.FlowControl().SetOutDSRFlow(true);
    q.FlowControl().SetDSRSensitivity(true);
    q.FlowControl().SetTxContinueOnXoff(true);
    q.SetDiscardNull(true);
    EXPECT_EQ(q.BuildDCB().Flags,
              0x0001u | 0x0004 | 0x0008 | 0x0020 | 0x0040 | 0x0080 | 0x0800 | 0x2000);
    q.FlowControl().SetFlowControl(fcSoftware);
    q.FlowControl().SetControlRTS(rtsToggle);
    EXPECT_EQ(q.BuildDCB().Flags & 0x3300u, 0x3300u);

    q.Buffer().SetInputSize(2);
    EXPECT_EQ(q.BuildDCB().XonLim, 0);
    q.Buffer().SetInputSize(400000); // low 16 bits of 100000
    EXPECT_EQ(q.BuildDCB().XonLim, 100000 & 0xFFFF);
    q.SetBaudRate(brCustom);
    q.SetCustomBaudRate(31250);
    q.SetDataBits(dbFive);
    q.Parity().SetBits(prSpace);
    q.SetStopBits(sbOne5StopBits);
    q.SetEventChar('#');
    const serial::DCB d = q.BuildDCB();
    EXPECT_EQ(d.BaudRate, 31250u);
    EXPECT_EQ(d.ByteSize, 5);
    EXPECT_EQ(d.Parity, 4);
    EXPECT_EQ(d.StopBits, 1);
    EXPECT_EQ(d.EvtChar, '#');
    const std::uint32_t rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                   19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (int i = 1; i <= 15; ++i) {
        q.SetBaudRate(static_cast<TBaudRate>(i));
        EXPECT_EQ(q.BuildDCB().BaudRate, rates[i - 1]);
    }
}

TEST(EComPortTest, MessagesWithAndWithoutThePlatformError) {
    struct Case {
        int code;
        const char* text;
    };
    const Case table[] = {{1, "Unable to open com port"},
                          {2, "WriteFile function failed"},
                          {3, "ReadFile function failed"},
                          {5, "PurgeComm function failed"},
                          {8, "SetCommTimeouts failed"},
                          {10, "ClearCommError function failed"},
                          {12, "EscapeCommFunction function failed"},
                          {14, "Cannot set property while connected"},
                          {18, "Link (un)registration failed"},
                          {23, "Registry error"}};
    for (const auto& c : table) {
        EComPort plain(c.code);
        EXPECT_STREQ(plain.what(), c.text);
        EXPECT_EQ(plain.Code(), c.code);
        EXPECT_EQ(plain.WinCode(), -1);
        EComPort withError(c.code, 2);
        EXPECT_EQ(std::string(withError.what()), std::string(c.text) + " (win error code: 2)");
        EXPECT_EQ(withError.WinCode(), 2);
    }
    EXPECT_STREQ(EComPort(1, -5).what(), "Unable to open com port (win error code: -5)");
    int nonEmpty = 0;
    for (int i = 1; i <= 23; ++i)
        nonEmpty += !EComPort::Message(i).empty();
    EXPECT_EQ(nonEmpty, 23);
    EXPECT_EQ(EComPort::Message(0), "");
    EXPECT_EQ(EComPort::Message(24), "");
    const std::runtime_error& base = EComPort(9, 22);
    EXPECT_STREQ(base.what(), "SetupComm function failed (win error code: 22)");
}

TEST(EComPortTest, LineOperationsOnAClosedPortRaiseTheirCodes) {
    TComPortN p;
    auto codeOf = [](auto&& f) {
        try {
            f();
        } catch (const EComPort& e) {
            return e.Code();
        }
        return 0;
    };
    unsigned char b = 0;
    EXPECT_EQ(codeOf([&] { p.SetRTS(true); }), 12);
    EXPECT_EQ(codeOf([&] { p.SetDTR(false); }), 12);
    EXPECT_EQ(codeOf([&] { p.SetBreak(true); }), 12);
    EXPECT_EQ(codeOf([&] { p.Signals(); }), 11);
    EXPECT_EQ(codeOf([&] { p.Write(&b, 1); }), 2);
    EXPECT_EQ(codeOf([&] { p.Read(&b, 1); }), 3);
    EXPECT_EQ(codeOf([&] { p.InputCount(); }), 10);
    EXPECT_EQ(codeOf([&] { p.LastErrors(); }), 10);
    try {
        p.Read(&b, 1);
    } catch (const EComPort& e) {
        EXPECT_STREQ(e.what(), "ReadFile function failed (win error code: 9)"); // EBADF
    }
    p.Close(); // closed: nothing happens
    EXPECT_FALSE(p.Connected());
}

TEST(EComPortTest, LoadingOnlyRecordsConnectedAndNothingIsApplied) {
    CountingPort p;
    p.BeginLoading();
    p.SetConnected(true);
    EXPECT_TRUE(p.Connected());
    p.SetBaudRate(br300);
    p.Buffer().SetInputSize(10);
    p.SetSyncMethod(smNone); // no refusal while loading
    EXPECT_EQ(p.SyncMethod(), smNone);
    std::vector<std::string> reported;
    std::string beforeOpen;
    p.OnBeforeOpen = [&](TCustomComPort*) { beforeOpen = "raised"; };
    p.SetPort("COM4242"); // /dev/ttyS4241: not there
    platform::SetErrorReporter([&](const std::string& m) { reported.push_back(m); });
    p.Loaded();
    platform::SetErrorReporter(nullptr);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "Unable to open com port (win error code: 2)");
    EXPECT_FALSE(p.Loading());
    EXPECT_FALSE(p.Connected()) << "the failed open was reported, the port stays closed";
    EXPECT_EQ(beforeOpen, "raised");
}

TEST(PortMap, DefaultsOverridesAndNames) {
    serial::ResetPortMap();
    const char* defaults[] = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyACM0",  "/dev/ttyACM1",
                              "/dev/ttyS0",   "/dev/ttyS1",   "null-modem:1a", "null-modem:1b"};
    for (int n = 1; n <= 8; ++n)
        EXPECT_EQ(serial::ResolveDeviceName("\\\\.\\COM" + std::to_string(n)), defaults[n - 1]);
    EXPECT_EQ(serial::ResolveDeviceName("\\\\.\\COM12"), "/dev/ttyS11");
    EXPECT_EQ(serial::ResolveDeviceName("\\\\.\\com3"), "/dev/ttyACM0");
    EXPECT_EQ(serial::ResolveDeviceName("\\\\.\\/dev/pts/7"), "/dev/pts/7");
    EXPECT_EQ(serial::ResolveDeviceName("\\\\.\\COMX"), "COMX");
    EXPECT_TRUE(serial::SetPortMapEntry("com2", "/dev/ttyAMA0"));
    EXPECT_EQ(serial::ResolveDeviceName("\\\\.\\COM2"), "/dev/ttyAMA0");
    EXPECT_EQ(serial::PortMapEntry("COM2"), "/dev/ttyAMA0");
    EXPECT_FALSE(serial::SetPortMapEntry("LPT1", "/dev/lp0"));
    EXPECT_FALSE(serial::SetPortMapEntry("COM0", "/dev/x"));
    EXPECT_TRUE(serial::SetPortMapEntry("COM2", ""));
    EXPECT_EQ(serial::PortMapEntry("COM2"), "/dev/ttyUSB1");
    serial::SetPortMapEntry("COM1", "null-modem:9a");
    serial::ResetPortMap();
    EXPECT_EQ(serial::PortMapEntry("COM1"), "/dev/ttyUSB0");
}

} // namespace
