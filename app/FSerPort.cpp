#include "FSerPort.h"

#include "LedCheck.h"
#include "Main.h"
#include "Platform.h"

#include "device/NetConnect.h"
#include "device/NetDevice.h"
#include "device/OpenFailure.h"
#include "device/PortMap.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <QToolButton>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

namespace {

constexpr const char* kServerClosed = "the server closed the connection";

bool IsConnectionLoss(int error) {
    return error == ECONNRESET || error == EPIPE || error == ECONNABORTED || error == ENOTCONN ||
           error == ETIMEDOUT;
}

// Runs a port operation whose failure the serial module ignores.
template <class F> void Swallowed(F f) {
    try {
        f();
    } catch (...) {
    }
}

// Bytes as a user can read them in one line: printable ones as they are,
// others as two hex digits in angle brackets; long runs are cut short.
QString ShownBytes(const std::string& bytes) {
    constexpr std::size_t kShown = 16;
    QString out;
    for (std::size_t i = 0; i < bytes.size() && i < kShown; ++i) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (b >= 32 && b < 127)
            out += QChar(b);
        else
            out += QString("<%1>").arg(b, 2, 16, QChar('0')).toUpper();
    }
    if (bytes.size() > kShown) out += QString::fromUtf8("\u2026");
    return out;
}
} // namespace

TSerForm::TSerForm(TTermMain* termMain, QObject* parent) : QObject(parent), TermMain(termMain) {
    setObjectName("SerForm");
    for (int ch = 0; ch < 2; ++ch)
        AttachPort(ch, new TComPortN());
}

// Shared by the window thread and the worker that connects: the worker hands
// its result over only while Owner is set; a connect given up is closed by the
// worker (or by whoever drops the last reference).
struct TSerForm::TConnectJob {
    std::mutex Mutex;
    TSerForm* Owner = nullptr; // null once nobody waits for the result
    int Ch = 0;
    bool Reconnect = false;
    std::string Target;
    serial::DCB Settings; // the line settings to apply while connecting
    std::unique_ptr<serial::ISerialDevice> Device;
    int Error = 0;
    std::string Reason;
};

TSerForm::~TSerForm() {
    // Writers end before their ports close; ports close (and stop their
    // threads) before the window they report to goes.
    for (int ch = 0; ch < 2; ++ch)
        CancelConnect(ch);
    for (auto& q : Senders)
        q.Stop();
    for (auto& p : Ports)
        if (p) Swallowed([&] { p->Close(); });
}

// The design-time settings of both ports, applied as while the owner loads.
void TSerForm::AttachPort(int ch, TComPortN* port) {
    if (Ports[ch]) ClosePort(ch);
    Ports[ch].reset(port);
    (ch == 0 ? ComPort1 : ComPort2) = port;
    port->BeginLoading();
    port->SetBaudRate(br9600);
    port->SetPort("COM1");
    port->Parity().SetBits(prNone);
    port->SetStopBits(sbTwoStopBits);
    port->SetDataBits(dbEight);
    port->SetEvents(evRxChar | evTxEmpty | evRxFlag | evRing | evBreak | evCTS | evDSR | evError |
                    evRLSD | evRx80Full);
    port->FlowControl().SetOutCTSFlow(false);
    port->FlowControl().SetOutDSRFlow(false);
    port->FlowControl().SetControlDTR(dtrDisable);
    port->FlowControl().SetControlRTS(rtsDisable);
    port->FlowControl().SetXonXoffOut(false);
    port->FlowControl().SetXonXoffIn(false);
    port->OnRxChar = [this, ch](TCustomComPort*, int count) { ComPortRxChar(ch, count); };
    port->OnBreak = [this, ch](TCustomComPort*) { ComPortBreak(ch); };
    port->OnCTSChange = [this, ch](TCustomComPort*, bool on) { ComPortCTSChange(ch, on); };
    port->OnDSRChange = [this, ch](TCustomComPort*, bool on) { ComPortDSRChange(ch, on); };
    port->OnDeviceLost = [this, ch](TCustomComPort*) { ComPortDeviceLost(ch); };
    port->OnSettingsKept = [this, ch](TCustomComPort*, TLineSettings which,
                                      const serial::DCB& kept) {
        ComPortSettingsKept(ch, which, kept);
    };
    port->Loaded();
}

TOpenStart TSerForm::OpenPort(int ch) {
    TComPortN* port = Port(ch);
    Failure[ch].clear();
    if (port->Connected() || Connecting(ch) || Waiting(ch)) ClosePort(ch);
    if (serial::IsRemoteName(DevicePath(ch))) {
        StartConnect(ch, false);
        if (Connecting(ch)) return TOpenStart::Connecting;
        return TOpenStart::Failed;
    }
    try {
        OpenNow(ch, nullptr);
        return port->Connected() ? TOpenStart::Opened : TOpenStart::Failed;
    } catch (const EComPort& e) {
        Failure[ch] = FailureText(ch, e);
    } catch (const std::exception& e) {
        Failure[ch] = QString::fromStdString(DevicePath(ch)) + ": " + QString::fromUtf8(e.what());
    }
    return TOpenStart::Failed;
}

// The one way a port opens, on the window thread: on the device connected
// ahead for a remote port, else on the local device opened here (fast).
void TSerForm::OpenNow(int ch, std::unique_ptr<serial::ISerialDevice> prepared) {
    TComPortN* port = Port(ch);
    port->SetPort(ch == 0 ? PortName1 : PortName2);
    if (prepared) {
        const serial::TPreparedNetDevice offer(DevicePath(ch), std::move(prepared));
        port->Open();
    } else {
        port->Open();
    }
    if (!port->Connected()) return;
    const unsigned generation = ++Opens[ch];
    NoticeShown[ch] = false;
    serial::SetNetDeviceNotice(port->Handle(), [this, ch, generation](const std::string& text) {
        const QString shown = QString::fromStdString(text);
        QMetaObject::invokeMethod(
            this,
            [this, ch, generation, shown] {
                platform::Guarded([&] { DeviceNotice(ch, generation, shown); });
            },
            Qt::QueuedConnection);
    });
    StartSending(ch);
}

// What the connection's device has to tell the user, once per connection.
void TSerForm::DeviceNotice(int ch, unsigned generation, const QString& text) {
    if (generation != Opens[ch] || !Port(ch)->Connected() || NoticeShown[ch]) return;
    NoticeShown[ch] = true;
    TermMain->ChannelNotice(ch, QString::fromStdString(DevicePath(ch)) + ": " + text);
}

// Connects a remote port on a worker thread; the window thread finishes the
// open when the worker is done (ConnectDone).
void TSerForm::StartConnect(int ch, bool reconnect) {
    CancelConnect(ch);
    auto job = std::make_shared<TConnectJob>();
    job->Owner = this;
    job->Ch = ch;
    job->Reconnect = reconnect;
    job->Target = DevicePath(ch);
    job->Settings = Port(ch)->BuildDCB();
    Jobs[ch] = job;
    try {
        std::thread([job] {
            auto device = serial::OpenNetDevice(job->Target);
            int error = serial::GetLastError();
            std::string reason = serial::LastConnectReason();
            // The first settings and the server's answers to them, here
            // rather than on the window thread; the open applies them again
            // (a change made meanwhile included) without waiting.
            if (device && device->SetCommState(job->Settings))
                serial::AwaitNetDeviceAnswers(device.get(),
                                              serial::kAckTimeout + std::chrono::milliseconds(100));
            // A server that takes the connection and drops it at once (as
            // one that cannot open its own device does) failed the connect;
            // the open would only find its settings refused.
            serial::DCB state{};
            if (device && !device->GetCommState(state)) {
                error = serial::GetLastError();
                reason = kServerClosed;
                device.reset();
            }
            const std::lock_guard lock(job->Mutex);
            if (!job->Owner) return; // given up: the connection closes here
            job->Device = std::move(device);
            job->Error = error;
            job->Reason = reason;
            QMetaObject::invokeMethod(
                job->Owner,
                [owner = job->Owner, job] { platform::Guarded([&] { owner->ConnectDone(job); }); },
                Qt::QueuedConnection);
        }).detach();
    } catch (const std::system_error& e) {
        Jobs[ch].reset();
        Retry[ch] = "cannot start connecting: " + QString::fromUtf8(e.what());
        Failure[ch] = QString::fromStdString(job->Target) + ": " + Retry[ch];
        if (reconnect) RetryLater(ch);
    }
}

void TSerForm::CancelConnect(int ch) {
    if (!Jobs[ch]) return;
    {
        const std::lock_guard lock(Jobs[ch]->Mutex);
        Jobs[ch]->Owner = nullptr;
    }
    Jobs[ch].reset();
}

void TSerForm::ConnectDone(const std::shared_ptr<TConnectJob>& job) {
    const int ch = job->Ch;
    if (Jobs[ch] != job) return; // given up meanwhile: the connection goes with the job
    Jobs[ch].reset();
    if (job->Reconnect && !Waiting(ch)) return;
    if (DevicePath(ch) != job->Target) {
        // The [Ports] entry changed while connecting: connect to the new one.
        StartConnect(ch, job->Reconnect);
        return;
    }
    const QString prefix = FailurePrefix(ch);
    Failure[ch].clear();
    Retry[ch].clear();
    if (!job->Device) {
        Retry[ch] =
            QString::fromStdString(!job->Reason.empty() ? job->Reason : std::strerror(job->Error));
        Failure[ch] = prefix + Retry[ch];
    } else {
        try {
            OpenNow(ch, std::move(job->Device));
        } catch (const EComPort& e) {
            Retry[ch] = FailureReason(ch, e);
            Failure[ch] = prefix + Retry[ch];
        } catch (const std::exception& e) {
            Retry[ch] = QString::fromUtf8(e.what());
            Failure[ch] = prefix + Retry[ch];
        }
    }
    const bool opened = Port(ch)->Connected();
    if (job->Reconnect) {
        if (!opened) {
            RetryLater(ch);
            TermMain->ChannelRetryFailed(ch);
            return;
        }
        StopWaiting(ch);
        TermMain->ChannelReconnected(ch);
    } else if (opened) {
        TermMain->ChannelConnected(ch);
    } else {
        TermMain->ChannelConnectFailed(ch);
    }
}

std::string TSerForm::DevicePath(int ch) const {
    return serial::ResolveDeviceName(ch == 0 ? PortName1 : PortName2);
}

// "PATH (COMn): ", or "PATH: " when the port is named by its path: the start
// of every failure text.
QString TSerForm::FailurePrefix(int ch) const {
    const std::string path = DevicePath(ch);
    const std::string portName = ch == 0 ? PortName1 : PortName2;
    QString text = QString::fromStdString(path);
    if (path != portName) text += " (" + QString::fromStdString(portName) + ")";
    return text + ": ";
}

QString TSerForm::FailureText(int ch, const EComPort& e) const {
    return FailurePrefix(ch) + FailureReason(ch, e);
}

// A failed open in plain words.
QString TSerForm::FailureReason(int ch, const EComPort& e) const {
    const std::string path = DevicePath(ch);
    if (e.Code() == 1) {
        // Held by our own other channel: /proc would name this program itself.
        const int other = 1 - ch;
        std::error_code ec;
        if (e.WinCode() == EBUSY && Port(other)->Connected() &&
            (DevicePath(other) == path || std::filesystem::equivalent(DevicePath(other), path, ec)))
            return QString("busy, in use by channel %1 of this window").arg(other + 1);
        return QString::fromStdString(serial::OpenFailureReason(path, e.WinCode()));
    }
    // A connection lost between connecting and the open is no refused setting.
    if (serial::IsRemoteName(path) && IsConnectionLoss(e.WinCode())) return QString(kServerClosed);
    if (e.Code() == 7) {
        const TLineSettings which = Port(ch)->RefusedSettings();
        QString words = SettingWords(ch, which);
        return QString("the device refused the setting") + (words.contains(',') ? "s " : " ") +
               words;
    }
    return QString::fromUtf8(e.what());
}

// Settings by the names and values the channel's lists show.
QString TSerForm::SettingWords(int ch, TLineSettings which) const {
    TChannelUi& c = TermMain->Channel(ch);
    QStringList parts;
    auto add = [&](TLineSetting s, const char* name, QComboBox* list) {
        if (which & SetOf(s)) parts << QString(name) + " " + list->currentText();
    };
    add(lnBaudRate, "Baudrate", c.BaudCombo);
    add(lnDataBits, "Data Bits", c.DataBitsCombo);
    add(lnParity, "Parity", c.ParityCombo);
    add(lnStopBits, "Stop Bits", c.StopBitCombo);
    add(lnFlowControl, "Handshake", c.HskCombo);
    return parts.isEmpty() ? QString("(not named by the driver)") : parts.join(", ");
}

std::size_t TSerForm::ClosePort(int ch) {
    StopWaiting(ch);
    CancelConnect(ch);
    // The writer ends first: it must not use the device the port closes.
    const std::string unsent = Senders[ch].Stop();
    Unsent[ch] = unsent.size();
    ++SendGeneration[ch];
    Swallowed([&] { Port(ch)->Close(); });
    const std::string error = std::exchange(SendError[ch], {});
    if (!unsent.empty() || !error.empty()) {
        // One notice for everything that did not go out; the transmit
        // history keeps the bytes as typed.
        QString text = QString::fromStdString(Port(ch)->Port()) + ": ";
        if (!error.empty()) text += QString::fromStdString(error) + "; ";
        if (unsent.size() == 1)
            text += "1 byte not sent";
        else
            text += QString("%1 bytes not sent").arg(unsent.size());
        if (!unsent.empty()) text += ": " + ShownBytes(unsent);
        TermMain->ChannelNotice(ch, text);
    }
    return unsent.size();
}

// The writer of an open port: port writes with the port's own time-outs on a
// thread of their own; an abort purges the write in progress.
void TSerForm::StartSending(int ch) {
    TComPortN* port = Port(ch);
    const unsigned generation = ++SendGeneration[ch];
    Senders[ch].Start(
        [port](const void* buffer, std::int32_t count) { return port->Write(buffer, count); },
        [port] {
            if (serial::ISerialDevice* device = port->Handle())
                device->PurgeComm(serial::PURGE_TXABORT);
        },
        [this, ch, generation](const std::string& message) {
            QMetaObject::invokeMethod(
                this,
                [this, ch, generation, message] {
                    platform::Guarded([&] { SendFailed(ch, generation, message); });
                },
                Qt::QueuedConnection);
        });
}

// A write failed: the channel cannot send any more, so it disconnects, and
// the one notice of the disconnect names the error and what was not sent.
void TSerForm::SendFailed(int ch, unsigned generation, const std::string& message) {
    if (generation != SendGeneration[ch] || !Port(ch)->Connected()) return;
    SendError[ch] = message;
    if (TermMain->Channel(ch).ComPortBtn->isChecked() && TermMain->AutoReconnect(ch))
        TermMain->WaitForDevice(ch);
    else if (TermMain->Channel(ch).ComPortBtn->isChecked())
        TermMain->DisconnectChannel(ch);
    else
        ClosePort(ch);
    platform::MessageBeep(0);
}

// A setting changed on the open port: one the device refuses is named in the
// channel's notice, with a beep, and the channel stays connected.
template <class F> void TSerForm::Applied(int ch, F change) {
    try {
        change();
    } catch (const EComPort& e) {
        QString text = QString::fromStdString(DevicePath(ch)) + ": ";
        if (e.Code() == 7)
            text +=
                "the device refused the setting " + SettingWords(ch, Port(ch)->RefusedSettings());
        else
            text += QString::fromUtf8(e.what());
        TermMain->ChannelNotice(ch, text);
        platform::MessageBeep(0);
    }
}

void TSerForm::SetBaud(int ch, TBaudRate v) {
    Applied(ch, [&] { Port(ch)->SetBaudRate(v); });
}
void TSerForm::SetParity(int ch, TParityBits v) {
    Applied(ch, [&] { Port(ch)->Parity().SetBits(v); });
}
void TSerForm::SetDataBits(int ch, TDataBits v) {
    Applied(ch, [&] { Port(ch)->SetDataBits(v); });
}
void TSerForm::SetStopBits(int ch, TStopBits v) {
    Applied(ch, [&] { Port(ch)->SetStopBits(v); });
}
void TSerForm::SetHandshake(int ch, int choice) {
    static constexpr TFlowControl kChoices[3] = {fcNone, fcHardware, fcSoftware};
    if (choice < 0 || choice > 2) return;
    Applied(ch, [&] { Port(ch)->FlowControl().SetFlowControl(kChoices[choice]); });
}

void TSerForm::SetRTS(int ch, bool on) {
    if (RtsHandshake(ch)) return; // the driver owns the line
    Swallowed([&] { Port(ch)->SetRTS(on); });
}

void TSerForm::SetDTR(int ch, bool on) {
    Swallowed([&] { Port(ch)->SetDTR(on); });
}

void TSerForm::SetBreak(int ch, bool on) {
    Swallowed([&] { Port(ch)->SetBreak(on); });
}

void TSerForm::SendByte(int ch, unsigned char b) {
    Send(ch, std::string_view(reinterpret_cast<const char*>(&b), 1));
}

void TSerForm::Send(int ch, std::string_view bytes) {
    // A closed port refuses them as its write would.
    if (!Port(ch)->Connected()) throw EComPort(2, EBADF);
    Senders[ch].Enqueue(bytes);
}

void TSerForm::ComPortRxChar(int ch, int) {
    TComPortN* port = Port(ch);
    if (RxContinues[ch]) return; // the queued continuation reads what is waiting
    // A handler that lets events run (an error message) must not let a nested
    // read overtake the bytes already read: the outer loop reads the rest.
    if (RxReading[ch]) return;
    RxReading[ch] = true;
    const struct TDone {
        bool& flag;
        ~TDone() { flag = false; }
    } done{RxReading[ch]};
    // A device that keeps delivering would keep this loop, and the window,
    // busy for as long as the stream lasts: after a slice of time the rest is
    // read in a continuation once the window has handled its own events.
    QElapsedTimer slice;
    slice.start();
    try {
        // What is waiting is read in blocks (the port's reads return at once
        // with what they find) and handed on a byte at a time.
        unsigned char block[kRxBlock];
        for (;;) {
            const std::int32_t n = port->Read(block, kRxBlock);
            if (n <= 0) break;
            for (std::int32_t i = 0; i < n; ++i) {
                if (ch == 0)
                    TermMain->AddRxByte1(block[i]);
                else
                    TermMain->AddRxByte2(block[i]);
            }
            if (slice.elapsed() >= kRxSliceMs) {
                RxContinues[ch] = true;
                QTimer::singleShot(0, this, [this, ch] {
                    RxContinues[ch] = false;
                    if (Port(ch)->Connected()) ComPortRxChar(ch, 0);
                });
                return;
            }
        }
    } catch (...) {
        // bytes still waiting are read at the next event
    }
}

bool TSerForm::StartWaiting(int ch) {
    StopWaiting(ch);
    if (serial::IsRemoteName(DevicePath(ch))) {
        ++WaitGeneration[ch];
        RemoteWait[ch] = true;
        RetryS[ch] = 0;
        Retry[ch].clear();
        RetryLater(ch);
        return true;
    }
    if (!Watches[ch].Watch(DevicePath(ch))) return false;
    const unsigned generation = ++WaitGeneration[ch];
    auto* notifier = new QSocketNotifier(Watches[ch].Fd(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this, ch, generation] {
        platform::Guarded([&] {
            if (generation == WaitGeneration[ch]) DeviceMayBeBack(ch);
        });
    });
    Notifiers[ch] = notifier;
    return true;
}

// The next try of a remote port being waited for, each wait longer than the
// last up to 10 s: a server that is down for long costs one connect every 10 s.
void TSerForm::RetryLater(int ch) {
    if (!RemoteWait[ch]) return;
    RetryS[ch] = RetryS[ch] == 0 ? 1 : std::min(RetryS[ch] * 2, 10);
    const unsigned generation = WaitGeneration[ch];
    QTimer::singleShot(RetryS[ch] * 1000, this, [this, ch, generation] {
        platform::Guarded([&] {
            if (generation == WaitGeneration[ch] && RemoteWait[ch] && !Connecting(ch))
                StartConnect(ch, true);
        });
    });
}

void TSerForm::StopWaiting(int ch) {
    if (RemoteWait[ch]) {
        ++WaitGeneration[ch];
        RemoteWait[ch] = false;
        CancelConnect(ch);
        return;
    }
    if (!Notifiers[ch]) return;
    ++WaitGeneration[ch];
    Notifiers[ch]->setEnabled(false);
    Notifiers[ch]->deleteLater();
    Notifiers[ch] = nullptr;
    Watches[ch].Stop();
}

void TSerForm::DeviceMayBeBack(int ch) {
    if (Watches[ch].Drain()) TryReopen(ch, 3);
}

// A device node may appear a moment before its driver or its permissions are
// ready: a failed try is repeated a few times, then the next change is awaited.
void TSerForm::TryReopen(int ch, int retriesLeft) {
    if (!Waiting(ch)) return;
    const unsigned generation = WaitGeneration[ch];
    bool opened = false;
    QString why; // a path that is there but cannot be used
    try {
        OpenNow(ch, nullptr);
        opened = Port(ch)->Connected();
    } catch (const EComPort& e) {
        const bool missing = e.Code() == 1 && (e.WinCode() == ENOENT || e.WinCode() == ENXIO ||
                                               e.WinCode() == ENODEV || e.WinCode() == ENOTDIR);
        if (!missing) {
            why = FailureReason(ch, e); // the notice names the path once
        }
    } catch (const std::exception& e) {
        why = QString::fromUtf8(e.what());
    }
    if (opened) {
        StopWaiting(ch);
        TermMain->ChannelReconnected(ch);
        return;
    }
    if (retriesLeft > 0) {
        QTimer::singleShot(300, this, [this, ch, generation, retriesLeft] {
            platform::Guarded([&] {
                if (generation == WaitGeneration[ch]) TryReopen(ch, retriesLeft - 1);
            });
        });
        return;
    }
    // Given up until the next change: a path that came back unusable (busy,
    // not a serial device, no permission) must not read as still missing.
    const QString waiting = "waiting for " + QString::fromStdString(DevicePath(ch));
    if (!why.isEmpty())
        TermMain->ChannelNotice(ch, waiting + ": " + why);
    else if (TermMain->NoticeText(ch).startsWith(waiting + ": "))
        TermMain->ChannelNotice(ch, waiting);
}

void TSerForm::ComPortBreak(int ch) {
    TermMain->Channel(ch).BrkLed->SetLedFlash(true);
}

void TSerForm::ComPortCTSChange(int ch, bool onOff) {
    TermMain->Channel(ch).CTSLED->SetLedCol(onOff ? clLime : clRed);
}

void TSerForm::ComPortDSRChange(int ch, bool onOff) {
    TermMain->Channel(ch).DSRLED->SetLedCol(onOff ? clLime : clRed);
}

// The device went away: after the current dispatch, the channel goes back to
// the disconnected state as if the user had released its connect button, or,
// with auto reconnect, waits for the device to come back.
void TSerForm::ComPortDeviceLost(int ch) {
    QTimer::singleShot(0, this, [this, ch] {
        platform::Guarded([this, ch] {
            if (!TermMain->Channel(ch).ComPortBtn->isChecked() || Waiting(ch)) return;
            if (TermMain->AutoReconnect(ch))
                TermMain->WaitForDevice(ch);
            else
                TermMain->DisconnectChannel(ch);
            platform::MessageBeep(0);
        });
    });
}

// The device runs with other line settings than the lists ask for: the user
// hears it once and reads which ones it kept. The lists keep showing what was
// asked, so a session still stores the user's choice.
void TSerForm::ComPortSettingsKept(int ch, TLineSettings which, const serial::DCB& kept) {
    TChannelUi& c = TermMain->Channel(ch);
    auto item = [](QComboBox* list, int index, const QString& otherwise) {
        return index >= 0 && index < list->count() ? list->itemText(index) : otherwise;
    };
    QStringList parts;
    if (which & SetOf(lnBaudRate)) {
        static constexpr TBaudRate kRates[14] = {br110,   br300,   br600,    br1200,  br2400,
                                                 br4800,  br9600,  br14400,  br19200, br38400,
                                                 br56000, br57600, br115200, br256000};
        int index = -1;
        for (int i = 0; i < 14; ++i)
            if (std::uint32_t(BaudRateValue(kRates[i])) == kept.BaudRate) index = i;
        parts << "Baudrate: " + item(c.BaudCombo, index, QString("%1Bd").arg(kept.BaudRate));
    }
    if (which & SetOf(lnDataBits))
        parts << "Data Bits: " + item(c.DataBitsCombo, kept.ByteSize - 5,
                                      QString("%1 Bits").arg(kept.ByteSize));
    if (which & SetOf(lnParity))
        parts << "Parity: " + item(c.ParityCombo, kept.Parity, QString::number(kept.Parity));
    if (which & SetOf(lnStopBits))
        parts << "Stop Bits: " +
                     item(c.StopBitCombo, kept.StopBits, QString::number(kept.StopBits));
    TermMain->ChannelNotice(ch,
                            QString::fromStdString(Port(ch)->Port()) + " kept " + parts.join(", "));
    platform::MessageBeep(0);
}
