#include "FSerPort.h"

#include "LedCheck.h"
#include "Main.h"
#include "Platform.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QTimer>
#include <QToolButton>

#include <cerrno>

namespace {
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
    ComPort1 = Ports[0].get();
    ComPort2 = Ports[1].get();
}

TSerForm::~TSerForm() {
    // Writers end before their ports close; ports close (and stop their
    // threads) before the window they report to goes.
    for (auto& q : Senders)
        q.Stop();
    for (auto& p : Ports)
        if (p) Swallowed([&] { p->Close(); });
}

// The design-time settings of both ports, applied as while the owner loads.
void TSerForm::AttachPort(int ch, TComPortN* port) {
    Ports[ch].reset(port);
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

bool TSerForm::OpenPort(int ch) {
    TComPortN* port = Port(ch);
    try {
        if (port->Connected()) ClosePort(ch);
        port->SetPort(ch == 0 ? PortName1 : PortName2);
        port->Open();
        if (port->Connected()) StartSending(ch);
        return port->Connected();
    } catch (...) {
        return false;
    }
}

std::size_t TSerForm::ClosePort(int ch) {
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
    if (TermMain->Channel(ch).ComPortBtn->isChecked())
        TermMain->DisconnectChannel(ch);
    else
        ClosePort(ch);
    platform::MessageBeep(0);
}

void TSerForm::SetBaud(int ch, TBaudRate v) {
    Port(ch)->SetBaudRate(v);
}
void TSerForm::SetParity(int ch, TParityBits v) {
    Port(ch)->Parity().SetBits(v);
}
void TSerForm::SetDataBits(int ch, TDataBits v) {
    Port(ch)->SetDataBits(v);
}
void TSerForm::SetStopBits(int ch, TStopBits v) {
    Port(ch)->SetStopBits(v);
}
void TSerForm::SetHandshake(int, int) {} // the handshake choice has no effect on the port

void TSerForm::SetRTS(int ch, bool on) {
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
// the disconnected state as if the user had released its connect button.
void TSerForm::ComPortDeviceLost(int ch) {
    QTimer::singleShot(0, this, [this, ch] {
        platform::Guarded([this, ch] {
            if (!TermMain->Channel(ch).ComPortBtn->isChecked()) return;
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
