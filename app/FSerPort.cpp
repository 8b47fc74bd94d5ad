#include "FSerPort.h"

#include "LedCheck.h"
#include "Main.h"
#include "Platform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QToolButton>

namespace {
// Runs a port operation whose failure the serial module ignores.
template <class F> void Swallowed(F f) {
    try {
        f();
    } catch (...) {
    }
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
    // Ports close (and stop their threads) before the window they report to goes.
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
    port->Loaded();
}

bool TSerForm::OpenPort(int ch) {
    TComPortN* port = Port(ch);
    try {
        port->SetConnected(false);
        port->SetPort(ch == 0 ? PortName1 : PortName2);
        port->Open();
        return port->Connected();
    } catch (...) {
        return false;
    }
}

void TSerForm::ClosePort(int ch) {
    Swallowed([&] { Port(ch)->Close(); });
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
    TComPortN* port = Port(ch);
    // Keep the window alive while the port does not take the byte; an error ends the wait.
    while (port->Write(&b, 1) != 1)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

void TSerForm::ComPortRxChar(int ch, int) {
    TComPortN* port = Port(ch);
    if (RxContinues[ch]) return; // the queued continuation reads what is waiting
    // A device that keeps delivering would keep this loop, and the window,
    // busy for as long as the stream lasts: after a slice of time the rest is
    // read in a continuation once the window has handled its own events.
    QElapsedTimer slice;
    slice.start();
    try {
        unsigned char b;
        for (unsigned n = 1; port->Read(&b, 1) == 1; ++n) {
            if (ch == 0)
                TermMain->AddRxByte1(b);
            else
                TermMain->AddRxByte2(b);
            if (n % 1024 == 0 && slice.elapsed() >= kRxSliceMs) {
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
