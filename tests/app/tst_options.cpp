// Window options: half and full size, terminal fonts, "test" playback, the
// information dialog, and the Print buttons with an answered print dialog.
#include "AppHarness.h"
#include "ChannelView.h"
#include "EmulVT.h"
#include "InfoDlg.h"
#include "LedCheck.h"
#include "MemoView.h"
#include "PrintDialog.h"
#include "device/PortMap.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>

namespace {
// Runs the test body with the current directory set to a fresh temporary one.
struct InTempDir {
    QTemporaryDir dir;
    QString old = QDir::currentPath();
    InTempDir() { QDir::setCurrent(dir.path()); }
    ~InTempDir() { QDir::setCurrent(old); }
    void Write(const QString& name, const QByteArray& data) {
        QFile f(dir.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(data);
    }
};

} // namespace

class TstOptions : public QObject {
    Q_OBJECT
private slots:
    void halfSizeDisconnectsChannel2AndFullSizeRestores();
    void terminalFontSizes();
    void testPlaysInfoAnsWithoutHistory();
    void testStopsAtCtrlZAndReportsMissingFile();
    void aboutBoxLayout();
    void printButtonTextModes();
    void printButtonAnsiToBitmap();
};

void TstOptions::halfSizeDisconnectsChannel2AndFullSizeRestores() {
    AppHarness h;
    QVERIFY(h.Start());
    const int frame = h.Main->frameGeometry().width() - h.Main->width();
    QCOMPARE(h.Main->frameGeometry().width(), 1018);
    QVERIFY(h.Connect(0, 6));
    QVERIFY(h.Connect(1, 7));
    const int height = h.Main->height();
    QTest::mouseClick(h.Main->BtnHalf, Qt::LeftButton);
    QCOMPARE(h.Main->width() + frame, 505);
    QCOMPARE(h.Main->height(), height);
    QVERIFY(h.Main->HalfSize);
    QVERIFY(!h.Main->BtnHalf->isVisible());
    QVERIFY(h.Main->BtnFull->isVisible());
    QVERIFY(!h.Ch(1).ComPortBtn->isChecked());
    QVERIFY(!h.Ser->ComPort2->Connected());
    QCOMPARE(h.Main->StatusText(3), QString("disconnected"));
    QCOMPARE(h.Ch(1).LEDcon->LedCol(), clRed);
    QVERIFY(h.Ser->ComPort1->Connected()); // channel 1 goes on
    QTRY_COMPARE(h.Ch(0).CTSLED->LedCol(), clRed);

    QTest::mouseClick(h.Main->BtnFull, Qt::LeftButton);
    QCOMPARE(h.Main->width() + frame, 1018);
    QVERIFY(!h.Main->HalfSize);
    QVERIFY(h.Main->BtnHalf->isVisible());
    QVERIFY(!h.Ch(1).ComPortBtn->isChecked()); // stays disconnected
}

void TstOptions::terminalFontSizes() {
    AppHarness h;
    QVERIFY(h.Start());
    TEmulVT* vt = h.Ch(0).EmulVT;
    QTest::mouseClick(h.Ch(0).ANSIcheck, Qt::LeftButton);
    QCOMPARE(vt->CharWidth(), 12);
    QCOMPARE(vt->LineHeight(), 16);
    QCOMPARE(vt->ScrollBar()->maximum(), 7); // 18 of 25 rows fit
    h.Ch(0).ANSIfont9->trigger();
    QVERIFY(h.Ch(0).ANSIfont9->isChecked());
    QVERIFY(!h.Ch(0).ANSIfont12->isChecked());
    QCOMPARE(vt->CharWidth(), 6);
    QCOMPARE(vt->LineHeight(), 12);
    QCOMPARE(vt->ScrollBar()->maximum(), 1);   // 24 rows fit
    QCOMPARE(h.Ch(1).EmulVT->CharWidth(), 12); // the other channel keeps its font
    h.Ch(0).ANSIfont12->trigger();
    QCOMPARE(vt->LineHeight(), 16);
}

void TstOptions::testPlaysInfoAnsWithoutHistory() {
    InTempDir cwd;
    cwd.Write("Info.ans", "\x1b[1;31mHi\x1b[0m\r\nthere");
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& c = h.Ch(0);
    c.Test->trigger();
    // ASCII mode: escape sequences show as dots and characters.
    QCOMPARE(c.View->OutPutList().Line(0), std::string(".[1;31mHi.[0m"));
    QCOMPARE(c.View->OutPutList().Line(1), std::string("there"));
    QVERIFY(h.Main->RxData1().empty());
    // Not in the history: a mode switch shows nothing of it.
    QTest::mouseClick(c.HEXcheck, Qt::LeftButton);
    QCOMPARE(c.View->OutPutList().LineCount(), std::uint64_t(0));

    QTest::mouseClick(c.ANSIcheck, Qt::LeftButton);
    c.Test->trigger();
    const auto& row = c.EmulVT->Screen().RowAt(0);
    QCOMPARE(row.Chars[0], std::uint8_t('H'));
    QCOMPARE(row.Attrs[0], std::uint8_t(0x09)); // bright red on black
    QCOMPARE(c.EmulVT->Screen().RowAt(1).Chars[0], std::uint8_t('t'));
    QVERIFY(h.Errors.empty());
}

void TstOptions::testStopsAtCtrlZAndReportsMissingFile() {
    InTempDir cwd;
    AppHarness h;
    QVERIFY(h.Start());
    h.Ch(1).Test->trigger();
    QCOMPARE(h.Errors.size(), std::size_t(1));
    QVERIFY(QString::fromStdString(h.Errors[0]).contains("Info.ans"));

    cwd.Write("Info.ans", QByteArray("before\x1a"
                                     "after",
                                     12));
    h.Ch(1).Test->trigger();
    QCOMPARE(h.Ch(1).View->OutPutList().Line(0), std::string("before"));
    QCOMPARE(h.Ch(1).View->OutPutList().LineCount(), std::uint64_t(1));
}

void TstOptions::aboutBoxLayout() {
    AppHarness h;
    QVERIFY(h.Start());
    TAboutBox* box = h.Main->AboutBox;
    QTimer::singleShot(0, [box] {
        QVERIFY(box->isVisible());
        box->OKButton->click();
    });
    h.Main->AboutItem->trigger();
    QCOMPARE(box->result(), int(QDialog::Accepted));
    QCOMPARE(box->windowTitle(), QString("Varnex Zelmar Info"));
    QCOMPARE(box->size(), QSize(298, 254));
    QCOMPARE(box->ProductName->text(), QString("Varnex Zelmar"));
    QCOMPARE(box->Version->text(), QString("Version 1.0"));
    QCOMPARE(box->OKButton->geometry(), QRect(111, 222, 75, 25));
    QCOMPARE(box->findChild<QLabel*>("Label1")->text(), QString("Varnex"));
}

void TstOptions::printButtonTextModes() {
    InTempDir cwd;
    AppHarness h;
    QVERIFY(h.Start());
    auto* fake = new TFakePrintDialog(cwd.dir.filePath("paper.pdf"));
    h.Main->PrintDialog.reset(fake);
    fake->SetAnswer(true);
    // An empty receive view prints nothing and shows no dialog.
    QTest::mouseClick(h.Ch(0).PrnBtn, Qt::LeftButton);
    QCOMPARE(fake->ShownCount(), 0);
    for (int i = 0; i < 30; ++i)
        h.Main->AddRxByte1(std::uint8_t(i));
    fake->SetAnswer(false); // cancelled: nothing
    QTest::mouseClick(h.Ch(0).PrnBtn, Qt::LeftButton);
    QCOMPARE(fake->ShownCount(), 1);
    QVERIFY(!QFile::exists(cwd.dir.filePath("paper.pdf")));
    fake->SetAnswer(true);
    QTest::mouseClick(h.Ch(0).HEXcheck, Qt::LeftButton);
    QTest::mouseClick(h.Ch(0).PrnBtn, Qt::LeftButton);
    QCOMPARE(fake->ShownCount(), 2);
    QTRY_VERIFY(QFileInfo(cwd.dir.filePath("paper.pdf")).size() > 0);
    QVERIFY(h.Errors.empty());
}

void TstOptions::printButtonAnsiToBitmap() {
    InTempDir cwd;
    AppHarness h;
    QVERIFY(h.Start());
    auto* fake = new TFakePrintDialog(cwd.dir.filePath("paper.pdf"));
    h.Main->PrintDialog.reset(fake);
    fake->SetAnswer(true);
    fake->SetPrintToFile(true, cwd.dir.filePath("out.pdf"));
    cwd.Write("ANSI200.bmp", "taken");
    QTest::mouseClick(h.Ch(1).ANSIcheck, Qt::LeftButton);
    for (char b : std::string("\x1b[44m picture "))
        h.Main->AddRxByte2(std::uint8_t(b));
    QTest::mouseClick(h.Ch(1).PrnBtn, Qt::LeftButton);
    const QString bmp = cwd.dir.filePath("ANSI201.bmp");
    QVERIFY(QFile::exists(bmp));
    QImageReader reader(bmp);
    QCOMPARE(reader.format(), QByteArray("bmp"));
    QCOMPARE(reader.size(), h.Ch(1).EmulVT->size());
    QVERIFY(h.Errors.empty());
}

QTEST_MAIN(TstOptions)
#include "tst_options.moc"
