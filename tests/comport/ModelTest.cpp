// The port's settings model: defaults, the flow-control shorthand, queue-size
// lowering, the control block built from the settings, the error texts.
#include "Platform.h"
#include "TestSupport.h"
#include "device/PortMap.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

// What a fresh port gives the device: the time-outs and a control block with
// XON/XOFF characters and limits a quarter of the input queue.
TEST(PortModel, NewPortGivesTheDeviceItsDefaults) {
    TComPortN p;
    EXPECT_EQ(p.DeviceName(), "\\\\.\\COM1");
    const TComTimeouts& t = p.Timeouts();
    EXPECT_EQ((std::vector<int>{t.ReadInterval(), t.ReadTotalMultiplier(), t.ReadTotalConstant(),
                                t.WriteTotalMultiplier(), t.WriteTotalConstant()}),
              (std::vector<int>{-1, 0, 0, 100, 1000}));
    const serial::DCB want{.BaudRate = 9600,
                           .Flags = serial::fBinary,
                           .XonLim = 256,
                           .XoffLim = 256,
                           .XonChar = 17,
                           .XoffChar = 19}; // the rest as a fresh block: 28, 8N1
    EXPECT_EQ(p.BuildDCB(), want);
}

TEST(PortModel, EventSetsMapToTheDeviceMaskMemberByMember) {
    EXPECT_EQ(EventsToMask(AllComEvents), 0x05FFu);
    EXPECT_EQ(EventsToMask(SetOf(evRxChar)), 0x0001u);
    EXPECT_EQ(EventsToMask(SetOf(evTxEmpty)), 0x0004u); // ordinal 1, mask bit 0x4
    EXPECT_EQ(EventsToMask(SetOf(evRxFlag)), 0x0002u);
    EXPECT_EQ(MaskToEvents(0x0004 | 0x0200 | 0x0800), SetOf(evTxEmpty)); // unknown bits dropped
    EXPECT_EQ(MaskToEvents(0x05FF), AllComEvents);
}

TEST(PortModel, FlowControlShorthandReadsTheFirstMatchingRule) {
    const std::tuple<TRTSFlowControl, bool, bool, bool, TFlowControl> cases[] = {
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
    for (const auto& [rts, cts, xin, xout, expected] : cases) {
        TComFlowControl f;
        f.SetControlRTS(rts);
        f.SetOutCTSFlow(cts);
        f.SetXonXoffIn(xin);
        f.SetXonXoffOut(xout);
        // fields outside the shorthand never matter
        f.SetOutDSRFlow(true);
        f.SetControlDTR(dtrHandshake);
        f.SetDSRSensitivity(true);
        EXPECT_EQ(f.FlowControl(), expected) << int(rts) << cts << xin << xout;
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
    q.Buffer().SetInputSize(400000); // limits: the low 16 bits of 100000
    q.SetBaudRate(brCustom);
    q.SetCustomBaudRate(31250);
    q.SetDataBits(dbFive);
    q.Parity().SetBits(prSpace);
    q.SetStopBits(sbOne5StopBits);
    q.SetEventChar('#');
    const serial::DCB d = q.BuildDCB();
    EXPECT_EQ(
        std::tie(d.BaudRate, d.ByteSize, d.Parity, d.StopBits, d.EvtChar, d.XonLim, d.XoffLim),
        std::make_tuple(31250u, 5, 4, 1, '#', 100000 & 0xFFFF, 100000 & 0xFFFF));
    const std::uint32_t rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                   19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (int i = 1; i <= 15; ++i) {
        q.SetBaudRate(static_cast<TBaudRate>(i));
        EXPECT_EQ(q.BuildDCB().BaudRate, rates[i - 1]);
    }
}

TEST(EComPortTest, MessagesWithAndWithoutThePlatformError) {
    EComPort plain(1);
    EXPECT_STREQ(plain.what(), "Unable to open com port");
    EXPECT_EQ(plain.Code(), 1);
    EXPECT_EQ(plain.WinCode(), -1);
    EComPort withError(14, 2);
    EXPECT_STREQ(withError.what(), "Cannot set property while connected (win error code: 2)");
    EXPECT_EQ(withError.WinCode(), 2);
    EXPECT_STREQ(EComPort(1, -5).what(), "Unable to open com port (win error code: -5)");
    for (int i = 1; i <= 23; ++i)
        EXPECT_FALSE(EComPort::Message(i).empty()) << i;
    EXPECT_EQ(EComPort::Message(0), "");
    EXPECT_EQ(EComPort::Message(24), "");
}

TEST(EComPortTest, OperationsOnAClosedPortRaiseTheirCodesWithTheInvalidHandleError) {
    TComPortN p;
    unsigned char b = 0;
    const std::pair<int, std::function<void()>> cases[] = {
        {12, [&] { p.SetRTS(true); }},   {12, [&] { p.SetDTR(false); }},
        {12, [&] { p.SetBreak(true); }}, {11, [&] { p.Signals(); }},
        {2, [&] { p.Write(&b, 1); }},    {3, [&] { p.Read(&b, 1); }},
        {10, [&] { p.InputCount(); }},   {10, [&] { p.LastErrors(); }},
    };
    for (const auto& [code, op] : cases) {
        std::string text;
        EXPECT_EQ(CodeOf(op, nullptr, &text), code);
        EXPECT_EQ(text, EComPort::Message(code) + " (win error code: 9)"); // EBADF
    }
    p.Close(); // closed: nothing happens
    EXPECT_FALSE(p.Connected());
}

TEST(PortModel, LoadingOnlyRecordsConnectedAndNothingIsApplied) {
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
