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
double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}
const std::vector<std::uint32_t> kPlainBeep{0};
} // namespace

class TstChannels : public QObject {
    Q_OBJECT
private slots:
    void connectTypeAndHoldExclusively();
    void streamArrivesWholeWhileWindowKeepsTurning();
    void unusableDevicesFailWithoutLeaks();
    void farEndGoneDisconnectsWithoutSpinning();
    void linesAndBreakReachTheOtherChannel();
    void displayModesReplayTheHistories();
};

void TstChannels::connectTypeAndHoldExclusively() {
    AppHarness h;
    QVERIFY(h.Start());
    Pty pty;
    serial::SetPortMapEntry("COM3", pty.SlavePath);
    QVERIFY(h.Connect(0, 2));
    TChannelUi& c = h.Ch(0);
    QCOMPARE(h.Ser->ComPort1->Port(), std::string("COM3"));
    QVERIFY(c.InputList->isEnabled() && !c.PortCombo->isEnabled());
    QCOMPARE(h.Main->StatusText(1), QString("connected"));
    QCOMPARE(c.LEDcon->LedCol(), clLime);
    QVERIFY(c.LEDcon->Checked() && c.CTSLED->Checked());
    QCOMPARE(c.CTSLED->LedCol(), clRed); // a pseudo-terminal has no modem lines

    c.InputList->setFocus();
    QTest::keyClicks(c.InputList, "Hi");
    QTest::keyClick(c.InputList, Qt::Key_Return);
    QTest::keyClick(c.InputList, Qt::Key_4, Qt::ControlModifier);
    QTest::keyClick(c.InputList, Qt::Key_1, Qt::ControlModifier);
    QCOMPARE(pty.ReadAvailable(2000), std::string("Hi\r\nA"));
    QCOMPARE(h.Main->TxData1(), std::string("Hi\r\nA"));

    platform::TakeBeeps(); // the other channel cannot open the same device
    QVERIFY(!h.Connect(1, 2));
    QCOMPARE(platform::TakeBeeps(), kPlainBeep);
    QCOMPARE(h.Main->StatusText(3), QString("disconnected"));

    QTest::mouseClick(c.ComPortBtn, Qt::LeftButton); // release: disconnect
    QVERIFY(!h.Ser->ComPort1->Connected());
    QCOMPARE(h.Main->StatusText(1), QString("disconnected"));
    QVERIFY(!c.LEDcon->Checked() && c.PortCombo->isEnabled() && !c.InputList->isEnabled());
    QCOMPARE(c.LEDcon->LedCol(), clRed);
    QVERIFY(h.Errors.empty());
}

void TstChannels::streamArrivesWholeWhileWindowKeepsTurning() {
    AppHarness h;
    QVERIFY(h.Start());
    Pty pty;
    serial::SetPortMapEntry("COM1", pty.SlavePath);
    QVERIFY(h.Connect(0, 0));
    std::string data(8 << 20, '\0');
    std::mt19937 rng(7);
    for (char& b : data)
        b = static_cast<char>(rng());
    std::thread writer([&] { pty.WriteAll(data.data(), data.size()); });
    int ticks = 0; // the window's own events keep running while the stream lasts
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(5);
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->RxData1().size(), data.size(), 60000);
    writer.join();
    QVERIFY(h.Main->RxData1() == data); // every byte, in order
    QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
}

void TstChannels::unusableDevicesFailWithoutLeaks() {
    AppHarness h;
    QVERIFY(h.Start());
    const int fds = OpenFdCount();
    QFile(h.IniPath()).open(QIODevice::WriteOnly); // a regular file
    for (const std::string& path : {std::string("/dev/null"), h.Dir.toStdString(),
                                    h.IniPath().toStdString(), h.Dir.toStdString() + "/none"}) {
        serial::SetPortMapEntry("COM5", path);
        QVERIFY2(!h.Connect(0, 4), path.c_str());
        try {
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
    Pty pty;
    serial::SetPortMapEntry("COM1", pty.SlavePath);
    QVERIFY(h.Connect(0, 0));
    platform::TakeBeeps();
    pty.CloseMaster();
    QTRY_VERIFY_WITH_TIMEOUT(!h.Ch(0).ComPortBtn->isChecked(), 5000);
    QVERIFY(!h.Ser->ComPort1->Connected());
    QCOMPARE(h.Main->StatusText(1), QString("disconnected"));
    QCOMPARE(platform::TakeBeeps(), kPlainBeep);
    const double cpu0 = CpuSeconds(); // nothing keeps running
    QTest::qWait(500);
    QVERIFY(CpuSeconds() - cpu0 < 0.2);
    Pty again; // connecting works again once the device is back
    serial::SetPortMapEntry("COM1", again.SlavePath);
    QVERIFY(h.Connect(0, 0));
}

void TstChannels::linesAndBreakReachTheOtherChannel() {
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& c1 = h.Ch(0);
    TChannelUi& c2 = h.Ch(1);
    QVERIFY(h.Connect(0, 6));                     // COM7: one end of the cable
    QCOMPARE(c1.CTSLED->LedCol(), clRed);         // the other end is not open
    QTest::mouseClick(c2.RTSbtn, Qt::LeftButton); // down before connecting
    QVERIFY(h.Connect(1, 7));                     // COM8: applies RTS on connect
    QTRY_COMPARE(c1.CTSLED->LedCol(), clLime);
    QCOMPARE(c1.DSRLED->LedCol(), clRed);
    QTest::mouseClick(c2.DTRbtn, Qt::LeftButton);
    QTRY_COMPARE(c1.DSRLED->LedCol(), clLime);
    QTest::mouseClick(c2.RTSbtn, Qt::LeftButton);
    QTRY_COMPARE(c1.CTSLED->LedCol(), clRed);

    // A break clicked on channel 1 flashes channel 2's lamp for about half a second.
    auto ledRed = [&] {
        return c2.BrkLed->grab().toImage().pixelColor(c2.BrkLed->LedX(), c2.BrkLed->LedY()).red();
    };
    QTest::mouseClick(c1.BrkLed, Qt::LeftButton);
    QTRY_VERIFY(c2.BrkLed->LedFlash());
    QElapsedTimer flash;
    flash.start();
    QVERIFY(ledRed() > 200);
    QTRY_VERIFY_WITH_TIMEOUT(ledRed() < 128, 2000);
    QVERIFY2(flash.elapsed() >= 350, qPrintable(QString::number(flash.elapsed())));
    c1.InputList->setFocus(); // the next key ends the break and is sent
    QTest::keyClick(c1.InputList, Qt::Key_X);
    QTRY_COMPARE(h.Main->RxData2(), std::string("x"));

    QTest::mouseClick(c2.ComPortBtn, Qt::LeftButton); // closing drops its lines
    QTRY_COMPARE(c1.DSRLED->LedCol(), clRed);
}

void TstChannels::displayModesReplayTheHistories() {
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

    // Reconnecting empties the views; a mode switch shows the earlier data again.
    QTest::mouseClick(c1.ComPortBtn, Qt::LeftButton);
    QVERIFY(h.Connect(0, 6));
    QCOMPARE(c1.View->OutPutList().LineCount(), std::uint64_t(0));
    QTest::mouseClick(c1.HEXcheck, Qt::LeftButton);
    QCOMPARE(c1.View->OutPutList().Line(0), std::string("48 65 6C 6C 6F 0D 0A "));
    QTest::mouseClick(c2.HEXcheck, Qt::LeftButton);
    QCOMPARE(c2.View->InputList().Line(0), std::string("48 65 6C 6C 6F 0D 0A "));

    // ANSI replays the history into the terminal view, then shows data live.
    QTest::mouseClick(c1.ANSIcheck, Qt::LeftButton);
    QVERIFY(c1.EmulVT->isVisible() && !c1.OutPutList->isVisible());
    QCOMPARE(c1.EmulVT->Screen().RowAt(0).Chars[4], std::uint8_t('o'));
    QCOMPARE(c1.EmulVT->Screen().CurRow(), 1);
    QTest::keyClick(c2.InputList, Qt::Key_1, Qt::ControlModifier);
    QTest::keyClick(c2.InputList, Qt::Key_B, Qt::ControlModifier); // ESC
    QTest::keyClicks(c2.InputList, "[7mX");
    QTRY_COMPARE(c1.EmulVT->Screen().RowAt(1).Chars[0], std::uint8_t('X'));
    QCOMPARE(c1.EmulVT->Screen().RowAt(1).Attrs[0], std::uint8_t(0x70)); // reverse
}

QTEST_MAIN(TstChannels)
#include "tst_channels.moc"
