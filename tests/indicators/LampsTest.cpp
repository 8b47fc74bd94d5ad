#include "LedCheck.h"
#include "TestPalette.h"
#include "TickDriver.h"
#include "TickService.h"

#include <QTest>

#include <thread>

namespace {

struct TLampSpec {
    const char* Name;
    QRect Geometry;
    const char* Caption;
    int LedSize;
    TBevelCut Bevel;
    TColor Col;
};

// The lamps of one channel as the main window places them (channel 1).
const TLampSpec kLamps[] = {
    {"LEDcon", {66, 19, 25, 25}, "", 11, bvLowered, clLime},
    {"CTSLED", {408, 4, 33, 40}, "CTS", 8, bvRaised, clLime},
    {"BrkLed", {376, 48, 33, 40}, "BRK", 8, bvRaised, clRed},
    {"DSRLED", {408, 48, 33, 40}, "DSR", 8, bvRaised, clLime},
};

QColor Led(TLedCheck& l) {
    const QImage img = Shot(l); // paints first, so the centre is known
    return img.pixelColor(l.LedX(), l.LedY());
}

} // namespace

class LampsTest : public QObject {
    Q_OBJECT
    QWidget FWindow;
    QWidget* FPanels[2] = {};

    TLedCheck* Lamp(const char* base, int ch) {
        return FWindow.findChild<TLedCheck*>(QString(base) + QString::number(ch));
    }

private slots:
    void initTestCase() {
        UseTestPalette();
        FWindow.resize(1010, 200);
        for (int ch = 1; ch <= 2; ++ch) {
            FPanels[ch - 1] = new QWidget(&FWindow);
            FPanels[ch - 1]->setGeometry((ch - 1) * 506, 0, 504, 95);
            for (const TLampSpec& s : kLamps) {
                TLedCheck* l = MakeLamp(FPanels[ch - 1], QString(s.Name) + QString::number(ch),
                                        s.Geometry.x(), s.Geometry.y(), s.Geometry.width(),
                                        s.Geometry.height(), s.Caption, s.LedSize, s.Bevel, s.Col);
                if (QString(s.Name) == "BrkLed") l->SetLedFlashTime(500);
            }
        }
        FWindow.show();
        QVERIFY(QTest::qWaitForWindowExposed(&FWindow));
    }

    void configuredAsTheMainWindowHasThem() {
        for (int ch = 1; ch <= 2; ++ch)
            for (const TLampSpec& s : kLamps) {
                TLedCheck* l = Lamp(s.Name, ch);
                QVERIFY2(l, s.Name);
                QCOMPARE(l->geometry(), s.Geometry); // none below its minimum size
                QCOMPARE(l->Caption(), QString(s.Caption));
                QCOMPARE(l->CaptPos(), orTop);
                QCOMPARE(l->LedSize(), s.LedSize);
                QCOMPARE(l->LedBevel(), s.Bevel);
                QCOMPARE(l->LedCol(), s.Col);
                QCOMPARE(l->LedShape(), ledCircle);
                QCOMPARE(l->CheckMode(), lcNone);
                QCOMPARE(l->FontHeight(), LampFontHeight);
                QCOMPARE(l->BevelIn(), bvNone);
                QCOMPARE(l->BevelOut(), bvNone);
                QCOMPARE(l->BordWidth(), 0);
                QVERIFY(!l->Checked());
            }
        QCOMPARE(Lamp("BrkLed", 2)->LedFlashTime(), 500);
        QCOMPARE(Lamp("CTSLED", 1)->LedFlashTime(), 300);
        // The connection lamp's LED sits in the middle of its 25 x 25 box.
        Shot(*Lamp("LEDcon", 1));
        QCOMPARE(Lamp("LEDcon", 1)->LedRect(), (TRect{1, 1, 23, 23}));
    }

    void connectAndDisconnect() {
        // Connect with CTS on and DSR off, as the serial module reports them.
        TLedCheck* con = Lamp("LEDcon", 1);
        TLedCheck* cts = Lamp("CTSLED", 1);
        TLedCheck* dsr = Lamp("DSRLED", 1);
        cts->SetLedCol(clLime);
        dsr->SetLedCol(clRed);
        con->SetChecked(true);
        con->SetLedCol(clLime);
        cts->SetChecked(true);
        dsr->SetChecked(true);
        QCOMPARE(Led(*con), QColor(0, 255, 0));
        QCOMPARE(Led(*cts), QColor(0, 255, 0));
        QCOMPARE(Led(*dsr), QColor(255, 0, 0));
        QVERIFY(CountNear(Shot(*cts), QRect(3, 7, 27, 12), Qt::black, 10) > 0); // "CTS"
        QCOMPARE(Led(*Lamp("LEDcon", 2)), QColor(0, 0x60, 0)); // channel 2 untouched
        // Disconnect: the lines are announced off, then the lamps go dark.
        cts->SetLedCol(clRed);
        dsr->SetLedCol(clRed);
        cts->SetChecked(false);
        dsr->SetChecked(false);
        con->SetChecked(false);
        con->SetLedCol(clRed);
        for (TLedCheck* l : {con, cts, dsr})
            QCOMPARE(Led(*l), QColor(0x60, 0, 0));
    }

    void breakFlashesForHalfASecond() {
        TLedCheck* brk = Lamp("BrkLed", 2);
        int clicks = 0;
        brk->onClick = [&](TRahmen* s) { clicks += s == brk; };
        QTest::mouseClick(brk, Qt::LeftButton, {}, {16, 30});
        QCOMPARE(clicks, 1);
        QVERIFY(!brk->Checked()); // clicking does not light it
        brk->SetLedFlash(true);
        for (int t = 1; t < 9; ++t) {
            TickService().Tick();
            QCOMPARE(Led(*brk), QColor(255, 0, 0));
        }
        TickService().Tick();
        QCOMPARE(Led(*brk), QColor(0x60, 0, 0));
        QCOMPARE(Led(*Lamp("BrkLed", 1)), QColor(0x60, 0, 0));
    }

    void tickServiceRunsFromItsTimer() {
        StartTickService();
        StartTickService(); // already running: no second timer
        QVERIFY(TickServiceRunning());
        const int phase = TickService().BlinkPhase();
        QTRY_VERIFY_WITH_TIMEOUT(TickService().BlinkPhase() != phase, 2000);
        StopTickService();
        QVERIFY(!TickServiceRunning());
        const int stopped = TickService().BlinkPhase();
        QTest::qWait(120);
        QCOMPARE(TickService().BlinkPhase(), stopped);
        {
            TTickServiceRun run;
            QVERIFY(TickServiceRunning());
        }
        QVERIFY(!TickServiceRunning());
    }

    void noMoreTimersWithoutAnEventLoop() {
        // A thread without an event loop cannot have the timer.
        QString error;
        std::thread([&] {
            try {
                StartTickService();
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
