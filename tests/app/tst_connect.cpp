// Connecting through the real window: why a connect failed (missing, not a
// serial device, busy with the holder named, permission denied, a refused
// setting), auto reconnect when the device comes back, and flow control.
#include "../comport/PickyDevice.h"
#include "AppHarness.h"
#include "ChannelView.h"
#include "LedCheck.h"
#include "MemoView.h"
#include "Platform.h"
#include "device/OpenFailure.h"
#include "device/PortMap.h"
#include "device/SerialDevice.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QHelpEvent>
#include <QLabel>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace apptest;

namespace {

// Connects COM1 of channel 1 to the device and returns the channel's notice;
// the connect must fail with a beep.
QString FailedConnect(AppHarness& h, const std::string& device, bool* ok) {
    serial::SetPortMapEntry("COM1", device);
    platform::TakeBeeps();
    *ok = !h.Connect(0, 0) && platform::TakeBeeps() == kPlainBeep &&
          h.Main->StatusText(1) == "disconnected";
    return h.Main->NoticeText(0);
}

// The notice panel shows the text whole: on one line within its width, or
// wrapped within its height.
bool ShownWhole(QLabel* panel) {
    const QFontMetrics fm(panel->font());
    const QRect inside = panel->contentsRect();
    if (!panel->wordWrap()) return fm.horizontalAdvance(panel->text()) <= inside.width();
    const QRect need =
        fm.boundingRect(QRect(0, 0, inside.width(), 1000), Qt::TextWordWrap, panel->text());
    return need.height() <= inside.height() && need.width() <= inside.width();
}

// Another process (the test binary in holder mode, or picocom) holding a device.
struct Holder {
    pid_t pid = -1;
    ~Holder() { Stop(); }
    void Stop() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
};

QString Self() {
    return QCoreApplication::applicationFilePath();
}

} // namespace

class TstConnect : public QObject {
    Q_OBJECT
private slots:
    void eachFailureSaysWhyInTheChannelsOwnPanel();
    void aDeviceHeldByAnotherInstanceOrPicocomNamesTheHolder();
    void anUnprivilegedUserIsToldWhichGroupToJoin();
    void aRefusedSettingIsNamed();
    void autoReconnectFollowsTheDeviceOverThreeUnplugs();
    void releasingTheButtonStopsWaitingAndTheChoiceIsStored();
    void flowControlHoldsAndReleasesOutput();
};

void TstConnect::eachFailureSaysWhyInTheChannelsOwnPanel() {
    AppHarness h;
    QVERIFY(h.Start());
    const fs::path dir = h.Temp.path().toStdString();
    const std::string missing = (dir / "ttyUSB7").string();
    const std::string file = (dir / "notes.txt").string();
    const std::string fifo = (dir / "fifo").string();
    QFile(QString::fromStdString(file)).open(QIODevice::WriteOnly);
    QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string device;
        QString reason;
    } cases[] = {{missing, "no such device"},
                 {file, "not a serial device"},
                 {fifo, "not a serial device"},
                 {dir.string(), "not a serial device"}};
    for (const auto& c : cases) {
        bool ok = false;
        const QString text = FailedConnect(h, c.device, &ok);
        QVERIFY2(ok, c.device.c_str());
        QCOMPARE(text, QString::fromStdString(c.device) + " (COM1): " + c.reason);
        QCOMPARE(h.Main->StatusPanels[0]->toolTip(), text);
        QVERIFY(ShownWhole(h.Main->StatusPanels[0]));
    }

    // A path too long for the panel: the panel names the device by its last
    // component, whole; the tooltip and the notice keep the full text.
    const std::string deep = (dir / std::string(60, 'd') / std::string(60, 'e') /
                              "usb-FTDI_FT232R_USB_UART_A10K4ZQ1-if00-port0")
                                 .string();
    bool ok = false;
    const QString text = FailedConnect(h, deep, &ok);
    QVERIFY(ok);
    QCOMPARE(text, QString::fromStdString(deep) + " (COM1): no such device");
    QCOMPARE(h.Main->StatusPanels[0]->toolTip(), text);
    QCOMPARE(h.Main->StatusPanels[0]->text(),
             QString("usb-FTDI_FT232R_USB_UART_A10K4ZQ1-if00-port0 (COM1): no such device"));
    QVERIFY(ShownWhole(h.Main->StatusPanels[0]));

    // Channel 2 writes its own wide panel; channel 1's stays.
    serial::SetPortMapEntry("COM2", missing);
    QVERIFY(!h.Connect(1, 1));
    QCOMPARE(h.Main->NoticeText(1), QString::fromStdString(missing) + " (COM2): no such device");
    QCOMPARE(h.Main->StatusPanels[2]->text(), h.Main->NoticeText(1));
    QCOMPARE(h.Main->StatusText(3), QString("disconnected"));
    QVERIFY(h.Main->NoticeText(0).endsWith("no such device"));

    // A hint replaces channel 1's notice in the panel's own font; pointing at
    // channel 2's panel shows its tooltip and writes no hint.
    auto hint = [](QWidget* w) {
        QHelpEvent tip(QEvent::ToolTip, QPoint(5, 5), w->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(w, &tip);
    };
    const QString before = h.Main->StatusPanels[0]->text();
    hint(h.Main->StatusPanels[2]);
    QCOMPARE(h.Main->StatusPanels[0]->text(), before);
    hint(h.Ch(0).BaudCombo);
    QCOMPARE(h.Main->StatusPanels[0]->text(), QString("select the baudrate"));
    QCOMPARE(h.Main->StatusPanels[0]->font(), h.Main->StatusBar->font());
    QCOMPARE(h.Main->NoticeText(0), QString());

    // The other channel holding the device is named as such.
    Pty pty;
    serial::SetPortMapEntry("COM3", pty.SlavePath);
    QVERIFY(h.Connect(0, 2));
    QCOMPARE(h.Main->NoticeText(0), QString()); // a connect clears old news
    QVERIFY(!h.Connect(1, 2));
    QCOMPARE(h.Main->NoticeText(1), QString::fromStdString(pty.SlavePath) +
                                        " (COM3): busy, in use by channel 1 of this window");
    // The null-modem end too.
    h.Ch(0).ComPortBtn->click(); // release
    QVERIFY(h.Connect(0, 6));
    QVERIFY(!h.Connect(1, 6));
    QCOMPARE(h.Main->NoticeText(1),
             QString("null-modem:1a (COM7): busy, in use by channel 1 of this window"));
    QVERIFY(h.Errors.empty());
}

void TstConnect::aDeviceHeldByAnotherInstanceOrPicocomNamesTheHolder() {
    AppHarness h;
    QVERIFY(h.Start());
    Pty pty;
    {
        // A second instance of the program connected to the device.
        QProcess second;
        second.start(Self(), {"--hold", QString::fromStdString(pty.SlavePath)});
        QVERIFY(second.waitForReadyRead(20000));
        QCOMPARE(second.readLine().trimmed(), QByteArray("connected"));
        bool ok = false;
        const QString text = FailedConnect(h, pty.SlavePath, &ok);
        QVERIFY(ok);
        const QString name = QFileInfo(Self()).fileName().left(15); // the kernel's comm length
        QCOMPARE(
            text,
            QString::fromStdString(pty.SlavePath) +
                QString(" (COM1): busy, held by %1 (PID %2)").arg(name).arg(second.processId()));
        QVERIFY(ShownWhole(h.Main->StatusPanels[0]));
        second.closeWriteChannel();
        QVERIFY(second.waitForFinished(20000));
    }
    // Free again: it connects.
    QVERIFY(h.Connect(0, 0));
    h.Main->Channel(0).ComPortBtn->click();

    // picocom, with a terminal of its own.
    if (QStandardPaths::findExecutable("picocom").isEmpty())
        QSKIP("picocom is not installed (scripts/setup installs it)");
    int term = -1;
    Holder picocom;
    picocom.pid = ::forkpty(&term, nullptr, nullptr, nullptr);
    if (picocom.pid == 0) {
        ::execlp("picocom", "picocom", "-q", "-b", "9600", pty.SlavePath.c_str(), nullptr);
        ::_exit(127);
    }
    QVERIFY(picocom.pid > 0);
    // picocom takes a moment to open and lock the device.
    QTRY_VERIFY_WITH_TIMEOUT(serial::FindHolder(pty.SlavePath).has_value(), 10000);
    bool ok = false;
    const QString text = FailedConnect(h, pty.SlavePath, &ok);
    QVERIFY(ok);
    QCOMPARE(text, QString::fromStdString(pty.SlavePath) +
                       QString(" (COM1): busy, held by picocom (PID %1)").arg(picocom.pid));
    picocom.Stop();
    ::close(term);
    QVERIFY(h.Errors.empty());
}

void TstConnect::anUnprivilegedUserIsToldWhichGroupToJoin() {
    if (::geteuid() != 0) QSKIP("needs root to run the program as another user");
    Pty pty;
    // As a serial adapter is: owned by root, read and write for its group.
    QCOMPARE(::chown(pty.SlavePath.c_str(), 0, 20), 0); // dialout
    QCOMPARE(::chmod(pty.SlavePath.c_str(), 0660), 0);
    QProcess nobody;
    nobody.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", Self(), "--try",
                             QString::fromStdString(pty.SlavePath)});
    QVERIFY(nobody.waitForFinished(30000));
    const QString out = QString::fromUtf8(nobody.readAllStandardOutput()).trimmed();
    if (nobody.exitCode() == 126 || out.isEmpty())
        QSKIP(qPrintable("the test binary cannot run as user 65534: " +
                         QString::fromUtf8(nobody.readAllStandardError())));
    QCOMPARE(out, QString::fromStdString(pty.SlavePath) +
                      " (COM1): permission denied; add your user to the group dialout and log "
                      "in again");
}

void TstConnect::aRefusedSettingIsNamed() {
    AppHarness h;
    QVERIFY(h.Start());
    h.Ser->AttachPort(0, new testsupport::PickyPort());
    Pty pty;
    TChannelUi& c = h.Ch(0);
    Pick(c.BaudCombo, 13); // 256000Bd
    bool ok = false;
    QCOMPARE(FailedConnect(h, pty.SlavePath, &ok),
             QString::fromStdString(pty.SlavePath) +
                 " (COM1): the device refused the setting Baudrate 256000Bd");
    QVERIFY(ok);
    // At a rate it takes it connects; a data size it refuses on the open
    // port is named, and the channel stays connected.
    Pick(c.BaudCombo, 12);
    QVERIFY(h.Connect(0, 0));
    platform::TakeBeeps();
    Pick(c.DataBitsCombo, 0);
    QCOMPARE(h.Main->NoticeText(0), QString::fromStdString(pty.SlavePath) +
                                        ": the device refused the setting Data Bits 5 Bits");
    QCOMPARE(platform::TakeBeeps(), kPlainBeep);
    QVERIFY(c.ComPortBtn->isChecked());
    QVERIFY(h.Errors.empty()); // no error box
}

void TstConnect::autoReconnectFollowsTheDeviceOverThreeUnplugs() {
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& c = h.Ch(0);
    const std::string link = (fs::path(h.Temp.path().toStdString()) / "usb-adapter").string();
    auto pty = std::make_unique<Pty>();
    fs::create_symlink(pty->SlavePath, link);
    serial::SetPortMapEntry("COM1", link);
    c.AutoReconnect->setChecked(true);
    c.RTSbtn->setChecked(true);
    c.DTRbtn->setChecked(false);
    QVERIFY(h.Connect(0, 0));

    std::string sent, received;
    for (int round = 0; round < 4; ++round) {
        // Data both ways on this connection.
        const std::string in = "in" + std::to_string(round) + ";";
        const QString out = QString("out%1;").arg(round);
        QVERIFY(pty->WriteAll(in.data(), in.size()));
        received += in;
        QTRY_COMPARE_WITH_TIMEOUT(h.Main->RxData1(), received, 5000);
        PostKeys(c.InputList, out);
        sent += out.toStdString();
        QTRY_COMPARE_WITH_TIMEOUT(h.Main->TxData1(), sent, 5000);
        std::string got;
        QTRY_VERIFY_WITH_TIMEOUT((got += pty->ReadAvailable(10)).size() >= std::size_t(out.size()),
                                 5000);
        QCOMPARE(got, out.toStdString());
        if (round == 3) break;

        // Unplugged: the channel waits with the button down and the lamp blinking.
        platform::TakeBeeps();
        pty.reset();
        fs::remove(link);
        QTRY_COMPARE_WITH_TIMEOUT(h.Main->NoticeText(0),
                                  "waiting for " + QString::fromStdString(link), 5000);
        QVERIFY(c.ComPortBtn->isChecked());
        QVERIFY(c.LEDcon->LedBlink());
        QCOMPARE(h.Main->StatusText(1), QString("waiting"));
        QCOMPARE(platform::TakeBeeps(), kPlainBeep);
        QTest::qWait(200);
        QVERIFY(h.Ser->Waiting(0));

        // Back under the same name (a new pseudo-terminal): reconnected at once.
        pty = std::make_unique<Pty>();
        fs::create_symlink(pty->SlavePath, link);
        QTRY_COMPARE_WITH_TIMEOUT(h.Main->StatusText(1), QString("connected"), 2000);
        QVERIFY(!c.LEDcon->LedBlink());
        QCOMPARE(h.Main->NoticeText(0), QString());
        QVERIFY(c.InputList->isEnabled());
        // The histories carried on.
        QCOMPARE(h.Main->RxData1(), received);
        QCOMPARE(h.Main->TxData1(), sent);
    }

    // Back as something unusable: the wait says why instead of reading as
    // still missing, and goes on to the real device.
    pty.reset();
    fs::remove(link);
    QTRY_VERIFY_WITH_TIMEOUT(h.Ser->Waiting(0), 5000);
    QVERIFY(WriteFile(QString::fromStdString(link), "not a tty"));
    QTRY_COMPARE_WITH_TIMEOUT(
        h.Main->NoticeText(0),
        "waiting for " + QString::fromStdString(link) + ": not a serial device", 5000);
    QVERIFY(c.ComPortBtn->isChecked());
    fs::remove(link);
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->NoticeText(0), "waiting for " + QString::fromStdString(link),
                              5000);
    pty = std::make_unique<Pty>();
    fs::create_symlink(pty->SlavePath, link);
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->StatusText(1), QString("connected"), 2000);
    QCOMPARE(h.Main->NoticeText(0), QString());
    QVERIFY2(h.Errors.empty(), h.Errors.empty() ? "" : h.Errors.front().c_str());
}

void TstConnect::releasingTheButtonStopsWaitingAndTheChoiceIsStored() {
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& c = h.Ch(1);
    const std::string link = (fs::path(h.Temp.path().toStdString()) / "acm").string();
    auto pty = std::make_unique<Pty>();
    fs::create_symlink(pty->SlavePath, link);
    serial::SetPortMapEntry("COM4", link);
    c.AutoReconnect->setChecked(true);
    QVERIFY(h.Connect(1, 3));
    pty.reset();
    fs::remove(link);
    QTRY_VERIFY_WITH_TIMEOUT(h.Ser->Waiting(1), 5000);
    QCOMPARE(h.Main->StatusPanels[2]->text(), "waiting for " + QString::fromStdString(link));

    QTest::mouseClick(c.ComPortBtn, Qt::LeftButton);
    QVERIFY(!c.ComPortBtn->isChecked());
    QVERIFY(!h.Ser->Waiting(1));
    QVERIFY(!c.LEDcon->LedBlink());
    QCOMPARE(h.Main->StatusText(3), QString("disconnected"));
    QCOMPARE(h.Main->NoticeText(1), QString());
    pty = std::make_unique<Pty>();
    fs::create_symlink(pty->SlavePath, link);
    QTest::qWait(500);
    QVERIFY(!c.ComPortBtn->isChecked());
    QVERIFY(!h.Ser->ComPort2->Connected());

    // A session loading ends the wait as well, and says so.
    QVERIFY(h.Connect(1, 3));
    pty.reset();
    fs::remove(link);
    QTRY_VERIFY_WITH_TIMEOUT(h.Ser->Waiting(1), 5000);
    h.Main->SessionName = "other";
    h.Main->LoadSession();
    QVERIFY(!h.Ser->Waiting(1));
    QVERIFY(!c.LEDcon->LedBlink());
    QCOMPARE(h.Main->StatusText(3), QString("disconnected"));
    QCOMPARE(h.Main->NoticeText(1), QString());
    h.Main->SessionName = "noname";
    h.Main->LoadSession();
    c.AutoReconnect->setChecked(true);

    // Stored after today's keys; a file without them loads as off.
    h.Close();
    QFile ini(h.IniPath());
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QByteArray text = ini.readAll();
    ini.close();
    QVERIFY2(text.contains("AutoReconnect1=False") && text.contains("AutoReconnect2=True"),
             text.constData());
    QVERIFY(text.indexOf("AutoReconnect1") > text.indexOf("Mode2"));
    AppHarness again({}, h.Temp.path());
    QVERIFY(again.Start());
    QVERIFY(again.Ch(1).AutoReconnect->isChecked());
    again.Close();
    text.replace("AutoReconnect2=True", "");
    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write(text);
    ini.close();
    AppHarness old({}, h.Temp.path());
    QVERIFY(old.Start());
    QVERIFY(!old.Ch(1).AutoReconnect->isChecked());
}

void TstConnect::flowControlHoldsAndReleasesOutput() {
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& a = h.Ch(0);
    TChannelUi& b = h.Ch(1);
    QVERIFY(a.HskCombo->isEnabled());
    QCOMPARE(a.HskCombo->count(), 3);
    Pick(a.HskCombo, 1); // RTS/CTS, chosen while closed
    QVERIFY(!a.RTSbtn->isEnabled());
    QCOMPARE(a.RTSbtn->text(), QString("auto"));
    b.RTSbtn->setChecked(false);
    QVERIFY(h.Connect(0, 6)); // null-modem:1a
    QVERIFY(h.Connect(1, 7)); // null-modem:1b
    QVERIFY(!a.RTSbtn->isEnabled());

    // Held while the far end's RTS is down; released when it goes up.
    PostKeys(a.InputList, "abc");
    QTRY_COMPARE(h.Main->TxData1(), std::string("abc"));
    QTest::qWait(300);
    QCOMPARE(h.Main->RxData2(), std::string());
    QTest::mouseClick(b.RTSbtn, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->RxData2(), std::string("abc"), 5000);

    // XON/XOFF on the open port, at once: the far end pauses and resumes it,
    // and the two characters are not delivered.
    Pick(a.HskCombo, 2);
    QVERIFY(a.RTSbtn->isEnabled());
    QCOMPARE(a.RTSbtn->text(), QString("RTS"));
    QTest::mouseClick(b.RTSbtn, Qt::LeftButton); // RTS down no longer holds anything
    h.Ser->Send(1, "\x13");
    QTest::qWait(200);
    PostKeys(a.InputList, "xyz");
    QTRY_COMPARE(h.Main->TxData1(), std::string("abcxyz"));
    QTest::qWait(300);
    QCOMPARE(h.Main->RxData2(), std::string("abc"));
    h.Ser->Send(1, "\x11");
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->RxData2(), std::string("abcxyz"), 5000);
    QCOMPARE(h.Main->RxData1(), std::string());

    // "none": XOFF is data again.
    Pick(a.HskCombo, 0);
    h.Ser->Send(1, "\x13");
    QTRY_COMPARE(h.Main->RxData1(), std::string("\x13"));
    PostKeys(a.InputList, "q");
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->RxData2(), std::string("abcxyzq"), 5000);
    QVERIFY(h.Errors.empty());

    // Switching RTS/CTS on and off with the RTS button down never drops RTS:
    // the far end sees no CTS change at all.
    if (!a.RTSbtn->isChecked()) QTest::mouseClick(a.RTSbtn, Qt::LeftButton);
    QVERIFY(a.RTSbtn->isChecked());
    QTest::qWait(200); // the far end has seen RTS go up
    int ctsEvents = 0;
    TComPortN* far = h.Ser->Port(1);
    const auto was = far->OnCTSChange;
    far->OnCTSChange = [&](TCustomComPort* p, bool on) {
        ++ctsEvents;
        was(p, on);
    };
    Pick(a.HskCombo, 1);
    Pick(a.HskCombo, 0);
    QTest::qWait(300);
    QCOMPARE(ctsEvents, 0);
    QVERIFY(a.RTSbtn->isChecked());
    far->OnCTSChange = was;

    // Stored as before.
    Pick(a.HskCombo, 1);
    h.Close();
    QFile ini(h.IniPath());
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QVERIFY(ini.readAll().contains("HSK1=1"));
}

// Helper modes of the test binary: "--hold <device>" connects a second
// instance of the window to the device and holds it until stdin closes;
// "--try <device>" connects and prints the channel's notice.
int main(int argc, char** argv) {
    if (argc == 3 && (std::string(argv[1]) == "--hold" || std::string(argv[1]) == "--try")) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        AppHarness h;
        if (!h.Start()) return 2;
        serial::SetPortMapEntry("COM1", argv[2]);
        const bool connected = h.Connect(0, 0);
        if (std::string(argv[1]) == "--try") {
            std::printf("%s\n", connected ? "connected" : qPrintable(h.Main->NoticeText(0)));
            return 0;
        }
        std::printf("%s\n", connected ? "connected" : "failed");
        std::fflush(stdout);
        // The window goes on (and paints) until stdin closes.
        QSocketNotifier in(0, QSocketNotifier::Read);
        QObject::connect(&in, &QSocketNotifier::activated, &app, [&app] {
            char c;
            if (::read(0, &c, 1) <= 0) app.quit();
        });
        app.exec();
        return 0;
    }
    QApplication app(argc, argv);
    TstConnect t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_connect.moc"
