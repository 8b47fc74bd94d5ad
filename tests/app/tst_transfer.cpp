// Capture, send file and paste to send through the real window and real
// pseudo-terminals.
#include "AppHarness.h"
#include "CaptureWriter.h"
#include "ChannelView.h"
#include "MemoView.h"
#include "Platform.h"
#include "TransferUi.h"
#include "device/PortMap.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <random>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {
std::string Random(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    std::mt19937 rng(seed);
    for (std::size_t i = 0; i + 4 <= n; i += 4) {
        const std::uint32_t v = rng();
        std::memcpy(&s[i], &v, 4);
    }
    return s;
}

// Reads the far end of a pseudo-terminal on a thread of its own until stopped.
struct FarReader {
    int Fd;
    std::atomic<bool> Stop{false};
    std::atomic<std::size_t> Count{0};
    std::string Got; // read only after Join
    std::thread T;
    explicit FarReader(int fd) : Fd(fd) {
        T = std::thread([this] {
            char buf[65536];
            while (!Stop) {
                pollfd p{Fd, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0) continue;
                const ssize_t n = ::read(Fd, buf, sizeof buf);
                if (n <= 0) continue;
                Got.append(buf, std::size_t(n));
                Count += std::size_t(n);
            }
        });
    }
    std::string Join() {
        Stop = true;
        if (T.joinable()) T.join();
        return Got;
    }
    ~FarReader() { Join(); }
};

// Lines of a text capture without their time stamps; each must carry one.
QStringList Untimed(const std::string& file, bool& stamped) {
    static const QRegularExpression stamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} )");
    QStringList out;
    stamped = true;
    for (const QString& line :
         QString::fromUtf8(file.data(), qsizetype(file.size())).split('\n', Qt::SkipEmptyParts)) {
        const auto m = stamp.match(line);
        stamped = stamped && m.hasMatch();
        out << line.mid(m.capturedLength());
    }
    return out;
}

// The window up, channel `ch` connected to `pty` as COM<ch + 1>.
bool StartConnected(AppHarness& h, const Pty& pty, int ch) {
    return h.Start() && h.ConnectTo(ch, ch, pty.SlavePath);
}

QStringList ModelLines(const TMemoText& m) {
    QStringList out;
    for (std::uint64_t i = 0; i < m.LineCount(); ++i)
        out << MemoBytesToQString(m.Line(i));
    return out;
}
} // namespace

class TstTransfer : public QObject {
    Q_OBJECT
private slots:
    void rawCaptureOfALongStreamIsExactAndAppends();
    void textCaptureMatchesTheViewsAndIsWrittenAtClose();
    void fullFileSystemStopsTheCaptureWithOneMessage();
    void sentFileArrivesWholeWhileTypedKeysAreRefused();
    void cancelAndDisconnectStopASendAtOnce();
    void pasteSendsWindowsBytesWithCrLf();
    void fileDialogsFillTheirRequests();
};

void TstTransfer::rawCaptureOfALongStreamIsExactAndAppends() {
    AppHarness h;
    Pty pty;
    QVERIFY(StartConnected(h, pty, 0));
    TTransferUi& t = *h.Main->Transfers;
    const QString file = h.Dir + "/capture.bin";
    QVERIFY(WriteFile(file, "before|"));
    QVERIFY(t.StartCapture(0, file, {}));
    QLabel* mark = h.Main->findChild<QLabel*>("CaptureLabel1");
    QVERIFY(mark && mark->isVisible());

    const std::string data = Random(32u << 20, 11);
    std::thread writer([&] { pty.WriteAll(data.data(), data.size()); });
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->RxData1().size(), data.size(), 120000);
    writer.join();
    QVERIFY(mark->text().contains("REC"));
    t.StopCapture(0);
    QVERIFY(!mark->isVisible());
    QVERIFY(ReadFile(file).toStdString() == "before|" + data);

    // A second capture to the same file appends.
    h.Main->ClearInpBtn1Click();
    QVERIFY(t.StartCapture(0, file, {}));
    pty.WriteAll("again", 5);
    QTRY_COMPARE(h.Main->RxData1(), std::string("again"));
    t.StopCapture(0);
    QVERIFY(ReadFile(file).toStdString() == "before|" + data + "again");
    QVERIFY(h.Errors.empty());
}

void TstTransfer::textCaptureMatchesTheViewsAndIsWrittenAtClose() {
    AppHarness h;
    Pty pty;
    QVERIFY(StartConnected(h, pty, 1));
    TTransferUi& t = *h.Main->Transfers;
    const QString file = h.Dir + "/both.log";
    // Through the menu, the dialog answered.
    t.AskCapture = [&](int ch, TCaptureRequest& r) {
        r.Path = file;
        r.Options.Format = TCaptureFormat::cfTextBoth;
        return ch == 1;
    };
    auto* item = h.Main->findChild<QAction*>("CaptureItem2");
    QVERIFY(item);
    item->trigger();
    QVERIFY(t.Capture(1));
    QCOMPARE(item->text(), QString("stop Capture Channel 2"));

    const std::string rx =
        "boot v1.2\r\nline\nstill\n" + std::string(75, '#') + "\r\n\x1b[1mbold\xE9\r\nprompt> ";
    pty.WriteAll(rx.data(), rx.size());
    QTRY_COMPARE(h.Main->RxData2(), rx);
    TChannelUi& c = h.Ch(1);
    c.InputList->setFocus();
    QTest::keyClicks(c.InputList, "ls");
    QTest::keyClick(c.InputList, Qt::Key_Return);
    QCOMPARE(pty.ReadAvailable(2000), std::string("ls\r\n"));

    // Closing the window writes the capture out, the open line included.
    const QStringList rxView = ModelLines(c.View->OutPutList());
    const QStringList txView = ModelLines(c.View->InputList());
    h.Close();
    QVERIFY(!t.Capture(1));
    bool stamped = false;
    const QStringList lines = Untimed(ReadFile(file).toStdString(), stamped);
    QVERIFY(stamped);
    QStringList rxLines, txLines;
    for (const QString& l : lines) {
        QVERIFY2(l.startsWith("RX ") || l.startsWith("TX "), qPrintable(l));
        (l.startsWith("RX ") ? rxLines : txLines) << l.mid(3);
    }
    QCOMPARE(rxLines, rxView);
    QCOMPARE(rxLines.last(), QString("prompt> "));
    QCOMPARE(txLines, QStringList{"ls"});
    QCOMPARE(txView.first(), QString("ls"));
}

void TstTransfer::fullFileSystemStopsTheCaptureWithOneMessage() {
    if (qgetenv("ZELMAR_FULLDISK") != "1") return; // runs as a test of its own
    if (geteuid() != 0) QSKIP("mounting a small tmpfs needs root");
    AppHarness h;
    const QString mnt = h.Dir + "/small";
    QVERIFY(mkdir(mnt.toLocal8Bit().constData(), 0755) == 0);
    if (mount("tmpfs", mnt.toLocal8Bit().constData(), "tmpfs", 0, "size=128k") != 0)
        QSKIP(qPrintable(QString("cannot mount tmpfs: %1").arg(strerror(errno))));
    struct Unmount {
        QByteArray P;
        ~Unmount() { umount2(P.constData(), MNT_DETACH); }
    } unmount{mnt.toLocal8Bit()};
    Pty pty;
    QVERIFY(StartConnected(h, pty, 0));
    QStringList messages;
    TTransferUi& t = *h.Main->Transfers;
    t.ShowMessage = [&](const QString& m) { messages << m; };
    const QString file = mnt + "/cap.bin";
    QVERIFY(t.StartCapture(0, file, {}));
    const std::string data = Random(1u << 20, 5);
    std::thread writer([&] { pty.WriteAll(data.data(), data.size()); });
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->RxData1().size(), data.size(), 20000);
    writer.join();
    QTRY_VERIFY_WITH_TIMEOUT(!t.Capture(0), 3000); // at the next flush at the latest
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].contains("No space left"), qPrintable(messages[0]));
    QVERIFY(h.Main->NoticeText(0).contains("No space left"));
    QVERIFY(!h.Main->findChild<QLabel*>("CaptureLabel1")->isVisible());
    const std::string kept = ReadFile(file).toStdString();
    QVERIFY(kept.size() > 0 && kept.size() < data.size());
    QVERIFY(kept == data.substr(0, kept.size()));
    pty.WriteAll("more", 4); // the channel goes on without the capture
    QTRY_COMPARE(h.Main->RxData1().size(), data.size() + 4);
    QCOMPARE(messages.size(), 1);
    QVERIFY(h.Errors.empty());
}

void TstTransfer::sentFileArrivesWholeWhileTypedKeysAreRefused() {
    AppHarness h;
    Pty pty;
    QVERIFY(StartConnected(h, pty, 0));
    TChannelUi& c = h.Ch(0);
    c.InputList->setFocus();
    QTest::keyClicks(c.InputList, "go");
    const std::string data = Random(4u << 20, 9);
    const QString file = h.Dir + "/firmware.bin";
    QVERIFY(WriteFile(file, QByteArray::fromStdString(data)));
    FarReader far(pty.Master);
    TTransferUi& t = *h.Main->Transfers;
    QVERIFY(t.StartSend(0, file, 0, 0));
    QVERIFY(t.Sending(0));
    auto* progress = h.Main->findChild<TSendProgress*>("SendProgress1");
    QVERIFY(progress && progress->isVisible());
    platform::TakeBeeps();
    QTest::keyClicks(c.InputList, "xy"); // refused while the file goes out
    QTest::keyClick(c.InputList, Qt::Key_4, Qt::ControlModifier);
    QCOMPARE(platform::TakeBeeps(), (std::vector<std::uint32_t>{1, 1, 1}));
    QTRY_VERIFY_WITH_TIMEOUT(!t.Sending(0), 60000);
    QTest::keyClicks(c.InputList, "!"); // typing works again
    QTRY_COMPARE_WITH_TIMEOUT(std::size_t(far.Count), data.size() + 3, 10000);
    QVERIFY(far.Join() == "go" + data + "!");
    QVERIFY(h.Main->TxData1() == "go" + data + "!");
    QVERIFY(h.Main->NoticeText(0).contains("sent firmware.bin"));
    QVERIFY(h.Errors.empty());
}

void TstTransfer::cancelAndDisconnectStopASendAtOnce() {
    AppHarness h;
    Pty pty;
    QVERIFY(StartConnected(h, pty, 0));
    const QString file = h.Dir + "/script.txt";
    std::string script;
    for (int i = 0; i < 400; ++i)
        script += "set reg " + std::to_string(i) + "\n";
    QVERIFY(WriteFile(file, QByteArray::fromStdString(script)));
    TTransferUi& t = *h.Main->Transfers;

    // Cancel: paced at 1 ms a byte, it is stopped well before the end.
    QVERIFY(t.StartSend(0, file, 1, 0));
    std::string got;
    QTRY_VERIFY_WITH_TIMEOUT((got += pty.ReadAvailable(5)).size() >= 20, 5000);
    QPushButton* cancel = t.Progress(0)->CancelBtn;
    QTest::mouseClick(cancel, Qt::LeftButton);
    QVERIFY(!t.Sending(0));
    got += pty.ReadAvailable(300);
    QVERIFY(got.size() < script.size() / 2);
    QVERIFY(got == script.substr(0, got.size()));
    QCOMPARE(h.Main->TxData1(), got); // the views hold what went out
    QVERIFY(h.Main->NoticeText(0).contains("cancelled"));

    // A disconnect ends the send with one notice.
    h.Main->ClearOutputBtn1Click();
    QVERIFY(t.StartSend(0, file, 0, 2));
    got.clear();
    QTRY_VERIFY_WITH_TIMEOUT((got += pty.ReadAvailable(5)).size() >= 30, 5000);
    QTest::mouseClick(h.Ch(0).ComPortBtn, Qt::LeftButton);
    QTRY_VERIFY(!t.Sending(0));
    got += pty.ReadAvailable(100);
    QVERIFY(got.size() < script.size());
    QVERIFY(h.Main->NoticeText(0).contains("ended by the disconnect"));
    QCOMPARE(h.Main->TxData1(), got);
    QVERIFY(!t.StartSend(0, file, 0, 0)); // nothing to send on

    // A file that fails while it is read ends the send with one message.
    QStringList messages;
    t.ShowMessage = [&](const QString& m) { messages << m; };
    QVERIFY(h.Connect(0, 0));
    QVERIFY(t.StartSend(0, "/proc/self/mem", 0, 0)); // reading offset 0 fails
    QTRY_VERIFY(!t.Sending(0));
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].contains("stopped after 0 bytes"), qPrintable(messages[0]));
    QVERIFY(h.Errors.empty());
}

void TstTransfer::pasteSendsWindowsBytesWithCrLf() {
    AppHarness h;
    Pty pty;
    QVERIFY(StartConnected(h, pty, 0));
    TChannelUi& c = h.Ch(0);
    c.InputList->setFocus();
    QGuiApplication::clipboard()->setText(QString::fromUtf8("a\r\nb\nc\u20AC\u4E2D\u00E9"));
    platform::TakeBeeps();
    QTest::keyClick(c.InputList, Qt::Key_Insert, Qt::ShiftModifier);
    const std::string expect = "a\r\nb\r\nc\x80\xE9";
    QCOMPARE(pty.ReadAvailable(2000), expect);
    QCOMPARE(platform::TakeBeeps(), std::vector<std::uint32_t>{1}); // the one without a byte
    QTRY_COMPARE(h.Main->TxData1(), expect);
    QCOMPARE(ModelLines(c.View->InputList()),
             (QStringList{"a", "b", QString::fromUtf8("c\u20AC\u00E9")}));

    // Ctrl+V stays a refused Ctrl key.
    QTest::keyClick(c.InputList, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(platform::TakeBeeps(), std::vector<std::uint32_t>{1});
    QCOMPARE(pty.ReadAvailable(100), std::string());

    // More than 4 KiB asks first; a no sends nothing.
    TTransferUi& t = *h.Main->Transfers;
    std::size_t asked = 0;
    bool answer = false;
    t.ConfirmPaste = [&](int, std::size_t n) {
        asked = n;
        return answer;
    };
    QGuiApplication::clipboard()->setText(QString(5000, 'z'));
    QTest::keyClick(c.InputList, Qt::Key_Insert, Qt::ShiftModifier);
    QCOMPARE(asked, std::size_t(5000));
    QCOMPARE(pty.ReadAvailable(200), std::string());
    answer = true;
    t.PasteToSend1();
    std::string got;
    QTRY_VERIFY_WITH_TIMEOUT((got += pty.ReadAvailable(10)).size() >= 5000, 5000);
    QCOMPARE(got, std::string(5000, 'z'));
    QVERIFY(h.Errors.empty());
}

// The real capture and send dialogs, answered as a user would.
void TstTransfer::fileDialogsFillTheirRequests() {
    AppHarness h;
    QVERIFY(h.Start());
    TTransferUi& t = *h.Main->Transfers;
    // Runs `ask` while the dialog `name` is answered by `fill`, then `button`.
    const auto answered = [](const char* name, QDialogButtonBox::StandardButton button,
                             const std::function<void(QDialog&)>& fill, auto ask) {
        QString shown;
        QTimer::singleShot(0, [&] {
            auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!d) return;
            shown = d->objectName() + ": " +
                    d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->text();
            if (shown.startsWith(name)) fill(*d);
            d->findChild<QDialogButtonBox*>()->button(button)->click();
        });
        const bool accepted = ask();
        return std::pair{accepted, shown};
    };
    const auto path = [](QDialog& d, const QString& text) {
        d.findChild<QLineEdit*>()->setText(text);
    };

    TCaptureRequest cap{"old.log", {}};
    auto [ok, shown] = answered(
        "CaptureDlg", QDialogButtonBox::Ok,
        [&](QDialog& d) {
            QCOMPARE(d.findChild<QLineEdit*>()->text(), QString("old.log"));
            path(d, h.Dir + "/new.log");
            d.findChild<QComboBox*>()->setCurrentIndex(2);
        },
        [&] { return t.AskCapture(1, cap); });
    QVERIFY(ok);
    QCOMPARE(shown, QString("CaptureDlg: OK"));
    QCOMPARE(cap.Path, h.Dir + "/new.log");
    QCOMPARE(cap.Options.Format, TCaptureFormat::cfTextBoth);
    QVERIFY(!cap.Options.Replace);
    // No file name, or Cancel: nothing asked for.
    std::tie(ok, shown) = answered(
        "CaptureDlg", QDialogButtonBox::Ok, [&](QDialog& d) { path(d, "  "); },
        [&] { return t.AskCapture(0, cap); });
    QVERIFY(!ok);

    TSendRequest send{h.Dir + "/a.bin", 0, 0};
    std::tie(ok, shown) = answered(
        "SendFileDlg", QDialogButtonBox::Ok,
        [&](QDialog& d) {
            const auto spins = d.findChildren<QSpinBox*>();
            spins.at(0)->setValue(7);
            spins.at(1)->setValue(20000); // above the range: its top
        },
        [&] { return t.AskSendFile(0, send); });
    QVERIFY(ok);
    QCOMPARE(shown, QString("SendFileDlg: Send"));
    QCOMPARE(send.Path, h.Dir + "/a.bin");
    QCOMPARE(send.CharDelayMs, 7);
    QCOMPARE(send.LineDelayMs, 10000);
    std::tie(ok, shown) = answered(
        "SendFileDlg", QDialogButtonBox::Cancel, [&](QDialog& d) { path(d, "b.bin"); },
        [&] { return t.AskSendFile(0, send); });
    QVERIFY(!ok);
    QCOMPARE(send.Path, h.Dir + "/a.bin");
}

QTEST_MAIN(TstTransfer)
#include "tst_transfer.moc"
