// The serial port component: one object per serial port holding its settings,
// opening and configuring the device, watching it on an event thread and
// delivering the port's events to the owner on the window thread.
//
// Threads: every public operation is called on the window thread. With the
// default SyncMethod (smThreadSync) every event handler runs there too: the
// event thread hands each batch over through SyncQueue (SyncQueue.h) and waits
// until it has been dispatched.
//
// Sets (TComEvents, TComLineSignals, TComErrors) are bitmask integers: bit n is
// the member with ordinal n. Build them with SetOf(member) or by or-ing members
// (evRxChar | evCTS gives a TComEvents); test them with InSet(set, member).
#pragma once

#include "device/SerialDevice.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

// ---------------------------------------------------------------- enumerations

enum TBaudRate : std::uint8_t {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TDataBits : std::uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : std::uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TStopBits : std::uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDTRFlowControl : std::uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : std::uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : std::uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
enum TSyncMethod : std::uint8_t { smThreadSync, smWindowSync, smNone };

enum TComEvent : std::uint8_t {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};
using TComEvents = std::uint16_t;
constexpr TComEvents AllComEvents = 0x03FF;

enum TComLineSignal : std::uint8_t { lsCTS, lsDSR, lsRing, lsRLSD };
using TComLineSignals = std::uint8_t;

enum TComErrorKind : std::uint8_t {
    erFrame,
    erRxParity,
    erOverrun,
    erBreak,
    erIO,
    erMode,
    erRxOverflow,
    erTxFull
};
using TComErrors = std::uint8_t;

// Set helpers (one overload set per member type, so or-ing members builds a set).
constexpr TComEvents SetOf(TComEvent m) {
    return TComEvents(1u << m);
}
constexpr TComLineSignals SetOf(TComLineSignal m) {
    return TComLineSignals(1u << m);
}
constexpr TComErrors SetOf(TComErrorKind m) {
    return TComErrors(1u << m);
}
constexpr bool InSet(TComEvents s, TComEvent m) {
    return (s >> m) & 1u;
}
constexpr bool InSet(TComLineSignals s, TComLineSignal m) {
    return (s >> m) & 1u;
}
constexpr bool InSet(TComErrors s, TComErrorKind m) {
    return (s >> m) & 1u;
}
constexpr TComEvents operator|(TComEvent a, TComEvent b) {
    return SetOf(a) | SetOf(b);
}
constexpr TComEvents operator|(TComEvents s, TComEvent m) {
    return s | SetOf(m);
}
constexpr TComLineSignals operator|(TComLineSignal a, TComLineSignal b) {
    return SetOf(a) | SetOf(b);
}
constexpr TComLineSignals operator|(TComLineSignals s, TComLineSignal m) {
    return s | SetOf(m);
}
constexpr TComErrors operator|(TComErrorKind a, TComErrorKind b) {
    return SetOf(a) | SetOf(b);
}
constexpr TComErrors operator|(TComErrors s, TComErrorKind m) {
    return s | SetOf(m);
}

// Conversions between TComEvents and the device's event mask (EV_... bits);
// mask bits that name no member are dropped.
std::uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(std::uint32_t mask);

// Bits per second of a TBaudRate (brCustom gives 0: the port uses CustomBaudRate).
std::int32_t BaudRateValue(TBaudRate rate);

// The line settings a device may keep other than it was given (a set, as above).
// lnFlowControl (the handshake fields) is named only by RefusedSettings.
enum TLineSetting : std::uint8_t { lnBaudRate, lnDataBits, lnParity, lnStopBits, lnFlowControl };
using TLineSettings = std::uint8_t;
constexpr TLineSettings SetOf(TLineSetting m) {
    return TLineSettings(1u << m);
}
// Which of the four line settings differ between two control blocks; bit
// rates within one per cent of each other count as the same (drivers round).
TLineSettings DifferingLineSettings(const serial::DCB& a, const serial::DCB& b);

// ---------------------------------------------------------------- EComPort

// The component's errors. Code is the 1-based index into the message table;
// WinCode the device service's error number (errno), or -1 when the error is
// the component's own.
class EComPort : public std::runtime_error {
public:
    // Without a platform error: WinCode -1, the table text alone.
    explicit EComPort(int code);
    // With a platform error: the table text followed by " (win error code: %d)".
    EComPort(int code, int winCode);

    int Code() const { return FCode; }
    int WinCode() const { return FWinCode; }

    // Table text for code 1..23; an empty text for any other code.
    static std::string Message(int code);
    static constexpr int MessageCount = 23;

private:
    int FWinCode;
    int FCode;
};

// ---------------------------------------------------------------- settings sub-objects

class TCustomComPort;

// Read and write time-outs in milliseconds; -1 is the all-bits-set value
// (for ReadInterval: return at once with what has been received).
class TComTimeouts {
public:
    explicit TComTimeouts(TCustomComPort* port = nullptr) : FComPort(port) {}
    TComTimeouts(const TComTimeouts&) = delete;
    TComTimeouts& operator=(const TComTimeouts&) = delete;

    void Assign(const TComTimeouts& source); // copies the five fields only
    TCustomComPort* ComPort() const { return FComPort; }
    void SetComPort(TCustomComPort* port) { FComPort = port; }

    std::int32_t ReadInterval() const { return FReadInterval; }
    std::int32_t ReadTotalMultiplier() const { return FReadTotalM; }
    std::int32_t ReadTotalConstant() const { return FReadTotalC; }
    std::int32_t WriteTotalMultiplier() const { return FWriteTotalM; }
    std::int32_t WriteTotalConstant() const { return FWriteTotalC; }
    // Each stores a changed value and applies the port's time-outs.
    void SetReadInterval(std::int32_t v);
    void SetReadTotalMultiplier(std::int32_t v);
    void SetReadTotalConstant(std::int32_t v);
    void SetWriteTotalMultiplier(std::int32_t v);
    void SetWriteTotalConstant(std::int32_t v);

private:
    void Set(std::int32_t& field, std::int32_t v);
    TCustomComPort* FComPort;
    std::int32_t FReadInterval = -1;
    std::int32_t FReadTotalM = 0;
    std::int32_t FReadTotalC = 0;
    std::int32_t FWriteTotalM = 100;
    std::int32_t FWriteTotalC = 1000;
};

// Flow-control fields of the control block, with the FlowControl shorthand.
class TComFlowControl {
public:
    explicit TComFlowControl(TCustomComPort* port = nullptr) : FComPort(port) {}
    TComFlowControl(const TComFlowControl&) = delete;
    TComFlowControl& operator=(const TComFlowControl&) = delete;

    void Assign(const TComFlowControl& source); // copies the ten fields only
    TCustomComPort* ComPort() const { return FComPort; }
    void SetComPort(TCustomComPort* port) { FComPort = port; }

    bool OutCTSFlow() const { return FOutCTSFlow; }
    bool OutDSRFlow() const { return FOutDSRFlow; }
    TDTRFlowControl ControlDTR() const { return FControlDTR; }
    TRTSFlowControl ControlRTS() const { return FControlRTS; }
    bool XonXoffOut() const { return FXonXoffOut; }
    bool XonXoffIn() const { return FXonXoffIn; }
    bool DSRSensitivity() const { return FDSRSensitivity; }
    bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
    char XonChar() const { return FXonChar; }
    char XoffChar() const { return FXoffChar; }
    // Each stores a changed value and applies the port's control block.
    void SetOutCTSFlow(bool v);
    void SetOutDSRFlow(bool v);
    void SetControlDTR(TDTRFlowControl v);
    void SetControlRTS(TRTSFlowControl v);
    void SetXonXoffOut(bool v);
    void SetXonXoffIn(bool v);
    void SetDSRSensitivity(bool v);
    void SetTxContinueOnXoff(bool v);
    void SetXonChar(char v);
    void SetXoffChar(char v);

    // The shorthand: derived from ControlRTS, OutCTSFlow and the two XON/XOFF
    // flags; assigning fcHardware/fcSoftware/fcNone rewrites those four,
    // fcCustom changes nothing. Assigning always applies the control block.
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl v);

private:
    template <class T> void Set(T& field, T v);
    void Apply();
    TCustomComPort* FComPort;
    bool FOutCTSFlow = false;
    bool FOutDSRFlow = false;
    TDTRFlowControl FControlDTR = dtrDisable;
    TRTSFlowControl FControlRTS = rtsDisable;
    bool FXonXoffOut = false;
    bool FXonXoffIn = false;
    bool FDSRSensitivity = false;
    bool FTxContinueOnXoff = false;
    char FXonChar = 17;
    char FXoffChar = 19;
};

class TComParity {
public:
    explicit TComParity(TCustomComPort* port = nullptr) : FComPort(port) {}
    TComParity(const TComParity&) = delete;
    TComParity& operator=(const TComParity&) = delete;

    void Assign(const TComParity& source); // copies the four fields only
    TCustomComPort* ComPort() const { return FComPort; }
    void SetComPort(TCustomComPort* port) { FComPort = port; }

    TParityBits Bits() const { return FBits; }
    bool Check() const { return FCheck; }
    bool Replace() const { return FReplace; }
    char ReplaceChar() const { return FReplaceChar; }
    // Each stores a changed value and applies the port's control block.
    void SetBits(TParityBits v);
    void SetCheck(bool v);
    void SetReplace(bool v);
    void SetReplaceChar(char v);

private:
    template <class T> void Set(T& field, T v);
    TCustomComPort* FComPort;
    TParityBits FBits = prNone;
    bool FCheck = false;
    bool FReplace = false;
    char FReplaceChar = 0;
};

// Queue sizes; an odd positive size is lowered by one when stored.
class TComBuffer {
public:
    explicit TComBuffer(TCustomComPort* port = nullptr) : FComPort(port) {}
    TComBuffer(const TComBuffer&) = delete;
    TComBuffer& operator=(const TComBuffer&) = delete;

    void Assign(const TComBuffer& source); // copies the two sizes only
    TCustomComPort* ComPort() const { return FComPort; }
    void SetComPort(TCustomComPort* port) { FComPort = port; }

    std::int32_t InputSize() const { return FInputSize; }
    std::int32_t OutputSize() const { return FOutputSize; }
    // A value different from the stored one is stored (lowered when odd and
    // positive) and the port's queue sizes are applied.
    void SetInputSize(std::int32_t v);
    void SetOutputSize(std::int32_t v);

private:
    void Set(std::int32_t& field, std::int32_t v);
    TCustomComPort* FComPort;
    std::int32_t FInputSize = 1024;
    std::int32_t FOutputSize = 1024;
};

// ---------------------------------------------------------------- the port

class TComThread; // the event thread (ComPortsN.cpp)

using TNotifyEvent = std::function<void(TCustomComPort* Sender)>;
using TRxCharEvent = std::function<void(TCustomComPort* Sender, int Count)>;
using TRxBufEvent = std::function<void(TCustomComPort* Sender, const void* Buffer, int Count)>;
using TComSignalEvent = std::function<void(TCustomComPort* Sender, bool OnOff)>;
using TComErrorEvent = std::function<void(TCustomComPort* Sender, TComErrors Errors)>;
using TSettingsKeptEvent =
    std::function<void(TCustomComPort* Sender, TLineSettings Which, const serial::DCB& Kept)>;

class TCustomComPort {
public:
    TCustomComPort();
    virtual ~TCustomComPort(); // closes the port
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    // ---- properties
    bool Connected() const { return FConnected; }
    // After a control block the device refused (code 7): which settings it
    // would not take; empty after a block it took.
    TLineSettings RefusedSettings() const { return FRefused; }
    void SetConnected(bool v); // while loading only stores; else Open / Close
    TBaudRate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TBaudRate v);
    std::int32_t CustomBaudRate() const { return FCustomBaudRate; }
    void SetCustomBaudRate(std::int32_t v);
    const std::string& Port() const { return FPort; }
    void SetPort(const std::string& v); // an open port moves: Close, then Open
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits v);
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits v);
    bool DiscardNull() const { return FDiscardNull; }
    void SetDiscardNull(bool v);
    char EventChar() const { return FEventChar; }
    void SetEventChar(char v);
    TComEvents Events() const { return FEvents; }
    void SetEvents(TComEvents v); // takes effect at the next Open
    TComBuffer& Buffer() { return *FBuffer; }
    const TComBuffer& Buffer() const { return *FBuffer; }
    void SetBuffer(const TComBuffer& v); // copy, then ApplyBuffer
    TComParity& Parity() { return *FParity; }
    const TComParity& Parity() const { return *FParity; }
    void SetParity(const TComParity& v); // copy, then ApplyDCB
    TComTimeouts& Timeouts() { return *FTimeouts; }
    const TComTimeouts& Timeouts() const { return *FTimeouts; }
    void SetTimeouts(const TComTimeouts& v); // copy, then ApplyTimeouts
    TComFlowControl& FlowControl() { return *FFlowControl; }
    const TComFlowControl& FlowControl() const { return *FFlowControl; }
    void SetFlowControl(const TComFlowControl& v); // copy, then ApplyDCB
    TSyncMethod SyncMethod() const { return FSyncMethod; }
    void SetSyncMethod(TSyncMethod v); // code 14 when changed while open

    // The open device (nullptr while closed: the invalid handle).
    serial::ISerialDevice* Handle() const { return FHandle.get(); }
    // "\\.\" followed by Port: the name the device is opened by.
    std::string DeviceName() const { return "\\\\.\\" + FPort; }

    // ---- the owner's loading of stored properties
    // While loading, Connected only records the flag and no configuration step
    // touches a device. Loaded ends loading and opens the port if Connected was
    // recorded as true (a failure goes to platform::ReportError).
    void BeginLoading() { FLoading = true; }
    bool Loading() const { return FLoading; }
    virtual void Loaded();

    // ---- operations (window thread; failures raise EComPort)
    void Open();
    void Close();
    void SetDTR(bool OnOff);
    void SetRTS(bool OnOff);
    void SetBreak(bool OnOff);
    TComLineSignals Signals();
    std::int32_t Read(void* Buffer, std::int32_t Count);
    std::int32_t Write(const void* Buffer, std::int32_t Count);
    std::int32_t InputCount();
    TComErrors LastErrors();

    // The control block ApplyDCB passes to the device, built afresh from the settings.
    serial::DCB BuildDCB() const;

    // ---- events (assigned by the owner; none after construction)
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf; // never raised: received bytes stay queued for OnRxChar
    TNotifyEvent OnTxEmpty;
    TNotifyEvent OnBreak;
    TNotifyEvent OnRing;
    TComSignalEvent OnCTSChange;
    TComSignalEvent OnDSRChange;
    TComSignalEvent OnRLSDChange;
    TComErrorEvent OnError;
    TNotifyEvent OnRxFlag;
    TNotifyEvent OnAfterOpen;
    TNotifyEvent OnAfterClose;
    TNotifyEvent OnBeforeOpen;
    TNotifyEvent OnBeforeClose;
    TNotifyEvent OnRx80Full;

    // The open device went away (adapter unplugged, far end of a
    // pseudo-terminal closed for good). The event thread has stopped waiting
    // on it; the port itself stays open until the owner closes it. Raised on
    // the window thread, from SyncQueue, after the batch being dispatched has
    // finished (never inside another handler of this port), and only while
    // the port is still open on the device that went away, so the handler may
    // call Close (and later Open) at once.
    TNotifyEvent OnDeviceLost;

    // The device took a control block without complaint but holds other line
    // settings than asked (a pseudo-terminal keeps 8 bits and no parity).
    // Raised from ApplyDCB, after the device has been read back, for the
    // settings that differ anew: a difference already raised is not raised
    // again while the same value is asked and the same one kept. Which names
    // the settings, Kept holds what the device runs with. The stored settings
    // keep the values asked.
    TSettingsKeptEvent OnSettingsKept;

protected:
    // Raising operations: each calls its handler when one is assigned.
    virtual void DoAfterClose();
    virtual void DoAfterOpen();
    virtual void DoBeforeClose();
    virtual void DoBeforeOpen();
    virtual void DoRxChar(int Count);
    virtual void DoRxBuf(const void* Buffer, int Count);
    virtual void DoTxEmpty();
    virtual void DoBreak();
    virtual void DoRing();
    virtual void DoRxFlag();
    virtual void DoCTSChange(bool OnOff);
    virtual void DoDSRChange(bool OnOff);
    virtual void DoError(TComErrors Errors);
    virtual void DoRLSDChange(bool OnOff);
    virtual void DoRx80Full();
    // The configuration steps: each does nothing unless the port is open and
    // not loading; otherwise one device call, failing with code 7, 8 or 9.
    virtual void ApplyDCB();
    virtual void ApplyTimeouts();
    virtual void ApplyBuffer();
    virtual void DoDeviceLost();
    virtual void DoSettingsKept(TLineSettings Which, const serial::DCB& Kept);
    TLineSettings FindRefused(const serial::DCB& asked);

    // Opening and closing the device.
    virtual void CreateHandle();  // code 1 with the device's error number
    virtual void DestroyHandle(); // closes the device if open
    virtual void SetupComPort();  // ApplyBuffer, ApplyDCB, ApplyTimeouts
    // Opens the named device through the device service (nullptr on failure,
    // serial::GetLastError() tells why); a derived class may wrap the device.
    virtual std::unique_ptr<serial::ISerialDevice> OpenDevice(const std::string& name);

    // Runs the dispatch steps of one batch of events, in the fixed order
    // (error, received characters, output empty, break, ring, CTS, DSR, event
    // character, RLSD, 80 per cent full); DispatchStep runs one of them.
    void DispatchComm(TComEvents events);
    void DispatchStep(TComEvent event);

private:
    friend class TComThread;
    friend class TComTimeouts;
    friend class TComFlowControl;
    friend class TComParity;
    friend class TComBuffer;
    struct TAlive;

    bool Applying() const { return FConnected && !FLoading; }
    template <class T> void SetAndApplyDCB(T& field, T v);
    void StopThread();
    void DispatchFromThread(TComEvents events);
    void DeviceLostArrived(unsigned generation);

    std::unique_ptr<TComThread> FEventThread;
    bool FThreadCreated = false;
    std::unique_ptr<serial::ISerialDevice> FHandle;
    bool FConnected = false;
    TBaudRate FBaudRate = br9600;
    std::int32_t FCustomBaudRate = 9600;
    std::string FPort = "COM1";
    TStopBits FStopBits = sbOneStopBit;
    TDataBits FDataBits = dbEight;
    bool FDiscardNull = false;
    char FEventChar = 0;
    TComEvents FEvents = AllComEvents;
    std::unique_ptr<TComBuffer> FBuffer;
    std::unique_ptr<TComParity> FParity;
    std::unique_ptr<TComTimeouts> FTimeouts;
    std::unique_ptr<TComFlowControl> FFlowControl;
    TSyncMethod FSyncMethod = smThreadSync;

    bool FLoading = false;
    bool FClosing = false;
    unsigned FGeneration = 0; // counts opens, so late notices of an old device are dropped
    int FDispatchDepth = 0;   // dispatch of this port's batch running on this thread
    std::function<void()> FReleaseDispatch; // lets Close inside a dispatch free the event thread
    std::shared_ptr<TAlive> FAlive;         // queued notices check it before touching the port
    // The last control block applied since the port opened, and what the device kept of it.
    bool FApplied = false;
    serial::DCB FLastAsked, FLastKept;
    TLineSettings FLastDiffering = 0;
    TLineSettings FRefused = 0;
};

// The component as the owner stores it; it adds nothing to TCustomComPort.
class TComPortN : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
};
