// The serial module: owns the two port objects, wraps each port operation with
// its error policy, and routes port events to the main window's channels.
#pragma once

#include "ComPortsN.h"
#include "SendQueue.h"
#include "device/PathWatch.h"

#include <QObject>
#include <QString>
#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

class TTermMain;
class QSocketNotifier;

// How an open began: done, failed (OpenFailure tells why), or a remote port
// connecting on a worker thread while the window goes on.
enum class TOpenStart { Opened, Failed, Connecting };

class TSerForm : public QObject {
    Q_OBJECT
public:
    explicit TSerForm(TTermMain* termMain, QObject* parent = nullptr);
    ~TSerForm() override;

    TComPortN* ComPort1 = nullptr;
    TComPortN* ComPort2 = nullptr;
    std::string PortName1;
    std::string PortName2;

    // Twin-named operations of the window.
    TOpenStart OpenPort1() { return OpenPort(0); }
    TOpenStart OpenPort2() { return OpenPort(1); }
    std::size_t ClosePort1() { return ClosePort(0); }
    std::size_t ClosePort2() { return ClosePort(1); }
    void SetBaud1(TBaudRate v) { SetBaud(0, v); }
    void SetBaud2(TBaudRate v) { SetBaud(1, v); }
    void SetParity1(TParityBits v) { SetParity(0, v); }
    void SetParity2(TParityBits v) { SetParity(1, v); }
    void SetDataBits1(TDataBits v) { SetDataBits(0, v); }
    void SetDataBits2(TDataBits v) { SetDataBits(1, v); }
    void SetStopBits1(TStopBits v) { SetStopBits(0, v); }
    void SetStopBits2(TStopBits v) { SetStopBits(1, v); }
    void SetHandshake1(int v) { SetHandshake(0, v); }
    void SetHandshake2(int v) { SetHandshake(1, v); }
    void SetRTS1(bool on) { SetRTS(0, on); }
    void SetRTS2(bool on) { SetRTS(1, on); }
    void SetDTR1(bool on) { SetDTR(0, on); }
    void SetDTR2(bool on) { SetDTR(1, on); }
    void SetBreak1(bool on) { SetBreak(0, on); }
    void SetBreak2(bool on) { SetBreak(1, on); }
    void SendByte1(unsigned char b) { SendByte(0, b); }
    void SendByte2(unsigned char b) { SendByte(1, b); }

    // Port event handlers.
    void ComPort1RxChar(int count) { ComPortRxChar(0, count); }
    void ComPort2RxChar(int count) { ComPortRxChar(1, count); }
    void ComPort1Break() { ComPortBreak(0); }
    void ComPort2Break() { ComPortBreak(1); }
    void ComPort1CTSChange(bool onOff) { ComPortCTSChange(0, onOff); }
    void ComPort2CTSChange(bool onOff) { ComPortCTSChange(1, onOff); }
    void ComPort1DSRChange(bool onOff) { ComPortDSRChange(0, onOff); }
    void ComPort2DSRChange(bool onOff) { ComPortDSRChange(1, onOff); }

    // Takes a closed port for the channel (ownership too) and gives it the
    // design-time settings and the event routing; tests attach their own.
    void AttachPort(int ch, TComPortN* port);

    // Channel-indexed forms, written once.
    TComPortN* Port(int ch) const { return ch == 0 ? ComPort1 : ComPort2; }
    void SetPortName(int ch, const std::string& name) { (ch == 0 ? PortName1 : PortName2) = name; }
    // Opens the channel's port; on failure OpenFailure(ch) says why, with
    // the device path. A local device opens at once. A remote port connects
    // on a worker thread (name resolution and connect may take seconds); the
    // window then hears the end through ChannelConnected or
    // ChannelConnectFailed. Both kinds finish in the same steps.
    TOpenStart OpenPort(int ch);
    bool Connecting(int ch) const { return Jobs[ch] != nullptr; }
    const QString& OpenFailure(int ch) const { return Failure[ch]; }
    // The device path (or null-modem end) the channel's port name opens.
    std::string DevicePath(int ch) const;
    // Closes the port; bytes still waiting to be sent are dropped and shown
    // in one notice. Returns how many were dropped.
    std::size_t ClosePort(int ch);
    void SetBaud(int ch, TBaudRate v);
    void SetParity(int ch, TParityBits v);
    void SetDataBits(int ch, TDataBits v);
    void SetStopBits(int ch, TStopBits v);
    // 0 none, 1 RTS/CTS, 2 XON/XOFF, applied to an open port at once.
    void SetHandshake(int ch, int choice);
    bool RtsHandshake(int ch) const { return Port(ch)->FlowControl().ControlRTS() == rtsHandshake; }
    // Auto reconnect: waits for the channel's device path to come back (an
    // inotify watch, no polling) and reopens it with the same settings, then
    // calls the window's ChannelReconnected. False when no watch could be
    // made. A remote port has no path to watch: it is tried again on a timer,
    // each wait longer (1 s, 2 s, 4 s, 8 s, then every 10 s), connecting off
    // the window thread.
    bool StartWaiting(int ch);
    void StopWaiting(int ch);
    bool Waiting(int ch) const { return Notifiers[ch] != nullptr || RemoteWait[ch]; }
    // Seconds before the next try of a remote port being waited for.
    int RetryDelay(int ch) const { return RetryS[ch]; }
    // Why the last try of a remote port being waited for failed.
    const QString& RetryFailure(int ch) const { return Retry[ch]; }
    void SetRTS(int ch, bool on);
    void SetDTR(int ch, bool on);
    void SetBreak(int ch, bool on);
    // Bytes to send join the channel's queue and leave in that order while
    // the window goes on; a closed port refuses them (EComPort code 2).
    void SendByte(int ch, unsigned char b);
    void Send(int ch, std::string_view bytes);
    std::size_t SendPending(int ch) const { return Senders[ch].Pending(); }
    TSendQueue& Sender(int ch) { return Senders[ch]; }
    // Bytes the channel's last close dropped unsent.
    std::size_t LastUnsent(int ch) const { return Unsent[ch]; }

private:
    struct TConnectJob; // a connect running on a worker thread
    void OpenNow(int ch, std::unique_ptr<serial::ISerialDevice> prepared);
    void StartConnect(int ch, bool reconnect);
    void ConnectDone(const std::shared_ptr<TConnectJob>& job);
    void CancelConnect(int ch);
    void RetryLater(int ch);
    void DeviceNotice(int ch, unsigned generation, const QString& text);
    void ComPortRxChar(int ch, int count);
    void ComPortBreak(int ch);
    void ComPortCTSChange(int ch, bool onOff);
    void ComPortDSRChange(int ch, bool onOff);
    void ComPortDeviceLost(int ch);
    void ComPortSettingsKept(int ch, TLineSettings which, const serial::DCB& kept);
    void StartSending(int ch);
    void SendFailed(int ch, unsigned generation, const std::string& message);
    template <class F> void Applied(int ch, F change);
    void DeviceMayBeBack(int ch);
    void TryReopen(int ch, int retriesLeft);
    QString FailurePrefix(int ch) const;
    QString FailureText(int ch, const EComPort& e) const;
    QString FailureReason(int ch, const EComPort& e) const;
    QString SettingWords(int ch, TLineSettings which) const;

    static constexpr int kRxSliceMs = 10; // longest stretch of reading between window events
    static constexpr int kRxBlock = 4096; // bytes taken from the port per read
    TTermMain* TermMain;
    std::array<bool, 2> RxContinues{}; // a read continuation is queued
    std::array<bool, 2> RxReading{};   // bytes read are being handed on
    std::array<std::unique_ptr<TComPortN>, 2> Ports;
    std::array<TSendQueue, 2> Senders;
    std::array<unsigned, 2>
        SendGeneration{}; // counts starts, so a late failure of an old connection is dropped
    std::array<std::string, 2> SendError; // a failed write, named when the channel disconnects
    std::array<std::size_t, 2> Unsent{};
    std::array<QString, 2> Failure; // why the last open failed
    std::array<QString, 2> Retry;   // the same for a remote try, without the names
    std::array<serial::TPathWatch, 2> Watches;
    std::array<QSocketNotifier*, 2> Notifiers{};
    std::array<unsigned, 2> WaitGeneration{}; // a late retry of an ended wait is dropped
    std::array<std::shared_ptr<TConnectJob>, 2> Jobs;
    std::array<bool, 2> RemoteWait{}; // waiting for a remote port: retried on a timer
    std::array<int, 2> RetryS{};      // the delay before the next try
    std::array<unsigned, 2>
        Opens{}; // counts opens, so a late notice of an old connection is dropped
    std::array<bool, 2> NoticeShown{}; // the connection's one device notice was shown
};
