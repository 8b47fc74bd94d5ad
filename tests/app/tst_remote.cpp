// Remote ports through the running window: a real ser2net serving a
// pseudo-terminal (data both ways, the rate on the line), connects that fail
// with their reason while the window keeps handling events, giving a connect
// up, and a server that goes away and comes back.
#include "../Ser2netServer.h"
#include "AppHarness.h"
#include "LedCheck.h"
#include "MemoView.h"
#include "Platform.h"
#include "PortsDlg.h"
#include "device/PortMap.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <random>
#include <thread>

using namespace apptest;

namespace {

using ser2nettest::RandomBytes;
using ser2nettest::ReadFor;

// What reaches the pseudo-terminal while the window handles its events.
std::string Arrived(int fd, std::size_t want) {
    std::string got;
    QElapsedTimer t;
    t.start();
    while (got.size() < want && t.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        got += ReadFor(fd, want - got.size(), 5);
    }
    return got;
}

// Longest gap between the ticks of a 5 ms timer: how long the window thread
// was kept from its events.
struct StallMeter {
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0, worst = 0;
    StallMeter() {
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            worst = std::max(worst, clock.elapsed() - last);
            last = clock.elapsed();
        });
        clock.start();
        timer.start();
    }
    qint64 Worst() const { return std::max(worst, clock.elapsed() - last); }
};

// A listening socket on 127.0.0.1 that answers no handshake: its queue (of
// one) is filled, so further connects hear nothing until their time-out.
struct BlackHole {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::uint16_t port = ser2nettest::FreePort(false);
    std::vector<int> fillers;
    BlackHole() {
        sockaddr_storage a;
        socklen_t len;
        ser2nettest::LoopbackAddress(false, port, a, len);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
        ::listen(fd, 0);
        for (int i = 0; i < 8; ++i) {
            const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            fillers.push_back(s);
            ::connect(s, reinterpret_cast<sockaddr*>(&a), len);
            pollfd p{s, POLLOUT, 0};
            if (::poll(&p, 1, 300) == 0) break; // this one hangs: the queue is full
        }
    }
    ~BlackHole() {
        for (int s : fillers)
            ::close(s);
        ::close(fd);
    }
    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port); }
};

// A com-port server of the test's own on 127.0.0.1: it offers the control
// option, then hands each complete command "IAC SB 44 cmd ... IAC SE" to
// `answer`, which writes its reply or returns false to drop the connection.
struct ScriptedServer {
    using Answer = std::function<bool(int socket, const std::string& command)>;
    int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::uint16_t port = ser2nettest::FreePort(false);
    std::atomic<bool> run{true};
    std::thread thread;
    explicit ScriptedServer(Answer answer) {
        sockaddr_storage a;
        socklen_t len;
        ser2nettest::LoopbackAddress(false, port, a, len);
        ::bind(ls, reinterpret_cast<sockaddr*>(&a), len);
        ::listen(ls, 1);
        thread = std::thread([this, answer] {
            pollfd p{ls, POLLIN, 0};
            if (::poll(&p, 1, 5000) != 1) return;
            const int s = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
            const unsigned char offer[] = {0xFF, 0xFD, 44}; // DO com-port control
            bool open = ::write(s, offer, sizeof offer) == sizeof offer;
            std::string in;
            std::size_t scanned = 0;
            while (run && open) {
                in += ReadFor(s, 1, 20);
                for (std::size_t at;
                     open && (at = in.find("\xFF\xFA\x2C", scanned)) != std::string::npos;) {
                    const std::size_t end = in.find("\xFF\xF0", at);
                    if (end == std::string::npos) break;
                    open = answer(s, in.substr(at, end + 2 - at));
                    scanned = end + 2;
                }
            }
            ::close(s);
        });
    }
    ~ScriptedServer() {
        run = false;
        thread.join();
        ::close(ls);
    }
    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port); }
};

#define NEED_SER2NET()                                                                             \
    if (!ser2nettest::Installed()) QSKIP("ser2net is not installed (scripts/setup installs it)")

} // namespace

class TstRemote : public QObject {
    Q_OBJECT
private slots:
    void dataBothWaysAndTheRateThroughTheWindow();
    void failedConnectsGiveTheirReasonWhileTheWindowGoesOn();
    void aConnectGivenUpLeavesNothingBehind();
    void aStoppedServerDisconnectsOnceOrIsWaitedFor();
    void aRateTheServerCannotMakeIsNamedAtTheConnect();
    void remoteEntriesAreDescribedByNameAlone();
};

void TstRemote::dataBothWaysAndTheRateThroughTheWindow() {
    NEED_SER2NET();
    ser2nettest::Server server;
    QVERIFY(server.Running());
    AppHarness h;
    QVERIFY(h.Start());
    serial::SetPortMapEntry("COM3", server.Url());
    TChannelUi& c = h.Ch(0);
    StallMeter stall;
    platform::TakeBeeps();
    QElapsedTimer connecting;
    connecting.start();
    QVERIFY(h.Connect(0, 2));
    QCOMPARE(h.Main->StatusText(1), QString("connecting"));
    QCOMPARE(h.Main->NoticeText(0), "connecting to " + QString::fromStdString(server.Url()));
    QVERIFY(c.LEDcon->LedBlink());
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->StatusText(1), QString("connected"), 5000);
    qInfo("connected to ser2net in %lld ms", connecting.elapsed());
    QVERIFY(!c.LEDcon->LedBlink());
    QVERIFY(c.InputList->isEnabled());
    QCOMPARE(h.Main->NoticeText(0), QString());

    PostKeys(c.InputList, "hello");
    QCOMPARE(Arrived(server.master, 5), std::string("hello"));

    const std::string down = RandomBytes(1 << 20, 7); // 0xFF among them
    std::thread feeder([&] {
        for (std::size_t off = 0; off < down.size();) {
            const ssize_t n = ::write(server.master, down.data() + off,
                                      std::min<std::size_t>(4096, down.size() - off));
            if (n > 0)
                off += std::size_t(n);
            else if (errno != EINTR && errno != EAGAIN)
                break;
        }
    });
    QTRY_VERIFY_WITH_TIMEOUT(h.Main->RxData1().size() >= down.size(), 120000);
    feeder.join();
    QVERIFY2(h.Main->RxData1() == down, "the bytes arrived whole and in order");

    Pick(c.BaudCombo, 8); // 19200
    QTRY_COMPARE_WITH_TIMEOUT(server.Line().c_ospeed, speed_t(19200), 5000);
    // DTR on a line without modem lines is not acknowledged: said once, nobody waits.
    c.DTRbtn->click();
    c.DTRbtn->click();
    QTRY_VERIFY_WITH_TIMEOUT(h.Main->NoticeText(0).contains("not acknowledged"), 5000);
    QVERIFY2(stall.Worst() < 200, qPrintable(QString("window stalled %1 ms").arg(stall.Worst())));
    qInfo("longest window-thread stall while connecting and carrying 1 MiB: %lld ms",
          stall.Worst());
    QCOMPARE(platform::TakeBeeps(), std::vector<std::uint32_t>{});
    QVERIFY(h.Errors.empty());
}

void TstRemote::failedConnectsGiveTheirReasonWhileTheWindowGoesOn() {
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& c = h.Ch(1);
    BlackHole hole;
    // Takes the connection, then drops it at the first line setting, as
    // ser2net does when it cannot open its own device.
    ScriptedServer dropper([](int, const std::string&) { return false; });
    const std::string refused =
        "rfc2217://127.0.0.1:" + std::to_string(ser2nettest::FreePort(false));
    const struct {
        std::string entry;
        QString reason;
    } cases[] = {
        {refused, "connection refused by 127.0.0.1:"},
        {"tcp://127.0.0.1:0x50", "is not a remote port"},
        {dropper.Url(), "the server closed the connection"},
        {hole.Url(), "no answer from 127.0.0.1:" + QString::number(hole.port) + " within 5 s"},
    };
    for (const auto& k : cases) {
        serial::SetPortMapEntry("COM4", k.entry);
        platform::TakeBeeps();
        StallMeter stall;
        QElapsedTimer took;
        took.start();
        h.Connect(1, 3); // down while connecting, unless the failure was quicker
        QTRY_VERIFY_WITH_TIMEOUT(!c.ComPortBtn->isChecked(), 8000);
        QCOMPARE(platform::TakeBeeps(), kPlainBeep);
        QCOMPARE(h.Main->StatusText(3), QString("disconnected"));
        QVERIFY(!c.LEDcon->LedBlink());
        const QString notice = h.Main->NoticeText(1);
        QVERIFY2(notice.startsWith(QString::fromStdString(k.entry) + " (COM4): ") &&
                     notice.contains(k.reason),
                 qPrintable(notice));
        QVERIFY2(stall.Worst() < 200, qPrintable(QString("window stalled %1 ms after %2 ms")
                                                     .arg(stall.Worst())
                                                     .arg(took.elapsed())));
        qInfo("%s: %lld ms, longest window-thread stall %lld ms", k.entry.c_str(), took.elapsed(),
              stall.Worst());
    }
}

void TstRemote::aConnectGivenUpLeavesNothingBehind() {
    BlackHole hole;
    const int fds = OpenFdCount();
    {
        AppHarness h;
        QVERIFY(h.Start());
        serial::SetPortMapEntry("COM3", hole.Url());
        TChannelUi& c = h.Ch(0);
        QVERIFY(h.Connect(0, 2));
        QTest::qWait(100);
        QVERIFY(h.Ser->Connecting(0));
        platform::TakeBeeps();
        QTest::mouseClick(c.ComPortBtn, Qt::LeftButton); // released: given up
        QVERIFY(!h.Ser->Connecting(0));
        QCOMPARE(h.Main->StatusText(1), QString("disconnected"));
        QCOMPARE(h.Main->NoticeText(0), QString());
        QVERIFY(!c.LEDcon->LedBlink());
        QVERIFY(c.PortCombo->isEnabled());

        // Connecting again, then closing the window: it closes at once.
        QVERIFY(h.Connect(0, 2));
        QElapsedTimer closing;
        closing.start();
        h.Close();
        QVERIFY2(closing.elapsed() < 500, qPrintable(QString::number(closing.elapsed())));
    }
    // The workers end with their time-out, closing what they made.
    QTest::qWait(5500);
    QTRY_COMPARE_WITH_TIMEOUT(OpenFdCount(), fds, 3000);
}

void TstRemote::aStoppedServerDisconnectsOnceOrIsWaitedFor() {
    NEED_SER2NET();
    ser2nettest::Server server;
    QVERIFY(server.Running());
    AppHarness h;
    QVERIFY(h.Start());
    serial::SetPortMapEntry("COM3", server.Url());
    TChannelUi& c = h.Ch(0);

    // Without auto reconnect: one disconnect with one beep, mid-stream.
    QVERIFY(h.Connect(0, 2));
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->StatusText(1), QString("connected"), 5000);
    ::fcntl(server.master, F_SETFL, O_NONBLOCK);
    std::atomic<bool> run{true};
    std::thread feeder([&] {
        const std::string chunk = RandomBytes(512, 3);
        while (run) {
            [[maybe_unused]] auto n = ::write(server.master, chunk.data(), chunk.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    QTRY_VERIFY_WITH_TIMEOUT(h.Main->RxData1().size() > 20000, 10000);
    platform::TakeBeeps();
    server.Stop();
    QTRY_VERIFY_WITH_TIMEOUT(!c.ComPortBtn->isChecked(), 10000);
    QTest::qWait(300);
    QCOMPARE(platform::TakeBeeps(), kPlainBeep);
    QCOMPARE(h.Main->StatusText(1), QString("disconnected"));
    run = false;
    feeder.join();
    ReadFor(server.master, 1 << 24, 50); // what ser2net left unread

    // With auto reconnect: waited for, tried again until the server is back.
    QVERIFY(server.Start());
    c.AutoReconnect->setChecked(true);
    QVERIFY(h.Connect(0, 2));
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->StatusText(1), QString("connected"), 5000);
    server.Stop();
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->StatusText(1), QString("waiting"), 10000);
    QVERIFY(
        h.Main->NoticeText(0).startsWith("waiting for " + QString::fromStdString(server.Url())));
    QVERIFY(c.ComPortBtn->isChecked());
    QVERIFY(c.LEDcon->LedBlink());
    QCOMPARE(platform::TakeBeeps(), kPlainBeep);
    // A failed try says why and when the next comes.
    QTRY_VERIFY_WITH_TIMEOUT(h.Main->NoticeText(0).contains("connection refused"), 5000);
    QVERIFY2(h.Main->NoticeText(0).contains(QRegularExpression(": connection refused by [^;]*; "
                                                               "next try in (2|4) s$")),
             qPrintable(h.Main->NoticeText(0)));
    StallMeter stall;
    QVERIFY(server.Start());
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->StatusText(1), QString("connected"), 15000);
    QVERIFY(!c.LEDcon->LedBlink());
    QCOMPARE(h.Main->NoticeText(0), QString());
    const std::size_t before = h.Main->RxData1().size();
    QVERIFY(::write(server.master, "back", 4) == 4);
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->RxData1().substr(before), std::string("back"), 5000);
    PostKeys(c.InputList, "ok");
    QCOMPARE(Arrived(server.master, 2), std::string("ok"));
    QVERIFY2(stall.Worst() < 200, qPrintable(QString("window stalled %1 ms").arg(stall.Worst())));
    QVERIFY(h.Errors.empty());
}

// A scripted server that makes every rate 115200 and answers the other line
// commands as asked: the channel says at once which rate the line runs at.
void TstRemote::aRateTheServerCannotMakeIsNamedAtTheConnect() {
    // Every command is answered; the rate as 115200 whatever was asked.
    ScriptedServer server([](int s, std::string command) {
        const unsigned char cmd = static_cast<unsigned char>(command[3]);
        command[3] = static_cast<char>(cmd + 100);
        if (cmd == 1) command = std::string("\xFF\xFA\x2C\x65\x00\x01\xC2\x00\xFF\xF0", 10);
        if (cmd >= 1 && cmd <= 5) [[maybe_unused]]
            auto n = ::write(s, command.data(), command.size());
        return true;
    });
    AppHarness h;
    QVERIFY(h.Start());
    serial::SetPortMapEntry("COM3", server.Url());
    platform::TakeBeeps();
    QVERIFY(h.Connect(0, 2));
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->StatusText(1), QString("connected"), 5000);
    QVERIFY2(h.Main->NoticeText(0).contains("kept Baudrate: 115200"),
             qPrintable(h.Main->NoticeText(0)));
    QCOMPARE(platform::TakeBeeps(), kPlainBeep);
    QCOMPARE(h.Ch(0).BaudCombo->currentText(), QString("9600Bd")); // the user's choice stays
    h.Close();
}

void TstRemote::remoteEntriesAreDescribedByNameAlone() {
    AppHarness h;
    QVERIFY(h.Start());
    // Names nobody could reach: describing them must not try.
    serial::SetPortMapEntry("COM3", "rfc2217://lab-pi.invalid:7000");
    serial::SetPortMapEntry("COM4", "tcp://[2001:db8::1]:4001");
    h.Main->PortList->Refresh();
    const QString dash = QString::fromUtf8(" \u2014 ");
    QCOMPARE(h.Ch(0).PortCombo->itemData(2, PortTextRole).toString(),
             "COM3  rfc2217://lab-pi.invalid:7000" + dash + "remote (RFC 2217)");
    QCOMPARE(h.Ch(1).PortCombo->itemData(3, PortTextRole).toString(),
             "COM4  tcp://[2001:db8::1]:4001" + dash + "remote (raw TCP)");

    // Typed into the Ports dialog: described, checked, stored as typed.
    TPortsDlg* dlg = h.Main->PortsDlg;
    QString desc, refusedText;
    QTimer::singleShot(0, [&] {
        dlg->PortEdit[4]->setCurrentText("rfc2217://nohost");
        desc = dlg->PortDesc[4]->text();
        QPushButton* ok = dlg->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        ok->click();
        refusedText = dlg->ErrorLabel->isVisible() ? dlg->ErrorLabel->text() : QString();
        dlg->PortEdit[4]->setCurrentText("rfc2217://192.0.2.7:2217");
        desc += "|" + dlg->PortDesc[4]->text();
        ok->click();
    });
    h.Main->PortsItem->trigger();
    QCOMPARE(desc, QString("not a remote port (rfc2217://HOST:PORT or tcp://HOST:PORT)|"
                           "remote (RFC 2217)"));
    QVERIFY2(refusedText.contains("COM5") && refusedText.contains("rfc2217://HOST:PORT"),
             qPrintable(refusedText));
    QVERIFY(ReadFile(h.IniPath()).contains("COM5=rfc2217://192.0.2.7:2217\r\n"));
    QCOMPARE(serial::PortMapEntry("COM5"), std::string("rfc2217://192.0.2.7:2217"));
}

QTEST_MAIN(TstRemote)
#include "tst_remote.moc"
