// Channels end to end: real pseudo-terminals for the data path, the built-in
// null-modem cable for modem lines and breaks.
#include "AppHarness.h"
#include "ChannelView.h"
#include "EmulVT.h"
#include "LedCheck.h"
#include "MemoView.h"
#include "Platform.h"
#include "device/PortMap.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <random>
#include <sys/resource.h>
#include <thread>

namespace {
double ThreadCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}
} // namespace

class TstChannels : public QObject {
    Q_OBJECT
private slots:
    void connectOpensDeviceAndEnablesEditor();
    void burstOfOneMebibyteArrivesInOrder();
    void windowKeepsTurningWhileDataFloods();
    void typedBytesReachFarEnd();
    void secondChannelOnSameDeviceFails();
    void notATtyFails();
    void farEndGoneDisconnectsWithoutSpinning();
    void linesFollowOtherEndThroughNullModem();
    void breakFlashesOtherChannelsLamp();
    void receivedBytesShowInEveryMode();
    void reconnectEmptiesViewsButKeepsHistory();
};

void TstChannels::connectOpensDeviceAndEnablesEditor() {
    AppHarness h;
    QVERIFY(h.Start());
    Pty pty;
    serial::SetPortMapEntry("COM3", pty.SlavePath);
    QVERIFY(h.Connect(0, 2));
    TChannelUi& c = h.Ch(0);
    QVERIFY(h.Ser->ComPort1->Connected());
    QCOMPARE(h.Ser->ComPort1->Port(), std::string("COM3"));
    QVERIFY(c.InputList->isEnabled());
    QVERIFY(!c.PortCombo->isEnabled());
    QCOMPARE(h.Main->StatusText(1), QString("connected"));
    QVERIFY(c.LEDcon->Checked());
    QCOMPARE(c.LEDcon->LedCol(), clLime);
    // A pseudo-terminal has no modem lines: both lamps lit red.
    QVERIFY(c.CTSLED->Checked());
    QCOMPARE(c.CTSLED->LedCol(), clRed);
    QCOMPARE(c.DSRLED->LedCol(), clRed);

    QTest::mouseClick(c.ComPortBtn, Qt::LeftButton); // release: disconnect
    QVERIFY(!h.Ser->ComPort1->Connected());
    QCOMPARE(h.Main->StatusText(1), QString("disconnected"));
    QVERIFY(!c.LEDcon->Checked());
    QCOMPARE(c.LEDcon->LedCol(), clRed);
    QVERIFY(c.PortCombo->isEnabled());
    QVERIFY(!c.InputList->isEnabled());
}

void TstChannels::burstOfOneMebibyteArrivesInOrder() {
    AppHarness h;
    QVERIFY(h.Start());
    Pty pty;
    serial::SetPortMapEntry("COM1", pty.SlavePath);
    QVERIFY(h.Connect(0, 0));
    std::string data(1 << 20, '\0');
    std::mt19937 rng(7);
    for (char& b : data)
        b = static_cast<char>(rng());
    std::thread writer([&] { pty.WriteAll(data.data(), data.size()); });
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->RxData1().size(), data.size(), 60000);
    writer.join();
    QVERIFY(h.Main->RxData1() == data);
    QVERIFY(h.Main->RxData2().empty());
}

void TstChannels::windowKeepsTurningWhileDataFloods() {
    AppHarness h;
    QVERIFY(h.Start());
    Pty pty;
    serial::SetPortMapEntry("COM1", pty.SlavePath);
    QVERIFY(h.Connect(0, 0));
    const std::string data(16 << 20, 'z');
    std::thread writer([&] { pty.WriteAll(data.data(), data.size()); });
    // While the stream lasts the window's own events (a timer here) keep running.
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(5);
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->RxData1().size(), data.size(), 60000);
    writer.join();
    QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
    QVERIFY(h.Main->RxData1() == data);
    // Disconnecting in the middle of reading leaves nothing behind.
    QTest::mouseClick(h.Ch(0).ComPortBtn, Qt::LeftButton);
    QVERIFY(!h.Ser->ComPort1->Connected());
}

void TstChannels::typedBytesReachFarEnd() {
    AppHarness h;
    QVERIFY(h.Start());
    Pty pty;
    serial::SetPortMapEntry("COM2", pty.SlavePath);
    QVERIFY(h.Connect(1, 1));
    TTxEditor* editor = h.Ch(1).InputList;
    editor->setFocus();
    QTest::keyClicks(editor, "Hi");
    QTest::keyClick(editor, Qt::Key_Return);
    QTest::keyClick(editor, Qt::Key_4, Qt::ControlModifier);
    QTest::keyClick(editor, Qt::Key_1, Qt::ControlModifier);
    QCOMPARE(pty.ReadAvailable(2000), std::string("Hi\r\nA"));
    QCOMPARE(h.Main->TxData2(), std::string("Hi\r\nA"));
}

void TstChannels::secondChannelOnSameDeviceFails() {
    AppHarness h;
    QVERIFY(h.Start());
    Pty pty;
    serial::SetPortMapEntry("COM4", pty.SlavePath);
    QVERIFY(h.Connect(0, 3));
    platform::TakeBeeps();
    QVERIFY(!h.Connect(1, 3));
    QCOMPARE(platform::TakeBeeps(), std::vector<std::uint32_t>{0});
    QCOMPARE(h.Main->StatusText(3), QString("disconnected"));
    QVERIFY(h.Ser->ComPort1->Connected());
    QVERIFY(h.Errors.empty());
}

void TstChannels::notATtyFails() {
    AppHarness h;
    QVERIFY(h.Start());
    const int fds = OpenFdCount();
    for (const std::string& path :
         {std::string("/dev/null"), h.Dir.toStdString(), h.IniPath().toStdString()}) {
        QFile(h.IniPath()).open(QIODevice::WriteOnly); // a regular file
        serial::SetPortMapEntry("COM5", path);
        QVERIFY2(!h.Connect(0, 4), path.c_str());
        QVERIFY(!h.Ser->ComPort1->Connected());
        try {
            h.Ser->ComPort1->SetPort("COM5");
            h.Ser->ComPort1->Open();
            QFAIL("open did not fail");
        } catch (const EComPort& e) {
            QCOMPARE(e.Code(), 1);
        }
    }
    QCOMPARE(OpenFdCount(), fds);
}

void TstChannels::farEndGoneDisconnectsWithoutSpinning() {
    AppHarness h;
    QVERIFY(h.Start());
    auto pty = std::make_unique<Pty>();
    const std::string path = pty->SlavePath;
    serial::SetPortMapEntry("COM1", path);
    QVERIFY(h.Connect(0, 0));
    platform::TakeBeeps();
    pty->CloseMaster();
    QTRY_VERIFY_WITH_TIMEOUT(!h.Ch(0).ComPortBtn->isChecked(), 5000);
    QVERIFY(!h.Ser->ComPort1->Connected());
    QCOMPARE(h.Main->StatusText(1), QString("disconnected"));
    QVERIFY(!h.Ch(0).InputList->isEnabled());
    QCOMPARE(platform::TakeBeeps(), std::vector<std::uint32_t>{0});
    // Nothing keeps running after the device has gone.
    const double cpu0 = ThreadCpuSeconds();
    QTest::qWait(500);
    QVERIFY(ThreadCpuSeconds() - cpu0 < 0.2);
    // Connecting again works once the device is back.
    Pty again;
    serial::SetPortMapEntry("COM1", again.SlavePath);
    QVERIFY(h.Connect(0, 0));
}

void TstChannels::linesFollowOtherEndThroughNullModem() {
    AppHarness h;
    QVERIFY(h.Start());
    QVERIFY(h.Connect(0, 6)); // COM7: one end of the cable
    TChannelUi& c1 = h.Ch(0);
    TChannelUi& c2 = h.Ch(1);
    QCOMPARE(c1.CTSLED->LedCol(), clRed);         // the other end is not open
    QTest::mouseClick(c2.RTSbtn, Qt::LeftButton); // down before connecting
    QVERIFY(h.Connect(1, 7));                     // COM8: applies RTS on connect
    QTRY_COMPARE(c1.CTSLED->LedCol(), clLime);
    QCOMPARE(c1.DSRLED->LedCol(), clRed);
    QTest::mouseClick(c2.DTRbtn, Qt::LeftButton);
    QTRY_COMPARE(c1.DSRLED->LedCol(), clLime);
    QTest::mouseClick(c2.RTSbtn, Qt::LeftButton);
    QTRY_COMPARE(c1.CTSLED->LedCol(), clRed);
    // Bytes typed on one channel arrive on the other.
    c1.InputList->setFocus();
    QTest::keyClicks(c1.InputList, "ping");
    QTRY_COMPARE(h.Main->RxData2(), std::string("ping"));
    // Disconnecting channel 2 drops its lines at the other end.
    QTest::mouseClick(c2.ComPortBtn, Qt::LeftButton);
    QTRY_COMPARE(c1.DSRLED->LedCol(), clRed);
}

void TstChannels::breakFlashesOtherChannelsLamp() {
    AppHarness h;
    QVERIFY(h.Start());
    QVERIFY(h.Connect(0, 6));
    QVERIFY(h.Connect(1, 7));
    TChannelUi& c2 = h.Ch(1);
    QVERIFY(!c2.BrkLed->Checked());
    QTest::mouseClick(h.Ch(0).BrkLed, Qt::LeftButton);
    // The lamp lights red and darkens again after about half a second.
    auto ledRed = [&] {
        return c2.BrkLed->grab().toImage().pixelColor(c2.BrkLed->LedX(), c2.BrkLed->LedY()).red();
    };
    QTRY_VERIFY(c2.BrkLed->LedFlash());
    QElapsedTimer flash;
    flash.start();
    QVERIFY(ledRed() > 200);
    QTRY_VERIFY_WITH_TIMEOUT(ledRed() < 128, 2000);
    QVERIFY2(flash.elapsed() >= 350, qPrintable(QString::number(flash.elapsed())));
    // A key typed on channel 1 ends its break.
    h.Ch(0).InputList->setFocus();
    QTest::keyClick(h.Ch(0).InputList, Qt::Key_X);
    QTRY_COMPARE(h.Main->RxData2().back(), 'x');
}

void TstChannels::receivedBytesShowInEveryMode() {
    AppHarness h;
    QVERIFY(h.Start());
    QVERIFY(h.Connect(0, 6));
    QVERIFY(h.Connect(1, 7));
    TChannelUi& c1 = h.Ch(0);
    TChannelUi& c2 = h.Ch(1);
    c2.InputList->setFocus();
    QTest::keyClicks(c2.InputList, "Hello");
    QTest::keyClick(c2.InputList, Qt::Key_Return);
    QTRY_COMPARE(h.Main->RxData1(), std::string("Hello\r\n"));
    QCOMPARE(c1.View->OutPutList().Line(0), std::string("Hello"));

    QTest::mouseClick(c1.HEXcheck, Qt::LeftButton);
    QCOMPARE(h.Main->Mode1(), 1);
    QCOMPARE(c1.View->OutPutList().Line(0), std::string("48 65 6C 6C 6F 0D 0A "));
    QTest::mouseClick(c2.HEXcheck, Qt::LeftButton);
    QCOMPARE(c2.View->InputList().Line(0), std::string("48 65 6C 6C 6F 0D 0A "));

    // ANSI mode replays the history into the terminal view.
    QTest::mouseClick(c1.ANSIcheck, Qt::LeftButton);
    QVERIFY(c1.EmulVT->isVisible());
    QVERIFY(!c1.OutPutList->isVisible());
    QCOMPARE(c1.EmulVT->Screen().RowAt(0).Chars[0], std::uint8_t('H'));
    QCOMPARE(c1.EmulVT->Screen().RowAt(0).Chars[4], std::uint8_t('o'));
    QCOMPARE(c1.EmulVT->Screen().CurRow(), 1);
    // Received data shows live in ANSI mode, escape sequences taking effect.
    QTest::keyClick(c2.InputList, Qt::Key_BracketLeft, Qt::ControlModifier); // not hex entry
    QTest::keyClick(c2.InputList, Qt::Key_1, Qt::ControlModifier);
    QTest::keyClick(c2.InputList, Qt::Key_B, Qt::ControlModifier); // ESC
    QTest::keyClicks(c2.InputList, "[7mX");
    QTRY_COMPARE(c1.EmulVT->Screen().RowAt(1).Chars[0], std::uint8_t('X'));
    QCOMPARE(c1.EmulVT->Screen().RowAt(1).Attrs[0], std::uint8_t(0x70)); // reverse

    // "clear Rx", then a mode switch, shows nothing.
    QTest::mouseClick(c1.ClearInpBtn, Qt::LeftButton);
    QTest::mouseClick(c1.ASCIIcheck, Qt::LeftButton);
    QCOMPARE(c1.View->OutPutList().LineCount(), std::size_t(0));
}

void TstChannels::reconnectEmptiesViewsButKeepsHistory() {
    AppHarness h;
    QVERIFY(h.Start());
    QVERIFY(h.Connect(0, 6));
    QVERIFY(h.Connect(1, 7));
    h.Ch(1).InputList->setFocus();
    QTest::keyClicks(h.Ch(1).InputList, "abc");
    QTRY_COMPARE(h.Main->RxData1(), std::string("abc"));
    QTest::mouseClick(h.Ch(0).ComPortBtn, Qt::LeftButton);
    QVERIFY(h.Connect(0, 6));
    QCOMPARE(h.Ch(0).View->OutPutList().LineCount(), std::size_t(0));
    QTest::mouseClick(h.Ch(0).HEXcheck, Qt::LeftButton);
    QCOMPARE(h.Ch(0).View->OutPutList().Line(0), std::string("61 62 63 "));
}

QTEST_MAIN(TstChannels)
#include "tst_channels.moc"
