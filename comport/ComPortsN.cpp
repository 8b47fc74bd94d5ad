#include "ComPortsN.h"

#include "Platform.h"
#include "SyncQueue.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <thread>

using namespace serial;

// ---------------------------------------------------------------- tables

namespace {

const char* const kMessages[EComPort::MessageCount] = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

struct EventBit {
    TComEvent member;
    std::uint32_t bit;
};
constexpr EventBit kEventBits[] = {
    {evRxChar, EV_RXCHAR}, {evTxEmpty, EV_TXEMPTY},   {evRxFlag, EV_RXFLAG}, {evRing, EV_RING},
    {evBreak, EV_BREAK},   {evCTS, EV_CTS},           {evDSR, EV_DSR},       {evError, EV_ERR},
    {evRLSD, EV_RLSD},     {evRx80Full, EV_RX80FULL},
};

constexpr std::int32_t kBaudValues[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                        14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

std::string WithWinCode(int code, int winCode) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, " (win error code: %d)", winCode);
    return EComPort::Message(code) + suffix;
}

// A closed port has no device: its operations fail as on an invalid handle.
constexpr int kInvalidHandle = EBADF;

} // namespace

std::uint32_t EventsToMask(TComEvents events) {
    std::uint32_t mask = 0;
    for (const auto& e : kEventBits)
        if (InSet(events, e.member)) mask |= e.bit;
    return mask;
}

TComEvents MaskToEvents(std::uint32_t mask) {
    TComEvents events = 0;
    for (const auto& e : kEventBits)
        if (mask & e.bit) events |= SetOf(e.member);
    return events;
}

std::int32_t BaudRateValue(TBaudRate rate) {
    return rate < std::size(kBaudValues) ? kBaudValues[rate] : 0;
}

TLineSettings DifferingLineSettings(const DCB& a, const DCB& b) {
    TLineSettings r = 0;
    const double ra = a.BaudRate, rb = b.BaudRate;
    if (ra != rb && (ra == 0 || rb == 0 || std::abs(ra / rb - 1.0) > 0.01)) r |= SetOf(lnBaudRate);
    if (a.ByteSize != b.ByteSize) r |= SetOf(lnDataBits);
    if (a.Parity != b.Parity) r |= SetOf(lnParity);
    if (a.StopBits != b.StopBits) r |= SetOf(lnStopBits);
    return r;
}

// ---------------------------------------------------------------- EComPort

EComPort::EComPort(int code) : std::runtime_error(Message(code)), FWinCode(-1), FCode(code) {}

EComPort::EComPort(int code, int winCode)
    : std::runtime_error(WithWinCode(code, winCode)), FWinCode(winCode), FCode(code) {}

std::string EComPort::Message(int code) {
    if (code < 1 || code > MessageCount) return {};
    return kMessages[code - 1];
}

// ---------------------------------------------------------------- sub-objects

void TComTimeouts::Assign(const TComTimeouts& s) {
    FReadInterval = s.FReadInterval;
    FReadTotalM = s.FReadTotalM;
    FReadTotalC = s.FReadTotalC;
    FWriteTotalM = s.FWriteTotalM;
    FWriteTotalC = s.FWriteTotalC;
}

void TComTimeouts::Set(std::int32_t& field, std::int32_t v) {
    if (field == v) return;
    field = v;
    if (FComPort) FComPort->ApplyTimeouts();
}

void TComTimeouts::SetReadInterval(std::int32_t v) {
    Set(FReadInterval, v);
}
void TComTimeouts::SetReadTotalMultiplier(std::int32_t v) {
    Set(FReadTotalM, v);
}
void TComTimeouts::SetReadTotalConstant(std::int32_t v) {
    Set(FReadTotalC, v);
}
void TComTimeouts::SetWriteTotalMultiplier(std::int32_t v) {
    Set(FWriteTotalM, v);
}
void TComTimeouts::SetWriteTotalConstant(std::int32_t v) {
    Set(FWriteTotalC, v);
}

void TComFlowControl::Assign(const TComFlowControl& s) {
    FOutCTSFlow = s.FOutCTSFlow;
    FOutDSRFlow = s.FOutDSRFlow;
    FControlDTR = s.FControlDTR;
    FControlRTS = s.FControlRTS;
    FXonXoffOut = s.FXonXoffOut;
    FXonXoffIn = s.FXonXoffIn;
    FDSRSensitivity = s.FDSRSensitivity;
    FTxContinueOnXoff = s.FTxContinueOnXoff;
    FXonChar = s.FXonChar;
    FXoffChar = s.FXoffChar;
}

void TComFlowControl::Apply() {
    if (FComPort) FComPort->ApplyDCB();
}

template <class T> void TComFlowControl::Set(T& field, T v) {
    if (field == v) return;
    field = v;
    Apply();
}

void TComFlowControl::SetOutCTSFlow(bool v) {
    Set(FOutCTSFlow, v);
}
void TComFlowControl::SetOutDSRFlow(bool v) {
    Set(FOutDSRFlow, v);
}
void TComFlowControl::SetControlDTR(TDTRFlowControl v) {
    Set(FControlDTR, v);
}
void TComFlowControl::SetControlRTS(TRTSFlowControl v) {
    Set(FControlRTS, v);
}
void TComFlowControl::SetXonXoffOut(bool v) {
    Set(FXonXoffOut, v);
}
void TComFlowControl::SetXonXoffIn(bool v) {
    Set(FXonXoffIn, v);
}
void TComFlowControl::SetDSRSensitivity(bool v) {
    Set(FDSRSensitivity, v);
}
void TComFlowControl::SetTxContinueOnXoff(bool v) {
    Set(FTxContinueOnXoff, v);
}
void TComFlowControl::SetXonChar(char v) {
    Set(FXonChar, v);
}
void TComFlowControl::SetXoffChar(char v) {
    Set(FXoffChar, v);
}

TFlowControl TComFlowControl::FlowControl() const {
    if (FControlRTS == rtsHandshake && FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
        return fcHardware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && FXonXoffIn && FXonXoffOut) return fcSoftware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && !FXonXoffIn && !FXonXoffOut) return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl v) {
    if (v == fcHardware || v == fcSoftware || v == fcNone) {
        FControlRTS = rtsDisable;
        FOutCTSFlow = false;
        FXonXoffIn = false;
        FXonXoffOut = false;
        if (v == fcHardware) {
            FControlRTS = rtsHandshake;
            FOutCTSFlow = true;
        } else if (v == fcSoftware) {
            FXonXoffIn = true;
            FXonXoffOut = true;
        }
    }
    Apply();
}

void TComParity::Assign(const TComParity& s) {
    FBits = s.FBits;
    FCheck = s.FCheck;
    FReplace = s.FReplace;
    FReplaceChar = s.FReplaceChar;
}

template <class T> void TComParity::Set(T& field, T v) {
    if (field == v) return;
    field = v;
    if (FComPort) FComPort->ApplyDCB();
}

void TComParity::SetBits(TParityBits v) {
    Set(FBits, v);
}
void TComParity::SetCheck(bool v) {
    Set(FCheck, v);
}
void TComParity::SetReplace(bool v) {
    Set(FReplace, v);
}
void TComParity::SetReplaceChar(char v) {
    Set(FReplaceChar, v);
}

void TComBuffer::Assign(const TComBuffer& s) {
    FInputSize = s.FInputSize;
    FOutputSize = s.FOutputSize;
}

void TComBuffer::Set(std::int32_t& field, std::int32_t v) {
    // The comparison is made with the value as given, before the lowering.
    if (field == v) return;
    field = (v > 0 && (v & 1)) ? v - 1 : v;
    if (FComPort) FComPort->ApplyBuffer();
}

void TComBuffer::SetInputSize(std::int32_t v) {
    Set(FInputSize, v);
}
void TComBuffer::SetOutputSize(std::int32_t v) {
    Set(FOutputSize, v);
}

// ---------------------------------------------------------------- the event thread

struct TCustomComPort::TAlive {
    TCustomComPort* port;
};

class TComThread {
public:
    explicit TComThread(TCustomComPort* port);
    ~TComThread(); // stops the thread and waits for it, draining SyncQueue
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

private:
    void Execute();
    void DoEvents(TComEvents events);

    TCustomComPort* FComPort;
    ISerialDevice* FDevice;
    TSyncMethod FSyncMethod;
    unsigned FGeneration;
    std::weak_ptr<TCustomComPort::TAlive> FAlive;
    TStopSignal FStopEvent;
    std::atomic<bool> FFinished{false};
    std::thread FThread;
};

TComThread::TComThread(TCustomComPort* port)
    : FComPort(port), FDevice(port->Handle()), FSyncMethod(port->FSyncMethod),
      FGeneration(port->FGeneration), FAlive(port->FAlive) {
    // The mask is set before the thread starts; its result is not examined.
    FDevice->SetCommMask(EventsToMask(port->FEvents));
    FThread = std::thread([this] { Execute(); });
}

TComThread::~TComThread() {
    FStopEvent.Set();
    std::this_thread::yield();
    // Close called from inside this port's own dispatch: the thread waits for
    // that very dispatch, so let it go on, or it could never end.
    if (FComPort->FDispatchDepth > 0 && FComPort->FReleaseDispatch) FComPort->FReleaseDispatch();
    SyncQueue::Instance().WaitDraining([this] { return FFinished.load(); });
    FThread.join();
}

void TComThread::Execute() {
    try {
        for (;;) {
            std::uint32_t mask = 0;
            const TWaitResult r = FDevice->WaitCommEvent(mask, FStopEvent);
            if (r == TWaitResult::Stopped) break;
            if (r == TWaitResult::Failed) {
                // The device is gone: waiting again would return at once for
                // ever. Stop here and let the owner know on the window thread.
                std::weak_ptr<TCustomComPort::TAlive> alive = FAlive;
                const unsigned generation = FGeneration;
                SyncQueue::Instance().Post([alive, generation] {
                    if (auto a = alive.lock()) a->port->DeviceLostArrived(generation);
                });
                break;
            }
            const TComEvents events = MaskToEvents(mask);
            if (events) DoEvents(events);
        }
    } catch (const std::exception& e) {
        // A failed delivery ends the thread; the port stays open without events.
        platform::OutputDebugString(std::string("port event thread ended: ") + e.what() + "\n");
    } catch (...) {
        platform::OutputDebugString("port event thread ended\n");
    }
    FDevice->SetCommMask(0);
    FDevice->PurgeComm(PURGE_TXCLEAR | PURGE_RXCLEAR);
    FFinished.store(true);
    SyncQueue::Instance().Notify();
}

void TComThread::DoEvents(TComEvents events) {
    TCustomComPort* port = FComPort;
    switch (FSyncMethod) {
    case smThreadSync:
        SyncQueue::Instance().Synchronize([port, events] { port->DispatchFromThread(events); });
        break;
    case smWindowSync: {
        // One message per member, each answered at once by the window thread
        // before it runs that one step.
        static constexpr TComEvent kOrder[] = {evError, evRxChar, evTxEmpty, evBreak, evRing,
                                               evCTS,   evDSR,    evRxFlag,  evRLSD,  evRx80Full};
        const unsigned generation = FGeneration;
        for (TComEvent e : kOrder)
            if (InSet(events, e))
                SyncQueue::Instance().Send([port, e, generation] {
                    if (port->FConnected && port->FGeneration == generation) port->DispatchStep(e);
                });
        break;
    }
    case smNone:
        port->DispatchComm(events);
        break;
    }
}

// ---------------------------------------------------------------- the port

TCustomComPort::TCustomComPort()
    : FBuffer(std::make_unique<TComBuffer>()), FParity(std::make_unique<TComParity>()),
      FTimeouts(std::make_unique<TComTimeouts>()),
      FFlowControl(std::make_unique<TComFlowControl>()),
      FAlive(std::make_shared<TAlive>(TAlive{this})) {
    FBuffer->SetComPort(this);
    FParity->SetComPort(this);
    FTimeouts->SetComPort(this);
    FFlowControl->SetComPort(this);
}

TCustomComPort::~TCustomComPort() {
    try {
        Close();
    } catch (...) {
        // a destructor cannot report; the device is released below in any case
    }
    FEventThread.reset();
    FHandle.reset();
    FAlive.reset();
}

// ---- properties

void TCustomComPort::SetConnected(bool v) {
    if (FLoading) {
        FConnected = v;
        return;
    }
    if (v == FConnected) return;
    if (v)
        Open();
    else
        Close();
}

template <class T> void TCustomComPort::SetAndApplyDCB(T& field, T v) {
    if (field == v) return;
    field = v;
    ApplyDCB();
}

void TCustomComPort::SetBaudRate(TBaudRate v) {
    SetAndApplyDCB(FBaudRate, v);
}
void TCustomComPort::SetCustomBaudRate(std::int32_t v) {
    SetAndApplyDCB(FCustomBaudRate, v);
}
void TCustomComPort::SetStopBits(TStopBits v) {
    SetAndApplyDCB(FStopBits, v);
}
void TCustomComPort::SetDataBits(TDataBits v) {
    SetAndApplyDCB(FDataBits, v);
}
void TCustomComPort::SetDiscardNull(bool v) {
    SetAndApplyDCB(FDiscardNull, v);
}
void TCustomComPort::SetEventChar(char v) {
    SetAndApplyDCB(FEventChar, v);
}

void TCustomComPort::SetPort(const std::string& v) {
    if (v == FPort) return;
    FPort = v;
    if (FConnected && !FLoading) {
        Close();
        Open();
    }
}

void TCustomComPort::SetEvents(TComEvents v) {
    FEvents = v & AllComEvents;
}

void TCustomComPort::SetBuffer(const TComBuffer& v) {
    FBuffer->Assign(v);
    ApplyBuffer();
}

void TCustomComPort::SetParity(const TComParity& v) {
    FParity->Assign(v);
    ApplyDCB();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& v) {
    FTimeouts->Assign(v);
    ApplyTimeouts();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& v) {
    FFlowControl->Assign(v);
    ApplyDCB();
}

void TCustomComPort::SetSyncMethod(TSyncMethod v) {
    if (v == FSyncMethod) return;
    if (FConnected && !FLoading) throw EComPort(14);
    FSyncMethod = v;
}

void TCustomComPort::Loaded() {
    FLoading = false;
    if (FConnected) {
        FConnected = false;
        platform::Guarded([this] { Open(); });
    }
}

// ---- raising operations

void TCustomComPort::DoAfterClose() {
    if (OnAfterClose) OnAfterClose(this);
}
void TCustomComPort::DoAfterOpen() {
    if (OnAfterOpen) OnAfterOpen(this);
}
void TCustomComPort::DoBeforeClose() {
    if (OnBeforeClose) OnBeforeClose(this);
}
void TCustomComPort::DoBeforeOpen() {
    if (OnBeforeOpen) OnBeforeOpen(this);
}
void TCustomComPort::DoRxChar(int Count) {
    if (OnRxChar) OnRxChar(this, Count);
}
void TCustomComPort::DoRxBuf(const void* Buffer, int Count) {
    if (OnRxBuf) OnRxBuf(this, Buffer, Count);
}
void TCustomComPort::DoTxEmpty() {
    if (OnTxEmpty) OnTxEmpty(this);
}
void TCustomComPort::DoBreak() {
    if (OnBreak) OnBreak(this);
}
void TCustomComPort::DoRing() {
    if (OnRing) OnRing(this);
}
void TCustomComPort::DoRxFlag() {
    if (OnRxFlag) OnRxFlag(this);
}
void TCustomComPort::DoCTSChange(bool OnOff) {
    if (OnCTSChange) OnCTSChange(this, OnOff);
}
void TCustomComPort::DoDSRChange(bool OnOff) {
    if (OnDSRChange) OnDSRChange(this, OnOff);
}
void TCustomComPort::DoError(TComErrors Errors) {
    if (OnError) OnError(this, Errors);
}
void TCustomComPort::DoRLSDChange(bool OnOff) {
    if (OnRLSDChange) OnRLSDChange(this, OnOff);
}
void TCustomComPort::DoRx80Full() {
    if (OnRx80Full) OnRx80Full(this);
}
void TCustomComPort::DoDeviceLost() {
    if (OnDeviceLost) OnDeviceLost(this);
}
void TCustomComPort::DoSettingsKept(TLineSettings Which, const DCB& Kept) {
    if (OnSettingsKept) OnSettingsKept(this, Which, Kept);
}

// ---- configuration

DCB TCustomComPort::BuildDCB() const {
    DCB d;
    d.DCBlength = 28;
    d.BaudRate = static_cast<std::uint32_t>(FBaudRate == brCustom ? FCustomBaudRate
                                                                  : BaudRateValue(FBaudRate));
    std::uint32_t f = fBinary;
    const TComParity& p = *FParity;
    const TComFlowControl& fc = *FFlowControl;
    if (p.Check()) f |= fParity;
    if (fc.OutCTSFlow()) f |= fOutxCtsFlow;
    if (fc.OutDSRFlow()) f |= fOutxDsrFlow;
    static constexpr std::uint32_t kDtr[] = {0, fDtrControlEnable, fDtrControlHandshake};
    static constexpr std::uint32_t kRts[] = {0, fRtsControlEnable, fRtsControlHandshake,
                                             fRtsControlToggle};
    if (fc.ControlDTR() < std::size(kDtr)) f |= kDtr[fc.ControlDTR()];
    if (fc.DSRSensitivity()) f |= fDsrSensitivity;
    if (fc.TxContinueOnXoff()) f |= fTXContinueOnXoff;
    if (fc.XonXoffOut()) f |= fOutX;
    if (fc.XonXoffIn()) f |= fInX;
    const bool replace = p.Check() && p.Replace();
    if (replace) f |= fErrorChar;
    if (FDiscardNull) f |= fNull;
    if (fc.ControlRTS() < std::size(kRts)) f |= kRts[fc.ControlRTS()];
    d.Flags = f;
    d.wReserved = 0;
    d.XonLim = static_cast<std::uint16_t>(FBuffer->InputSize() / 4);
    d.XoffLim = d.XonLim;
    d.ByteSize = static_cast<std::uint8_t>(5 + FDataBits);
    d.Parity = FParity->Bits();
    d.StopBits = FStopBits;
    d.XonChar = fc.XonChar();
    d.XoffChar = fc.XoffChar();
    d.ErrorChar = replace ? p.ReplaceChar() : 0;
    d.EofChar = 0;
    d.EvtChar = FEventChar;
    d.wReserved1 = 0;
    return d;
}

void TCustomComPort::ApplyDCB() {
    if (!Applying() || !FHandle) return;
    const DCB asked = BuildDCB();
    if (!FHandle->SetCommState(asked)) {
        const int error = GetLastError();
        FRefused = FindRefused(asked);
        SetLastError(error);
        throw EComPort(7, error);
    }
    FRefused = 0;
    // A driver may keep other values without failing; what it holds tells.
    DCB kept;
    if (!FHandle->GetCommState(kept)) return;
    const TLineSettings differing = DifferingLineSettings(asked, kept);
    // Raised anew only where the setting differs now but did not, or where
    // the value asked or the value kept changed since.
    TLineSettings fresh = differing;
    if (FApplied)
        fresh &= ~(FLastDiffering & ~DifferingLineSettings(FLastAsked, asked) &
                   ~DifferingLineSettings(FLastKept, kept));
    FApplied = true;
    FLastAsked = asked;
    FLastKept = kept;
    FLastDiffering = differing;
    if (fresh) DoSettingsKept(fresh, kept);
}

// Which settings of a refused control block the device will not take: each
// one alone on top of what the device holds now; when none fails alone, the
// combination of all that differ. The device is left as it was.
TLineSettings TCustomComPort::FindRefused(const DCB& asked) {
    DCB base;
    if (!FHandle->GetCommState(base)) return 0;
    TLineSettings refused = 0;
    auto tryOne = [&](TLineSetting which, auto copy) {
        DCB trial = base;
        copy(trial);
        if (!(trial == base) && !FHandle->SetCommState(trial)) refused |= SetOf(which);
    };
    tryOne(lnBaudRate, [&](DCB& d) { d.BaudRate = asked.BaudRate; });
    tryOne(lnDataBits, [&](DCB& d) { d.ByteSize = asked.ByteSize; });
    tryOne(lnParity, [&](DCB& d) { d.Parity = asked.Parity; });
    tryOne(lnStopBits, [&](DCB& d) { d.StopBits = asked.StopBits; });
    tryOne(lnFlowControl, [&](DCB& d) {
        d.Flags = asked.Flags;
        d.XonChar = asked.XonChar;
        d.XoffChar = asked.XoffChar;
        d.XonLim = asked.XonLim;
        d.XoffLim = asked.XoffLim;
    });
    FHandle->SetCommState(base);
    if (refused == 0) {
        refused = DifferingLineSettings(base, asked);
        if (asked.Flags != base.Flags) refused |= SetOf(lnFlowControl);
    }
    return refused;
}

void TCustomComPort::ApplyTimeouts() {
    if (!Applying() || !FHandle) return;
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = static_cast<std::uint32_t>(FTimeouts->ReadInterval());
    t.ReadTotalTimeoutMultiplier = static_cast<std::uint32_t>(FTimeouts->ReadTotalMultiplier());
    t.ReadTotalTimeoutConstant = static_cast<std::uint32_t>(FTimeouts->ReadTotalConstant());
    t.WriteTotalTimeoutMultiplier = static_cast<std::uint32_t>(FTimeouts->WriteTotalMultiplier());
    t.WriteTotalTimeoutConstant = static_cast<std::uint32_t>(FTimeouts->WriteTotalConstant());
    if (!FHandle->SetCommTimeouts(t)) throw EComPort(8, GetLastError());
}

void TCustomComPort::ApplyBuffer() {
    if (!Applying() || !FHandle) return;
    if (!FHandle->SetupComm(static_cast<std::uint32_t>(FBuffer->InputSize()),
                            static_cast<std::uint32_t>(FBuffer->OutputSize())))
        throw EComPort(9, GetLastError());
}

// ---- open and close

std::unique_ptr<ISerialDevice> TCustomComPort::OpenDevice(const std::string& name) {
    return serial::CreateFile(name);
}

void TCustomComPort::CreateHandle() {
    auto device = OpenDevice(DeviceName());
    if (!device) {
        const int error = GetLastError();
        throw EComPort(1, error);
    }
    FHandle = std::move(device);
}

void TCustomComPort::DestroyHandle() {
    FHandle.reset();
}

void TCustomComPort::SetupComPort() {
    ApplyBuffer();
    ApplyDCB();
    ApplyTimeouts();
}

void TCustomComPort::Open() {
    if (FConnected) return;
    DoBeforeOpen();
    CreateHandle();
    FConnected = true;
    FApplied = false;
    try {
        SetupComPort();
        ++FGeneration;
        if (FEvents == 0) {
            FThreadCreated = false;
        } else {
            FEventThread = std::make_unique<TComThread>(this);
            FThreadCreated = true;
        }
    } catch (...) {
        DestroyHandle();
        FConnected = false;
        throw;
    }
    DoAfterOpen();
    DoCTSChange(InSet(Signals(), lsCTS));
    DoDSRChange(InSet(Signals(), lsDSR));
    DoRLSDChange(InSet(Signals(), lsRLSD));
}

void TCustomComPort::StopThread() {
    FEventThread.reset();
}

void TCustomComPort::Close() {
    // A Close started from a handler that the running Close raises has nothing left to do.
    if (!FConnected || FClosing) return;
    FClosing = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{FClosing};

    DoCTSChange(false);
    DoDSRChange(false);
    DoRLSDChange(false);
    DoBeforeClose();
    if (!FHandle) throw EComPort(5, kInvalidHandle);
    if (!FHandle->PurgeComm(PURGE_TXABORT | PURGE_RXABORT)) throw EComPort(5, GetLastError());
    if (FThreadCreated) {
        StopThread();
        FThreadCreated = false;
    }
    DestroyHandle();
    FConnected = false;
    DoAfterClose();
}

void TCustomComPort::DeviceLostArrived(unsigned generation) {
    if (FConnected && !FClosing && generation == FGeneration) DoDeviceLost();
}

// ---- line control

namespace {
void Escape(ISerialDevice* device, std::uint32_t function) {
    if (!device) throw EComPort(12, kInvalidHandle);
    if (!device->EscapeCommFunction(function)) throw EComPort(12, GetLastError());
}
} // namespace

void TCustomComPort::SetDTR(bool OnOff) {
    Escape(FHandle.get(), OnOff ? SETDTR : CLRDTR);
}
void TCustomComPort::SetRTS(bool OnOff) {
    Escape(FHandle.get(), OnOff ? SETRTS : CLRRTS);
}
void TCustomComPort::SetBreak(bool OnOff) {
    Escape(FHandle.get(), OnOff ? SETBREAK : CLRBREAK);
}

TComLineSignals TCustomComPort::Signals() {
    if (!FHandle) throw EComPort(11, kInvalidHandle);
    std::uint32_t status = 0;
    if (!FHandle->GetCommModemStatus(status)) throw EComPort(11, GetLastError());
    TComLineSignals s = 0;
    if (status & MS_CTS_ON) s |= SetOf(lsCTS);
    if (status & MS_DSR_ON) s |= SetOf(lsDSR);
    if (status & MS_RING_ON) s |= SetOf(lsRing);
    if (status & MS_RLSD_ON) s |= SetOf(lsRLSD);
    return s;
}

// ---- transfers

std::int32_t TCustomComPort::Read(void* Buffer, std::int32_t Count) {
    if (!FHandle) throw EComPort(3, kInvalidHandle);
    if (Count < 0 || (Count > 0 && !Buffer)) throw EComPort(3, EINVAL);
    std::uint32_t done = 0;
    if (!FHandle->ReadFile(Buffer, static_cast<std::uint32_t>(Count), done))
        throw EComPort(3, GetLastError());
    InputCount(); // asks for the status, which also clears the device's error flags
    return static_cast<std::int32_t>(done);
}

std::int32_t TCustomComPort::Write(const void* Buffer, std::int32_t Count) {
    if (!FHandle) throw EComPort(2, kInvalidHandle);
    if (Count < 0 || (Count > 0 && !Buffer)) throw EComPort(2, EINVAL);
    std::uint32_t done = 0;
    if (!FHandle->WriteFile(Buffer, static_cast<std::uint32_t>(Count), done))
        throw EComPort(2, GetLastError());
    return static_cast<std::int32_t>(done);
}

std::int32_t TCustomComPort::InputCount() {
    if (!FHandle) throw EComPort(10, kInvalidHandle);
    std::uint32_t errors = 0;
    COMSTAT stat;
    if (!FHandle->ClearCommError(errors, &stat)) throw EComPort(10, GetLastError());
    return static_cast<std::int32_t>(stat.cbInQue);
}

TComErrors TCustomComPort::LastErrors() {
    if (!FHandle) throw EComPort(10, kInvalidHandle);
    std::uint32_t e = 0;
    COMSTAT stat;
    if (!FHandle->ClearCommError(e, &stat)) throw EComPort(10, GetLastError());
    TComErrors r = 0;
    if (e & CE_FRAME) r |= SetOf(erFrame);
    if ((e & CE_RXPARITY) && FParity->Check()) r |= SetOf(erRxParity);
    if (e & CE_OVERRUN) r |= SetOf(erOverrun);
    if (e & CE_BREAK) r |= SetOf(erBreak);
    if (e & CE_IOE) r |= SetOf(erIO);
    if (e & CE_MODE) r |= SetOf(erMode);
    if (e & CE_RXOVER) r |= SetOf(erRxOverflow);
    if (e & CE_TXFULL) r |= SetOf(erTxFull);
    return r;
}

// ---- dispatch

void TCustomComPort::DispatchFromThread(TComEvents events) {
    ++FDispatchDepth;
    FReleaseDispatch = SyncQueue::CurrentReleaser();
    struct Leave {
        TCustomComPort* p;
        ~Leave() {
            --p->FDispatchDepth;
            p->FReleaseDispatch = nullptr;
        }
    } leave{this};
    DispatchComm(events);
}

void TCustomComPort::DispatchComm(TComEvents events) {
    static constexpr TComEvent kOrder[] = {evError, evRxChar, evTxEmpty, evBreak, evRing,
                                           evCTS,   evDSR,    evRxFlag,  evRLSD,  evRx80Full};
    const unsigned generation = FGeneration;
    for (TComEvent e : kOrder) {
        // A handler may have closed the port: the rest of the batch is void.
        if (!FConnected || FGeneration != generation) return;
        if (InSet(events, e)) DispatchStep(e);
    }
}

void TCustomComPort::DispatchStep(TComEvent e) {
    switch (e) {
    case evError: {
        const TComErrors errors = LastErrors();
        if (errors) DoError(errors);
        break;
    }
    case evRxChar: {
        const std::int32_t count = InputCount();
        if (count > 0) DoRxChar(count);
        break;
    }
    case evTxEmpty:
        DoTxEmpty();
        break;
    case evBreak:
        DoBreak();
        break;
    case evRing:
        DoRing();
        break;
    case evCTS:
        DoCTSChange(InSet(Signals(), lsCTS));
        break;
    case evDSR:
        DoDSRChange(InSet(Signals(), lsDSR));
        break;
    case evRxFlag:
        DoRxFlag();
        break;
    case evRLSD:
        DoRLSDChange(InSet(Signals(), lsRLSD));
        break;
    case evRx80Full:
        DoRx80Full();
        break;
    }
}
