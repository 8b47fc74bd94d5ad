#include "LedCheck.h"
#include "TestPalette.h"
#include "TickDriver.h"
#include "TickService.h"

#include <thread>

// The main window's lamps, made as it makes them, and the tick service
// running from its timer.
class LampsTest : public QObject {
    Q_OBJECT
    QWidget FPanels[2];

    TLedCheck* Lamp(const char* base, int ch) {
        return FPanels[ch - 1].findChild<TLedCheck*>(base + QString::number(ch));
    }
    QColor Led(const char* base, int ch) {
        TLedCheck* l = Lamp(base, ch);
        const QImage img = Shot(*l);
        return img.pixelColor(l->LedX(), l->LedY());
    }

private slots:
    void initTestCase() {
        UseTestPalette();
        for (int ch = 1; ch <= 2; ++ch) {
            QWidget* p = &FPanels[ch - 1];
            p->resize(504, 95);
            const QString n = QString::number(ch);
            MakeLamp(p, "LEDcon" + n, 66, 19, 25, 25, "", 11, bvLowered, clLime);
            MakeLamp(p, "CTSLED" + n, 408, 4, 33, 40, "CTS", 8, bvRaised, clLime);
            MakeLamp(p, "BrkLed" + n, 376, 48, 33, 40, "BRK", 8, bvRaised, clRed)
                ->SetLedFlashTime(500);
            MakeLamp(p, "DSRLED" + n, 408, 48, 33, 40, "DSR", 8, bvRaised, clLime);
            p->show();
            QVERIFY(QTest::qWaitForWindowExposed(p));
        }
    }

    void configured() {
        TLedCheck* con = Lamp("LEDcon", 2);
        TLedCheck* brk = Lamp("BrkLed", 1);
        QCOMPARE(con->geometry(), QRect(66, 19, 25, 25)); // not grown: at its minimum
        QCOMPARE(brk->geometry(), QRect(376, 48, 33, 40));
        for (TLedCheck* l : {con, brk}) {
            QCOMPARE(l->CheckMode(), lcNone);
            QCOMPARE(l->LedShape(), ledCircle);
            QCOMPARE(l->FontHeight(), LampFontHeight);
            QCOMPARE(l->BevelOut(), bvNone);
            QCOMPARE(l->BordWidth(), 0);
            QCOMPARE(l->CaptPos(), orTop);
            QVERIFY(!l->Checked());
        }
        QCOMPARE(con->LedBevel(), bvLowered);
        QCOMPARE(brk->Caption(), QString("BRK"));
        QCOMPARE(brk->LedFlashTime(), 500);
        Shot(*con);
        QVERIFY(con->LedRect() == (TRect{1, 1, 23, 23})); // centred in its box
    }

    void connectFlashAndDisconnect() {
        // Connected with CTS on and DSR off, as the serial module reports them.
        Lamp("DSRLED", 1)->SetLedCol(clRed);
        for (const char* name : {"LEDcon", "CTSLED", "DSRLED"})
            Lamp(name, 1)->SetChecked(true);
        QCOMPARE(Led("LEDcon", 1), QColor(0, 255, 0));
        QCOMPARE(Led("CTSLED", 1), QColor(0, 255, 0));
        QCOMPARE(Led("DSRLED", 1), QColor(255, 0, 0));
        QCOMPARE(Led("LEDcon", 2), QColor(0, 0x60, 0));
        // A received break: lit red, dark after 9 ticks (500 ms).
        int clicks = 0;
        Lamp("BrkLed", 1)->onClick = [&](TRahmen*) { ++clicks; };
        QTest::mouseClick(Lamp("BrkLed", 1), Qt::LeftButton, {}, {16, 30});
        QCOMPARE(clicks, 1);
        Lamp("BrkLed", 1)->SetLedFlash(true);
        for (int t = 1; t <= 9; ++t) {
            QCOMPARE(Led("BrkLed", 1), QColor(255, 0, 0));
            TickService().Tick();
        }
        QCOMPARE(Led("BrkLed", 1), QColor(0x60, 0, 0));
        // Disconnected: red and dark.
        for (const char* name : {"LEDcon", "CTSLED", "DSRLED"}) {
            Lamp(name, 1)->SetLedCol(clRed);
            Lamp(name, 1)->SetChecked(false);
            QCOMPARE(Led(name, 1), QColor(0x60, 0, 0));
        }
    }

    void tickServiceTimer() {
        StartTickService();
        StartTickService(); // running already: no second timer
        const int phase = TickService().BlinkPhase();
        QTRY_VERIFY_WITH_TIMEOUT(TickService().BlinkPhase() != phase, 2000);
        StopTickService();
        QVERIFY(!TickServiceRunning());
        const int stopped = TickService().BlinkPhase();
        QTest::qWait(120);
        QCOMPARE(TickService().BlinkPhase(), stopped);
        // A thread without an event loop cannot have the timer.
        QString error;
        std::thread([&] {
            try {
                TTickServiceRun run;
            } catch (const EOutOfResources& e) {
                error = e.what();
            }
        }).join();
        QCOMPARE(error, QString("no more timers"));
        QVERIFY(!TickServiceRunning());
    }
};

QTEST_MAIN(LampsTest)
#include "LampsTest.moc"
