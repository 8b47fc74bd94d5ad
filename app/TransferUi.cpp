#include "TransferUi.h"

#include "ChannelView.h"
#include "FSerPort.h"
#include "Main.h"
#include "MemoView.h"
#include "PasteText.h"
#include "Platform.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {
constexpr std::size_t kAhead = 256 * 1024; // most bytes of a send waiting in the queue
constexpr int kTickMs = 4;                 // a send without pauses
constexpr int kPacedTickMs = 1; // a paced one: its pauses are kept to about a millisecond
constexpr int kFlushMs = 1000;

QString Size(std::uint64_t n) {
    if (n < 1024) return QString("%1 B").arg(n);
    if (n < 1024 * 1024) return QString("%1 KiB").arg(n / 1024.0, 0, 'f', 1);
    if (n < 1024ull * 1024 * 1024) return QString("%1 MiB").arg(n / 1048576.0, 0, 'f', 1);
    return QString("%1 GiB").arg(n / 1073741824.0, 0, 'f', 2);
}

QString Duration(double s) {
    const qint64 t = static_cast<qint64>(s + 0.5);
    if (t >= 3600)
        return QString("%1:%2:%3")
            .arg(t / 3600)
            .arg(t / 60 % 60, 2, 10, QChar('0'))
            .arg(t % 60, 2, 10, QChar('0'));
    return QString("%1:%2").arg(t / 60).arg(t % 60, 2, 10, QChar('0'));
}

// A file name field with a "Browse…" button.
QWidget* PathRow(QWidget* parent, QLineEdit*& edit, bool save) {
    auto* row = new QWidget(parent);
    auto* lay = new QHBoxLayout(row);
    lay->setContentsMargins(0, 0, 0, 0);
    edit = new QLineEdit(row);
    edit->setMinimumWidth(320);
    auto* browse = new QPushButton(QObject::tr("Browse…"), row);
    lay->addWidget(edit, 1);
    lay->addWidget(browse);
    QLineEdit* e = edit;
    QObject::connect(browse, &QPushButton::clicked, row, [row, e, save] {
        // The capture dialog asks about replacing itself (the check box), so
        // the file dialog does not.
        const QString p =
            save ? QFileDialog::getSaveFileName(row, QObject::tr("Capture to"), e->text(), {},
                                                nullptr, QFileDialog::DontConfirmOverwrite)
                 : QFileDialog::getOpenFileName(row, QObject::tr("Send file"), e->text());
        if (!p.isEmpty()) e->setText(p);
    });
    return row;
}

// A dialog of a file name row, the fields its user adds, and OK/Cancel.
struct FileForm {
    QDialog dlg;
    QFormLayout* form;
    QLineEdit* path = nullptr;

    FileForm(QWidget* parent, const char* name, const QString& title, const QString& file,
             bool save)
        : dlg(parent), form(new QFormLayout(&dlg)) {
        dlg.setObjectName(name);
        dlg.setWindowTitle(title);
        form->addRow(QObject::tr("File:"), PathRow(&dlg, path, save));
        path->setText(file);
    }

    // Adds the buttons (OK named okText when given) and runs the dialog; true
    // when it is accepted with a file name.
    bool Run(const QString& okText = {}) {
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dlg);
        if (!okText.isEmpty()) buttons->button(QDialogButtonBox::Ok)->setText(okText);
        form->addRow(buttons);
        QObject::connect(buttons, &QDialogButtonBox::accepted, &dlg, &QDialog::accept);
        QObject::connect(buttons, &QDialogButtonBox::rejected, &dlg, &QDialog::reject);
        return dlg.exec() == QDialog::Accepted && !path->text().trimmed().isEmpty();
    }
};

bool AskCaptureDialog(QWidget* parent, const QString& title, TCaptureRequest& r) {
    FileForm f(parent, "CaptureDlg", title, r.Path, true);
    auto* format = new QComboBox(&f.dlg);
    format->addItems({QObject::tr("raw bytes as received"),
                      QObject::tr("text lines with time stamps (received)"),
                      QObject::tr("text lines with time stamps (received RX and sent TX)")});
    format->setCurrentIndex(static_cast<int>(r.Options.Format));
    f.form->addRow(QObject::tr("Format:"), format);
    auto* replace =
        new QCheckBox(QObject::tr("replace the file if it exists (else append)"), &f.dlg);
    f.form->addRow(replace);
    if (!f.Run()) return false;
    if (replace->isChecked() && QFileInfo::exists(f.path->text()) &&
        QMessageBox::question(
            parent, title,
            QObject::tr("Replace %1? Its contents will be lost.").arg(f.path->text())) !=
            QMessageBox::Yes)
        return false;
    r.Path = f.path->text();
    r.Options.Format = static_cast<TCaptureFormat>(format->currentIndex());
    r.Options.Replace = replace->isChecked();
    return true;
}

bool AskSendDialog(QWidget* parent, const QString& title, TSendRequest& r) {
    FileForm f(parent, "SendFileDlg", title, r.Path, false);
    auto delay = [&](const QString& label, int value) {
        auto* s = new QSpinBox(&f.dlg);
        s->setRange(0, 10000);
        s->setSuffix(" ms");
        s->setValue(value);
        f.form->addRow(label, s);
        return s;
    };
    QSpinBox* perChar = delay(QObject::tr("Delay per character:"), r.CharDelayMs);
    QSpinBox* perLine = delay(QObject::tr("Delay per line end:"), r.LineDelayMs);
    if (!f.Run(QObject::tr("Send"))) return false;
    r.Path = f.path->text();
    r.CharDelayMs = perChar->value();
    r.LineDelayMs = perLine->value();
    return true;
}
} // namespace

// ---- progress ----------------------------------------------------------------

TSendProgress::TSendProgress(QWidget* parent, const QString& title, const QString& what)
    : QDialog(parent) {
    setWindowTitle(title);
    setModal(false);
    auto* lay = new QVBoxLayout(this);
    auto* name = new QLabel(what, this);
    name->setObjectName("What");
    lay->addWidget(name);
    Bar = new QProgressBar(this);
    Bar->setRange(0, 1000);
    Bar->setMinimumWidth(360);
    lay->addWidget(Bar);
    Status = new QLabel(this);
    Status->setObjectName("Status");
    lay->addWidget(Status);
    CancelBtn = new QPushButton(tr("Cancel"), this);
    CancelBtn->setObjectName("CancelBtn");
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(CancelBtn);
    lay->addLayout(row);
    connect(CancelBtn, &QPushButton::clicked, this, [this] {
        platform::Guarded([this] {
            if (OnCancel) OnCancel();
        });
    });
}

void TSendProgress::reject() {
    platform::Guarded([this] {
        if (OnCancel) OnCancel();
    });
}

void TSendProgress::Show(std::uint64_t sent, std::uint64_t total, double seconds) {
    Bar->setValue(total ? static_cast<int>(sent * 1000 / total) : 1000);
    QString text = tr("%1 of %2").arg(Size(sent), Size(total));
    if (seconds > 0.2 && sent > 0) {
        const double rate = sent / seconds;
        text += tr("  ·  %1/s").arg(Size(static_cast<std::uint64_t>(rate)));
        text += tr("  ·  %1 left").arg(Duration((total - std::min(sent, total)) / rate));
    }
    Status->setText(text);
}

// ---- a send in progress ------------------------------------------------------------

struct TTransferUi::TJob {
    TSendPacer Pacer;
    QString What;      // the file's name, or "pasted text"
    std::string Taken; // bytes queued but not yet shown (they follow Shown)
    std::uint64_t Fed = 0;
    std::uint64_t Shown = 0;
    int PauseMs = 0;
    bool Pausing = false; // waits for the bytes to go, then for PauseMs
    QElapsedTimer PauseClock;
    QElapsedTimer Clock;
    QElapsedTimer ShownClock; // the progress is redrawn a few times a second
    QTimer Timer;
    QString Failure; // the file could not be read to its end
    std::unique_ptr<TSendProgress> Progress;
    bool ShowProgress = false;
};

TTransferUi::TTransferUi(TTermMain* main) : QObject(main), Main(main) {
    setObjectName("Transfers");
    AskCapture = [this](int ch, TCaptureRequest& r) {
        return AskCaptureDialog(Main, tr("Capture Channel %1").arg(ch + 1), r);
    };
    AskSendFile = [this](int ch, TSendRequest& r) {
        return AskSendDialog(Main, tr("Send File on Channel %1").arg(ch + 1), r);
    };
    ConfirmPaste = [this](int ch, std::size_t bytes) {
        return QMessageBox::question(
                   Main, tr("Paste to send"),
                   tr("Send %1 bytes of pasted text on channel %2?").arg(bytes).arg(ch + 1)) ==
               QMessageBox::Yes;
    };
    ShowMessage = [this](const QString& message) {
        // Not modal: the receive path must not wait in a nested loop for it.
        auto* box = new QMessageBox(QMessageBox::Warning, QApplication::applicationName(), message,
                                    QMessageBox::Ok, Main);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    };
    FlushTimer.setInterval(kFlushMs);
    connect(&FlushTimer, &QTimer::timeout, this,
            [this] { platform::Guarded([this] { FlushCaptures(); }); });
    for (int ch = 0; ch < 2; ++ch) {
        TChannelView& view = *Main->Channel(ch).View;
        view.TxBusy = [this, ch] { return Sending(ch); };
        view.TxRecorded = [this, ch](std::string_view bytes) {
            if (Captures[ch]) Captures[ch]->Tx(bytes);
        };
        TTxEditor* editor = Main->Channel(ch).InputList;
        editor->OnPaste = [this, ch](TTxEditor*) { PasteToSend(ch); };
    }
}

TTransferUi::~TTransferUi() {
    // The serial module may be gone already: sends just end, captures are written out.
    for (int ch = 0; ch < 2; ++ch) {
        Jobs[ch].reset();
        TChannelUi& c = Main->Channel(ch);
        c.Capture = nullptr;
        c.View->TxBusy = nullptr;
        c.View->TxRecorded = nullptr;
        c.InputList->OnPaste = nullptr;
        if (Captures[ch]) Captures[ch]->Close();
    }
}

void TTransferUi::Build(QMenuBar* bar) {
    QMenu* menu = new QMenu(tr("Transfer"), bar);
    menu->setObjectName("TransferMenu");
    QAction* before = nullptr;
    for (QAction* a : bar->actions())
        if (a->text() == "Info") before = a;
    bar->insertMenu(before, menu);
    for (int ch = 0; ch < 2; ++ch) {
        if (ch) menu->addSeparator();
        CaptureItem[ch] = menu->addAction(tr("capture Channel %1…").arg(ch + 1));
        CaptureItem[ch]->setObjectName(QString("CaptureItem%1").arg(ch + 1));
        SendFileItem[ch] = menu->addAction(tr("send File on Channel %1…").arg(ch + 1));
        SendFileItem[ch]->setObjectName(QString("SendFileItem%1").arg(ch + 1));
        connect(CaptureItem[ch], &QAction::triggered, this,
                [this, ch] { platform::Guarded([this, ch] { CaptureItemClick(ch); }); });
        connect(SendFileItem[ch], &QAction::triggered, this,
                [this, ch] { platform::Guarded([this, ch] { SendFileItemClick(ch); }); });

        // The capture mark: in the gap between a channel's mode buttons and "Print".
        auto* mark = new QLabel(Main->Channel(ch).Panel);
        mark->setObjectName(QString("CaptureLabel%1").arg(ch + 1));
        mark->setGeometry(356, 397, 56, 17);
        mark->setStyleSheet("color: #c00000; font-weight: bold;");
        mark->hide();
        CaptureLabel[ch] = mark;
    }
    connect(menu, &QMenu::aboutToShow, this, [this] { UpdateItems(); });
    UpdateItems();
}

bool TTransferUi::Connected(int ch) const {
    TSerForm* ser = Main->serForm();
    return ser && ser->Port(ch)->Connected();
}

QString TTransferUi::PortName(int ch) const {
    TSerForm* ser = Main->serForm();
    return ser ? QString::fromStdString(ser->Port(ch)->Port()) : QString("Channel %1").arg(ch + 1);
}

void TTransferUi::UpdateItems() {
    for (int ch = 0; ch < 2; ++ch) {
        if (!CaptureItem[ch]) continue;
        CaptureItem[ch]->setText(Captures[ch] ? tr("stop Capture Channel %1").arg(ch + 1)
                                              : tr("capture Channel %1…").arg(ch + 1));
        SendFileItem[ch]->setText(Jobs[ch] ? tr("cancel Send on Channel %1").arg(ch + 1)
                                           : tr("send File on Channel %1…").arg(ch + 1));
        SendFileItem[ch]->setEnabled(Jobs[ch] || Connected(ch));
    }
}

// ---- capture ---------------------------------------------------------------------

void TTransferUi::CaptureItemClick(int ch) {
    if (Captures[ch]) {
        StopCapture(ch);
        return;
    }
    TCaptureRequest r = LastCapture[ch];
    r.Options.Replace = false;
    if (!AskCapture || !AskCapture(ch, r)) return;
    LastCapture[ch] = r;
    StartCapture(ch, r.Path, r.Options);
}

bool TTransferUi::StartCapture(int ch, const QString& path, const TCaptureOptions& options) {
    StopCapture(ch);
    auto w = std::make_unique<TCaptureWriter>();
    if (!w->Open(path.toStdString(), options)) {
        platform::MessageBeep(0);
        if (ShowMessage)
            ShowMessage(
                tr("The capture could not start: %1").arg(QString::fromStdString(w->Error())));
        return false;
    }
    Captures[ch] = std::move(w);
    Main->Channel(ch).Capture = Captures[ch].get();
    if (!FlushTimer.isActive()) FlushTimer.start();
    UpdateMark(ch);
    UpdateItems();
    return true;
}

void TTransferUi::StopCapture(int ch) {
    if (!Captures[ch]) return;
    Main->Channel(ch).Capture = nullptr;
    const bool ok = Captures[ch]->Close();
    if (!ok) {
        CaptureFailed(ch);
        return;
    }
    Captures[ch].reset();
    UpdateMark(ch);
    UpdateItems();
    if (!Captures[0] && !Captures[1]) FlushTimer.stop();
}

// The file cannot take more: the capture ends with one message; what reached
// the file stays there.
void TTransferUi::CaptureFailed(int ch) {
    std::unique_ptr<TCaptureWriter> w = std::move(Captures[ch]);
    Main->Channel(ch).Capture = nullptr;
    w->Close();
    const QString text = tr("Capture of channel %1 stopped: %2. The file keeps the %3 written.")
                             .arg(ch + 1)
                             .arg(QString::fromStdString(w->Error()))
                             .arg(Size(w->BytesWritten()));
    UpdateMark(ch);
    UpdateItems();
    if (!Captures[0] && !Captures[1]) FlushTimer.stop();
    Main->ChannelNotice(ch, text);
    platform::MessageBeep(0);
    if (ShowMessage) ShowMessage(text);
}

void TTransferUi::FlushCaptures() {
    for (int ch = 0; ch < 2; ++ch) {
        if (!Captures[ch]) continue;
        if (!Captures[ch]->Flush())
            CaptureFailed(ch);
        else
            UpdateMark(ch);
    }
}

void TTransferUi::UpdateMark(int ch) {
    QLabel* mark = CaptureLabel[ch];
    if (!mark) return;
    const TCaptureWriter* w = Captures[ch].get();
    mark->setVisible(w != nullptr);
    if (!w) return;
    const std::uint64_t n = w->BytesIn();
    QString shortSize = n < 1000      ? QString::number(n)
                        : n < 1000000 ? QString("%1k").arg(n / 1000)
                                      : QString("%1M").arg(n / 1000000);
    mark->setText(QString::fromUtf8("\u25CF REC ") + shortSize);
    mark->setToolTip(tr("capturing to %1: %2 bytes").arg(QString::fromStdString(w->Path())).arg(n));
}

void TTransferUi::StopAll() {
    for (int ch = 0; ch < 2; ++ch) {
        if (Jobs[ch]) CancelSend(ch);
        if (Captures[ch]) {
            Main->Channel(ch).Capture = nullptr;
            Captures[ch]->Close();
            Captures[ch].reset();
            UpdateMark(ch);
        }
    }
    FlushTimer.stop();
}

// ---- send file and paste --------------------------------------------------------------

void TTransferUi::SendFileItemClick(int ch) {
    if (Jobs[ch]) {
        CancelSend(ch);
        return;
    }
    if (!Connected(ch)) {
        platform::MessageBeep(0);
        return;
    }
    TSendRequest r = LastSend[ch];
    if (!AskSendFile || !AskSendFile(ch, r)) return;
    LastSend[ch] = r;
    StartSend(ch, r.Path, r.CharDelayMs, r.LineDelayMs);
}

bool TTransferUi::StartSend(int ch, const QString& path, int charDelayMs, int lineDelayMs) {
    auto job = std::make_unique<TJob>();
    std::string error;
    if (!job->Pacer.OpenFile(path.toStdString(), error)) {
        platform::MessageBeep(0);
        if (ShowMessage)
            ShowMessage(tr("The file cannot be sent: %1").arg(QString::fromStdString(error)));
        return false;
    }
    job->Pacer.SetDelays(charDelayMs, lineDelayMs);
    job->What = QFileInfo(path).fileName();
    LastSend[ch].CharDelayMs = charDelayMs;
    LastSend[ch].LineDelayMs = lineDelayMs;
    return StartJob(ch, std::move(job), true);
}

bool TTransferUi::StartPaste(int ch, const QString& text) {
    const std::u32string chars = text.toStdU32String();
    TPasteBytes p = PasteBytes(chars);
    if (p.Refused > 0) platform::MessageBeep(1); // as a typed character without a byte
    if (p.Bytes.empty()) return false;
    if (p.Bytes.size() > kPasteAsk && ConfirmPaste && !ConfirmPaste(ch, p.Bytes.size()))
        return false;
    auto job = std::make_unique<TJob>();
    const std::size_t n = p.Bytes.size();
    job->Pacer.SetBytes(std::move(p.Bytes));
    job->Pacer.SetDelays(LastSend[ch].CharDelayMs, LastSend[ch].LineDelayMs);
    job->What = tr("pasted text");
    const bool slow = LastSend[ch].CharDelayMs > 0 || LastSend[ch].LineDelayMs > 0;
    const bool ok = StartJob(ch, std::move(job), n > kPasteAsk || slow);
    if (ok && p.Refused > 0)
        Main->ChannelNotice(ch, tr("%1: %2 pasted characters have no Windows-1252 byte and were "
                                   "not sent")
                                    .arg(PortName(ch))
                                    .arg(p.Refused));
    return ok;
}

void TTransferUi::PasteToSend(int ch) {
    if (!Connected(ch)) {
        platform::MessageBeep(0);
        return;
    }
    if (Jobs[ch]) { // one send at a time, as for typed keys
        platform::MessageBeep(1);
        return;
    }
    const QString text = QGuiApplication::clipboard()->text();
    if (text.isEmpty()) {
        platform::MessageBeep(1);
        return;
    }
    StartPaste(ch, text);
}

bool TTransferUi::StartJob(int ch, std::unique_ptr<TJob> job, bool showProgress) {
    if (Jobs[ch] || !Connected(ch)) {
        platform::MessageBeep(ch >= 0 && Jobs[ch] ? 1 : 0);
        return false;
    }
    TJob& j = *job;
    Jobs[ch] = std::move(job);
    j.Clock.start();
    j.ShownClock.start();
    j.ShowProgress = showProgress;
    if (showProgress) {
        j.Progress =
            std::make_unique<TSendProgress>(Main, tr("Sending on %1").arg(PortName(ch)),
                                            tr("Sending %1 on %2").arg(j.What, PortName(ch)));
        j.Progress->setObjectName(QString("SendProgress%1").arg(ch + 1));
        j.Progress->OnCancel = [this, ch] { CancelSend(ch); };
        j.Progress->Show(0, j.Pacer.Total(), 0);
        j.Progress->show();
    }
    j.Timer.setInterval(j.Pacer.Paced() ? kPacedTickMs : kTickMs);
    j.Timer.setTimerType(Qt::PreciseTimer);
    connect(&j.Timer, &QTimer::timeout, this,
            [this, ch] { platform::Guarded([this, ch] { Tick(ch); }); });
    j.Timer.start();
    UpdateItems();
    Tick(ch);
    return true;
}

// The bytes the device has taken are shown and recorded, so the views hold
// what went out, and the next piece joins the queue.
void TTransferUi::ShowTaken(int ch, std::uint64_t upTo) {
    TJob& j = *Jobs[ch];
    if (upTo <= j.Shown) return;
    const std::size_t n = static_cast<std::size_t>(upTo - j.Shown);
    Main->Channel(ch).View->ShowAndRecordTx(std::string_view(j.Taken.data(), n));
    j.Taken.erase(0, n);
    j.Shown = upTo;
}

void TTransferUi::Tick(int ch) {
    if (!Jobs[ch]) return;
    TJob& j = *Jobs[ch];
    TSerForm* ser = Main->serForm();
    if (!Connected(ch)) {
        // The channel went down (by the user, the device or a failed write):
        // what its close dropped did not go out.
        const std::uint64_t unsent =
            std::min<std::uint64_t>(ser ? ser->LastUnsent(ch) : 0, j.Fed - j.Shown);
        ShowTaken(ch, j.Fed - unsent);
        EndJob(ch, tr("%1: sending %2 ended by the disconnect after %3 of %4 bytes")
                       .arg(PortName(ch), j.What)
                       .arg(j.Shown)
                       .arg(j.Pacer.Total()));
        return;
    }
    const std::size_t pending = ser->SendPending(ch);
    const std::uint64_t sent = j.Fed > pending ? j.Fed - pending : 0;
    ShowTaken(ch, sent);
    bool fed = false;
    for (;;) {
        if (j.Pausing) {
            // The pause runs from the piece's start and ends no sooner than
            // the device has taken it.
            if (sent < j.Fed || j.PauseClock.elapsed() < j.PauseMs) break;
            j.Pausing = false;
        }
        // A file that cannot be read any more ends like one that is through:
        // what was read still goes out and is shown, then one message.
        bool atEnd = !j.Failure.isEmpty();
        std::string piece;
        int pause = 0;
        try {
            if (!atEnd) atEnd = j.Pacer.AtEnd();
            if (!atEnd && j.Fed - sent < kAhead && !fed) piece = j.Pacer.Next(kAhead, pause);
        } catch (const std::exception& e) {
            j.Failure = tr("%1: sending %2 stopped after %3 bytes: %4")
                            .arg(PortName(ch), j.What)
                            .arg(j.Fed)
                            .arg(QString::fromStdString(e.what()));
            atEnd = true;
        }
        if (atEnd) {
            if (sent == j.Fed) {
                const QString failure = j.Failure;
                EndJob(ch, failure.isEmpty()
                               ? tr("%1: sent %2 (%3 bytes)").arg(PortName(ch), j.What).arg(j.Fed)
                               : failure);
                if (!failure.isEmpty()) {
                    platform::MessageBeep(0);
                    if (ShowMessage) ShowMessage(failure);
                }
                return;
            }
            break;
        }
        if (piece.empty()) break;
        ser->Send(ch, piece);
        j.Taken += piece;
        j.Fed += piece.size();
        fed = true;
        if (pause > 0) {
            j.Pausing = true;
            j.PauseMs = pause;
            j.PauseClock.start();
        }
    }
    if (j.Progress && (j.ShownClock.elapsed() >= 100)) {
        j.ShownClock.restart();
        j.Progress->Show(j.Shown, j.Pacer.Total(), j.Clock.elapsed() / 1000.0);
    }
}

void TTransferUi::CancelSend(int ch) {
    if (!Jobs[ch]) return;
    TJob& j = *Jobs[ch];
    TSerForm* ser = Main->serForm();
    std::uint64_t upTo = j.Shown;
    if (ser && Connected(ch)) {
        // What no write has taken stays unsent; a write in progress finishes.
        const std::uint64_t dropped = ser->Sender(ch).DropAll().size();
        upTo = j.Fed - std::min<std::uint64_t>(dropped, j.Fed - j.Shown);
    }
    ShowTaken(ch, upTo);
    EndJob(ch, tr("%1: sending %2 cancelled after %3 of %4 bytes")
                   .arg(PortName(ch), j.What)
                   .arg(j.Shown)
                   .arg(j.Pacer.Total()));
}

void TTransferUi::EndJob(int ch, const QString& notice) {
    std::unique_ptr<TJob> job = std::move(Jobs[ch]);
    job->Timer.stop();
    if (job->Progress) {
        job->Progress->OnCancel = nullptr;
        job->Progress->hide();
        job->Progress->deleteLater();
        job->Progress.release();
    }
    if (job->ShowProgress) Main->ChannelNotice(ch, notice);
    UpdateItems();
}

TSendProgress* TTransferUi::Progress(int ch) const {
    return Jobs[ch] ? Jobs[ch]->Progress.get() : nullptr;
}
