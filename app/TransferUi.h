// Capture to a file, sending a file and pasting to send, per channel: the
// "Transfer" menu, the capture mark beside a channel's mode buttons, and the
// progress of a send. The byte work is done by the Qt-free writer and pacer
// (transfer/); this class feeds them from the channel's receive and send paths.
//
// While a file or a paste is being sent, keys typed into the channel's
// transmit editor are refused with a beep: its bytes leave back to back.
#pragma once

#include "CaptureWriter.h"
#include "SendPacer.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>

class QAction;
class QLabel;
class QMenuBar;
class QProgressBar;
class QPushButton;
class TTermMain;

struct TCaptureRequest {
    QString Path;
    TCaptureOptions Options;
};

struct TSendRequest {
    QString Path;
    int CharDelayMs = 0;
    int LineDelayMs = 0;
};

// The progress of one send: bytes sent, rate, time left and Cancel.
class TSendProgress : public QDialog {
    Q_OBJECT
public:
    TSendProgress(QWidget* parent, const QString& title, const QString& what);
    void Show(std::uint64_t sent, std::uint64_t total, double seconds);
    QProgressBar* Bar = nullptr;
    QLabel* Status = nullptr;
    QPushButton* CancelBtn = nullptr;
    std::function<void()> OnCancel;

protected:
    void reject() override; // Escape and the close box cancel too
};

class TTransferUi : public QObject {
    Q_OBJECT
public:
    explicit TTransferUi(TTermMain* main);
    ~TTransferUi() override;

    // Adds the "Transfer" menu before "Info" and the channels' capture marks.
    void Build(QMenuBar* bar);

    // Menu entries, twin-named.
    void CaptureItem1Click() { CaptureItemClick(0); }
    void CaptureItem2Click() { CaptureItemClick(1); }
    void SendFileItem1Click() { SendFileItemClick(0); }
    void SendFileItem2Click() { SendFileItemClick(1); }
    void PasteToSend1() { PasteToSend(0); }
    void PasteToSend2() { PasteToSend(1); }

    // Starts a capture; false (with a message) when the file cannot be opened.
    bool StartCapture(int ch, const QString& path, const TCaptureOptions& options);
    void StopCapture(int ch);
    void StopAll(); // the window closes: captures written out, sends cancelled
    const TCaptureWriter* Capture(int ch) const { return Captures[ch].get(); }

    // Sends a file, or text as pasted; false when it could not start.
    bool StartSend(int ch, const QString& path, int charDelayMs, int lineDelayMs);
    bool StartPaste(int ch, const QString& text);
    void CancelSend(int ch);
    bool Sending(int ch) const { return Jobs[ch] != nullptr; }
    TSendProgress* Progress(int ch) const;

    void PasteToSend(int ch); // the clipboard's text

    // Seams for the dialogs (tests answer them).
    std::function<bool(int ch, TCaptureRequest& request)> AskCapture;
    std::function<bool(int ch, TSendRequest& request)> AskSendFile;
    std::function<bool(int ch, std::size_t bytes)> ConfirmPaste;
    std::function<void(const QString& message)> ShowMessage; // not modal

    std::array<QAction*, 2> CaptureItem{};
    std::array<QAction*, 2> SendFileItem{};
    std::array<QLabel*, 2> CaptureLabel{};

    static constexpr std::size_t kPasteAsk = 4096; // larger pastes are confirmed first

private:
    struct TJob;
    void CaptureItemClick(int ch);
    void SendFileItemClick(int ch);
    bool StartJob(int ch, std::unique_ptr<TJob> job, bool showProgress);
    void Tick(int ch);
    void ShowTaken(int ch, std::uint64_t upTo);
    void EndJob(int ch, const QString& notice);
    void FlushCaptures();
    void CaptureFailed(int ch);
    void UpdateItems();
    void UpdateMark(int ch);
    bool Connected(int ch) const;
    QString PortName(int ch) const;

    TTermMain* Main;
    std::array<std::unique_ptr<TCaptureWriter>, 2> Captures;
    std::array<std::unique_ptr<TJob>, 2> Jobs;
    std::array<TSendRequest, 2> LastSend; // the dialog's last answers; pastes use its delays
    std::array<TCaptureRequest, 2> LastCapture;
    QTimer FlushTimer; // captures written out at least once a second
};
