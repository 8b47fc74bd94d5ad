// Channels end to end: real pseudo-terminals for the data path, the built-in
// null-modem cable for modem lines and breaks.
#include "AppHarness.h"
#include "ChannelView.h"
#include "EmulVT.h"
#include "LedCheck.h"
#include "MemoView.h"
#include "Platform.h"
#include "device/PortMap.h"
#include "device/SerialDevice.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <fcntl.h>
#include <random>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {
// The far end of a null-modem cable, held by the test; its RTS is the
// channel's CTS. Reads return at once with what has arrived.
struct FarEnd {
    std::unique_ptr<serial::ISerialDevice> dev;
    explicit FarEnd(const std::string& name) : dev(serial::CreateFile(name)) {
        if (dev) dev->SetCommTimeouts({serial::MAXDWORD, 0, 0, 0, 0});
    }
    void Rts(bool on) { dev->EscapeCommFunction(on ? serial::SETRTS : serial::CLRRTS); }
    std::string Read() {
        char buf[256];
        std::uint32_t n = 0;
        dev->ReadFile(buf, sizeof buf, n);
        return std::string(buf, n);
    }
};
} // namespace

using namespace apptest;

class TstChannels : public QObject {
    Q_OBJECT
private slots:
    void connectTypeAndHoldExclusively();
    void streamArrivesWholeWhileWindowKeepsTurning();
    void farEndGoneDisconnectsWithoutSpinning();
    void linesAndBreakReachTheOtherChannel();
    void displayModesReplayTheHistories();
    void typedBytesLeaveInOrderWhileThePtyHoldsOutputOrAreDroppedOnce();
    void heldBytesLeaveInOrderAndAreDroppedOnceAtDisconnect();
    void settingsThePtyKeepsAreReportedOnce();
};

void TstChannels::connectTypeAndHoldExclusively() {
    AppHarness h;
    QVERIFY(h.Start());
    Pty pty;
    QVERIFY(h.ConnectTo(0, 2, pty.SlavePath));
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
    QVERIFY(h.ConnectTo(0, 0, pty.SlavePath));
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

void TstChannels::farEndGoneDisconnectsWithoutSpinning() {
    AppHarness h;
    QVERIFY(h.Start());
    Pty pty;
    QVERIFY(h.ConnectTo(0, 0, pty.SlavePath));
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
    QVERIFY(h.ConnectTo(0, 0, again.SlavePath));
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

void TstChannels::typedBytesLeaveInOrderWhileThePtyHoldsOutputOrAreDroppedOnce() {
    AppHarness h;
    QVERIFY(h.Start());
    Pty pty;
    // A second hold on the device, to stop its output as flow control would.
    const int slave = ::open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(slave >= 0);
    QVERIFY(h.ConnectTo(0, 0, pty.SlavePath));
    TChannelUi& c = h.Ch(0);
    QCOMPARE(::tcflow(slave, TCOOFF), 0);
    QTimer::singleShot(2500, h.Main.get(), [slave] { ::tcflow(slave, TCOON); });
    QElapsedTimer held;
    held.start();
    PostKeys(c.InputList, "abcdef");
    // Every key is handled at once although the line takes nothing meanwhile.
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->TxData1(), std::string("abcdef"), 10000);
    QVERIFY2(held.elapsed() < 2000, qPrintable(QString::number(held.elapsed())));
    QCOMPARE(pty.ReadAvailable(100), std::string());
    std::string got;
    QTRY_VERIFY_WITH_TIMEOUT((got += pty.ReadAvailable(10)).size() >= 6, 10000);
    QCOMPARE(got, std::string("abcdef")); // in the order shown and recorded
    QCOMPARE(c.View->InputList().Line(0), std::string("abcdef"));

    // A far end that stops reading: the kernel's buffer fills, and keys
    // typed meanwhile follow what was queued before them.
    const std::string filler(100000, 'f');
    h.Ser->Send(0, filler);
    QTest::qWait(300);
    QVERIFY(h.Ser->SendPending(0) > 0);
    PostKeys(c.InputList, "ghi");
    QTRY_COMPARE(h.Main->TxData1(), std::string("abcdefghi"));
    got.clear();
    QTRY_VERIFY_WITH_TIMEOUT((got += pty.ReadAvailable(10)).size() >= filler.size() + 3, 20000);
    QVERIFY(got == filler + "ghi");

    // Unplugged while bytes wait: one event, no box per byte.
    QCOMPARE(::tcflow(slave, TCOOFF), 0);
    platform::TakeBeeps();
    PostKeys(c.InputList, "xyz");
    QTimer::singleShot(300, h.Main.get(), [&pty] { pty.CloseMaster(); });
    QTRY_VERIFY_WITH_TIMEOUT(!c.ComPortBtn->isChecked(), 10000);
    QTest::qWait(300); // whatever else would come has come
    QVERIFY2(h.Errors.empty(), h.Errors.empty() ? "" : h.Errors.front().c_str());
    QCOMPARE(platform::TakeBeeps(), kPlainBeep);
    QVERIFY2(h.Main->NoticeText(0).endsWith("3 bytes not sent: xyz"),
             qPrintable(h.Main->NoticeText(0)));
    QCOMPARE(h.Main->TxData1(), std::string("abcdefghixyz"));
    ::close(slave);
}

void TstChannels::heldBytesLeaveInOrderAndAreDroppedOnceAtDisconnect() {
    AppHarness h;
    QVERIFY(h.Start());
    serial::SetPortMapEntry("COM2", "null-modem:13a");
    FarEnd far("null-modem:13b");
    QVERIFY(far.dev);
    TChannelUi& c = h.Ch(0);
    h.Ser->ComPort1->FlowControl().SetOutCTSFlow(true); // output waits for the far end's RTS
    QVERIFY(h.Connect(0, 1));
    // A nested waiter would only end when the far end lets the line go.
    QTimer release;
    release.setSingleShot(true);
    QObject::connect(&release, &QTimer::timeout, [&far] { far.Rts(true); });
    release.start(3000);

    PostKeys(c.InputList, "abc");
    QTRY_COMPARE_WITH_TIMEOUT(h.Main->TxData1(), std::string("abc"), 10000);
    QCOMPARE(far.Read(), std::string());
    QTest::mouseClick(c.BrkLed, Qt::LeftButton); // a break click while they wait
    PostKeys(c.InputList, "de");                 // the next key ends the break
    far.Rts(true);
    std::string got;
    QTRY_VERIFY_WITH_TIMEOUT((got += far.Read()).size() >= 5, 10000);
    QCOMPARE(got, std::string("abcde"));
    release.stop();

    // Held again; disconnecting drops what waits as one event, with no box.
    far.Rts(false);
    QTest::qWait(50);
    platform::TakeBeeps();
    PostKeys(c.InputList, "xyz");
    QTimer::singleShot(300, h.Main.get(),
                       [&c] { QTest::mouseClick(c.ComPortBtn, Qt::LeftButton); });
    QTRY_VERIFY_WITH_TIMEOUT(!c.ComPortBtn->isChecked(), 10000);
    QVERIFY2(h.Errors.empty(), h.Errors.empty() ? "" : h.Errors.front().c_str());
    QCOMPARE(h.Main->StatusText(1), QString("disconnected"));
    QCOMPARE(h.Main->NoticeText(0), QString("COM2: 3 bytes not sent: xyz"));
    QCOMPARE(platform::TakeBeeps(), kPlainBeep);
    QCOMPARE(h.Main->TxData1(), std::string("abcdexyz")); // the history keeps them
    far.Rts(true);
    QTest::qWait(100);
    QCOMPARE(far.Read(), std::string());
    // The notice belongs to that connection: connecting again clears it.
    QVERIFY(h.Connect(0, 1));
    QCOMPARE(h.Main->NoticeText(0), QString());
}

void TstChannels::settingsThePtyKeepsAreReportedOnce() {
    AppHarness h;
    QVERIFY(h.Start());
    Pty pty;
    TChannelUi& c = h.Ch(0);
    Pick(c.DataBitsCombo, 0); // "5 Bits"
    Pick(c.ParityCombo, 2);   // "even"
    platform::TakeBeeps();
    QVERIFY(h.ConnectTo(0, 0, pty.SlavePath));
    QCOMPARE(h.Main->NoticeText(0), QString("COM1 kept Data Bits: 8 Bits, Parity: none"));
    QCOMPARE(platform::TakeBeeps(), kPlainBeep);
    QVERIFY(h.Errors.empty());
    // The lists and the port keep what was asked.
    QCOMPARE(c.DataBitsCombo->currentText(), QString("5 Bits"));
    QCOMPARE(c.ParityCombo->currentText(), QString("even"));
    QCOMPARE(h.Ser->ComPort1->DataBits(), dbFive);

    // A new choice the device does not take is told again (when to tell is
    // the port's rule, tested with it); a session stores the choice, not what
    // this device ran with.
    Pick(c.ParityCombo, 1); // "odd"
    QCOMPARE(h.Main->NoticeText(0), QString("COM1 kept Parity: none"));
    QCOMPARE(platform::TakeBeeps(), kPlainBeep);
    Pick(c.ParityCombo, 2);
    h.Close();
    const QByteArray text = ReadFile(h.IniPath());
    QVERIFY2(text.contains("Data1=0") && text.contains("Parity1=2"), text.constData());
}

QTEST_MAIN(TstChannels)
#include "tst_channels.moc"
