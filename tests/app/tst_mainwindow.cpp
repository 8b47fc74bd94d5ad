// The main window as a user meets it: connect failures, port lists, clear and
// line buttons, hints, window size, fonts, "test" playback, printing, close.
#include "AppHarness.h"
#include "ChannelView.h"
#include "DLGSelect.h"
#include "DlgSess.h"
#include "EmulVT.h"
#include "InfoDlg.h"
#include "LedCheck.h"
#include "MemoView.h"
#include "Platform.h"
#include "PrintDialog.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QHelpEvent>
#include <QImageReader>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QTimer>
#include <QToolButton>

using namespace apptest;

class TstMainWindow : public QObject {
    Q_OBJECT
private slots:
    void failedConnectBeepsAndChangesNothing();
    void portListsReachThePortWithinTheirRange();
    void clearAndLineButtons();
    void hintGoesToStatusPanelUnlessSwitchedOff();
    void halfSizeDisconnectsChannel2();
    void terminalFontSizes();
    void ansiReplayStartsFromAFreshInterpreter();
    void everyControlShowsItsWholeText();
    void aboutBoxDrawsItsBevelledPanel();
    void testPlaysInfoAnsWithoutHistory();
    void printButtons();
    void closeClosesPortsBeforeSaving();
    void failingSendGoesToErrorReport();
};

void TstMainWindow::failedConnectBeepsAndChangesNothing() {
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& c = h.Ch(0);
    const TColor ctsBefore = c.CTSLED->LedCol();
    const int fds = OpenFdCount();
    QVERIFY(WriteFile(h.IniPath(), "")); // a regular file
    // Missing, not a terminal, a directory, a plain file.
    for (const std::string& path : {h.Dir.toStdString() + "/none", std::string("/dev/null"),
                                    h.Dir.toStdString(), h.IniPath().toStdString()}) {
        platform::TakeBeeps();
        QVERIFY2(!h.ConnectTo(0, 4, path), path.c_str());
        QCOMPARE(h.Main->StatusText(1), QString("disconnected"));
        QCOMPARE(c.CTSLED->LedCol(), ctsBefore);
        QVERIFY(!c.LEDcon->Checked() && !c.InputList->isEnabled());
        QCOMPARE(platform::TakeBeeps(), kPlainBeep);
        QVERIFY(h.Errors.empty()); // no message box
    }
    QCOMPARE(OpenFdCount(), fds);

    h.Ch(1).PortCombo->setCurrentIndex(-1); // no port selected
    QTest::mouseClick(h.Ch(1).ComPortBtn, Qt::LeftButton);
    QVERIFY(!h.Ch(1).ComPortBtn->isChecked());
    QCOMPARE(platform::TakeBeeps(), kPlainBeep);
}

void TstMainWindow::portListsReachThePortWithinTheirRange() {
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& c = h.Ch(0);
    TComPortN& port = *h.Ser->ComPort1;
    Pick(c.BaudCombo, 13);
    Pick(c.ParityCombo, 3);
    Pick(c.DataBitsCombo, 1);
    Pick(c.StopBitCombo, 1);
    QCOMPARE(port.BaudRate(), br256000);
    QCOMPARE(port.Parity().Bits(), prMark);
    QCOMPARE(port.DataBits(), dbSix);
    QCOMPARE(port.StopBits(), sbOne5StopBits);
    QCOMPARE(h.Ser->ComPort2->BaudRate(), br9600); // the other channel keeps its own

    // An index outside a list's range changes nothing; the handshake choice
    // is the port's flow control, and "none" returns to what it was.
    const auto dcb = port.BuildDCB();
    for (QComboBox* combo : {c.BaudCombo, c.ParityCombo, c.DataBitsCombo, c.StopBitCombo})
        Pick(combo, -1);
    for (int choice : {2, 1, -1})
        Pick(c.HskCombo, choice);
    QCOMPARE(port.FlowControl().FlowControl(), fcHardware); // -1 kept it
    Pick(c.HskCombo, 2);
    QCOMPARE(port.FlowControl().FlowControl(), fcSoftware);
    Pick(c.HskCombo, 0);
    QCOMPARE(port.FlowControl().FlowControl(), fcNone);
    const auto after = port.BuildDCB();
    QVERIFY(std::memcmp(&dcb, &after, sizeof dcb) == 0);
    QVERIFY(h.Errors.empty());
}

void TstMainWindow::clearAndLineButtons() {
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& c = h.Ch(0);
    for (char b : std::string("line one\r\nline two"))
        h.Main->AddRxByte1(std::uint8_t(b));
    c.View->ShowTxByte('x');
    QTest::mouseClick(c.ClearInpBtn, Qt::LeftButton);
    QVERIFY(h.Main->RxData1().empty());
    QCOMPARE(c.View->OutPutList().LineCount(), std::uint64_t(0));
    QVERIFY(!c.InputList->hasFocus());             // disabled while disconnected
    QTest::mouseClick(c.HEXcheck, Qt::LeftButton); // a mode switch shows nothing of it
    QCOMPARE(c.View->OutPutList().LineCount(), std::uint64_t(0));
    c.InputList->setEnabled(true);
    QTest::mouseClick(c.ClearOutputBtn, Qt::LeftButton);
    QVERIFY(h.Main->TxData1().empty());
    QCOMPARE(c.View->InputList().LineCount(), std::uint64_t(0));
    QTRY_VERIFY(c.InputList->hasFocus());

    // Line buttons and the BRK lamp on a closed port: kept, no message.
    QTest::mouseClick(h.Ch(1).RTSbtn, Qt::LeftButton);
    QTest::mouseClick(h.Ch(1).BrkLed, Qt::LeftButton);
    QVERIFY(h.Ch(1).RTSbtn->isChecked());
    QVERIFY(h.Errors.empty());
}

void TstMainWindow::hintGoesToStatusPanelUnlessSwitchedOff() {
    AppHarness h;
    QVERIFY(h.Start());
    auto hint = [&](QWidget* w) {
        QHelpEvent tip(QEvent::ToolTip, QPoint(5, 5), w->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(w, &tip);
    };
    hint(h.Ch(0).BaudCombo);
    // One line in the status bar, two in the tooltip.
    QCOMPARE(h.Main->StatusText(0), QString("select the baudrate"));
    QCOMPARE(h.Ch(0).BaudCombo->toolTip(), QString("select the\nbaudrate"));
    QLabel* panel = h.Main->findChild<QLabel*>("StatusPanel0");
    QVERIFY(panel->sizeHint().height() <= panel->height());
    h.Main->showHintsItem->trigger();
    QVERIFY(!h.Main->showHintsItem->isChecked());
    hint(h.Ch(0).ParityCombo);
    QCOMPARE(h.Main->StatusText(0), QString("select the baudrate")); // kept as it was
}

void TstMainWindow::halfSizeDisconnectsChannel2() {
    AppHarness h;
    QVERIFY(h.Start());
    // Outer widths 1018 and 505 less 4-pixel borders, whatever frame is drawn.
    QCOMPARE(h.Main->width(), 1010);
    QVERIFY(h.Connect(0, 6));
    QVERIFY(h.Connect(1, 7));
    const int height = h.Main->height();
    QTest::mouseClick(h.Main->BtnHalf, Qt::LeftButton);
    QCOMPARE(h.Main->height(), height);
    // Channel 1's panel, its scroll bars and the ">>" button are whole in view.
    QWidget* client = h.Main->centralWidget();
    QVERIFY(h.Main->width() <= 505 - 2 * 4 + 8);
    const QRect inView = client->rect().intersected(
        QRect(client->mapFrom(h.Main.get(), QPoint(0, 0)), h.Main->size()));
    for (QWidget* w : std::initializer_list<QWidget*>{
             h.Ch(0).Panel, h.Main->BtnFull, h.Ch(0).EmulVT->ScrollBar(), h.Ch(0).InputList,
             h.Ch(0).OutPutList, h.Ch(0).PrnBtn})
        QVERIFY2(inView.contains(QRect(w->mapTo(client, QPoint(0, 0)), w->size())),
                 qPrintable(w->objectName()));
    QVERIFY(h.Main->HalfSize && h.Main->BtnFull->isVisible() && !h.Main->BtnHalf->isVisible());
    QVERIFY(!h.Ser->ComPort2->Connected());
    QCOMPARE(h.Main->StatusText(3), QString("disconnected"));
    QCOMPARE(h.Ch(1).LEDcon->LedCol(), clRed);
    QVERIFY(h.Ser->ComPort1->Connected());
    QTest::mouseClick(h.Main->BtnFull, Qt::LeftButton);
    QCOMPARE(h.Main->width(), 1010);
    QVERIFY(!h.Main->HalfSize && h.Main->BtnHalf->isVisible());
    QVERIFY(!h.Ch(1).ComPortBtn->isChecked()); // stays disconnected
}

void TstMainWindow::terminalFontSizes() {
    AppHarness h;
    QVERIFY(h.Start());
    TEmulVT* vt = h.Ch(0).EmulVT;
    QTest::mouseClick(h.Ch(0).ANSIcheck, Qt::LeftButton);
    QCOMPARE(vt->LineHeight(), 16);
    QCOMPARE(vt->ScrollBar()->maximum(), 7); // 18 of 25 rows fit
    h.Ch(0).ANSIfont9->trigger();
    QVERIFY(!h.Ch(0).ANSIfont12->isChecked());
    QCOMPARE(vt->CharWidth(), 6);
    QCOMPARE(vt->LineHeight(), 12);
    QCOMPARE(vt->ScrollBar()->maximum(), 1);   // 24 rows fit
    QCOMPARE(h.Ch(1).EmulVT->CharWidth(), 12); // the other channel keeps its font
}

void TstMainWindow::ansiReplayStartsFromAFreshInterpreter() {
    AppHarness h;
    QVERIFY(h.Start());
    TChannelUi& c = h.Ch(0);
    QTest::mouseClick(c.ANSIcheck, Qt::LeftButton);
    // Ends with a colour set and inside a sequence, with modes and a region set.
    const std::string history = "\x1b[?7h\x1b[3;20r\x1b[12m\x1b[7m\x0e\x1b[0IHello\x1b[1;2I"
                                "ab\x1b[5;5H\x1b[s\x1b[41mX\x1b[";
    for (char b : history)
        h.Main->AddRxByte1(std::uint8_t(b));
    QTest::mouseClick(c.HEXcheck, Qt::LeftButton);
    QTest::mouseClick(c.ANSIcheck, Qt::LeftButton);

    emulvt::TScreen fresh; // as a newly created view of this window has it
    fresh.SetRecvXlat(false);
    fresh.SetXlatDefault(false);
    fresh.ClearAll();
    fresh.ProcessText(history);
    const emulvt::TScreen& shown = c.EmulVT->Screen();
    for (int r = 0; r < 25; ++r) {
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(shown.RowAt(r).Chars.data()), 80),
                 QByteArray(reinterpret_cast<const char*>(fresh.RowAt(r).Chars.data()), 80));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(shown.RowAt(r).Attrs.data()), 80),
                 QByteArray(reinterpret_cast<const char*>(fresh.RowAt(r).Attrs.data()), 80));
    }
    QCOMPARE(QList<int>({shown.CurRow(), shown.CurCol(), shown.CurAttr(), shown.InSequence(),
                         shown.SavedRow(), shown.RegionTop(), shown.RegionBottom(),
                         shown.AutoWrap(), shown.RecvXlat()}),
             QList<int>({fresh.CurRow(), fresh.CurCol(), fresh.CurAttr(), fresh.InSequence(),
                         fresh.SavedRow(), fresh.RegionTop(), fresh.RegionBottom(),
                         fresh.AutoWrap(), fresh.RecvXlat()}));

    // The view's own "clear Rx" keeps the interpreter's state.
    QTest::mouseClick(c.ClearInpBtn, Qt::LeftButton);
    QVERIFY(c.EmulVT->Screen().AutoWrap());
    QVERIFY(c.EmulVT->Screen().InSequence());
}

void TstMainWindow::everyControlShowsItsWholeText() {
    AppHarness h;
    QVERIFY(h.Start());
    h.Main->BtnFull->show(); // both size buttons are checked
    QStringList cut;
    const auto check = [&cut](QWidget* w, const QString& text, int room) {
        const int need = w->fontMetrics().horizontalAdvance(text);
        if (need > room)
            cut << QString("%1 \"%2\" needs %3 has %4")
                       .arg(w->objectName(), text)
                       .arg(need)
                       .arg(room);
    };
    // The window's own controls and those of its dialogs.
    QList<QWidget*> all = h.Main->centralWidget()->findChildren<QWidget*>();
    all += h.Main->statusBar()->findChildren<QWidget*>();
    all += h.Main->findChild<TAboutBox*>("AboutBox")->findChildren<QWidget*>();
    all += h.Main->SessNameDlg->findChildren<QWidget*>();
    all += h.Main->SelSession->findChildren<QWidget*>();
    for (QWidget* w : all) {
        QStyle* style = w->style();
        if (auto* combo = qobject_cast<QComboBox*>(w)) {
            QStyleOptionComboBox opt;
            opt.initFrom(combo);
            opt.editable = false;
            opt.frame = combo->hasFrame();
            const QRect field = style->subControlRect(QStyle::CC_ComboBox, &opt,
                                                      QStyle::SC_ComboBoxEditField, combo);
            for (int i = 0; i < combo->count(); ++i)
                check(combo, combo->itemText(i), field.width());
        } else if (auto* radio = qobject_cast<QRadioButton*>(w)) {
            QStyleOptionButton opt;
            opt.initFrom(radio);
            const QRect text = style->subElementRect(QStyle::SE_RadioButtonContents, &opt, radio);
            check(radio, radio->text(), text.width());
        } else if (auto* tool = qobject_cast<QToolButton*>(w)) {
            const int icon =
                tool->icon().isNull() || tool->toolButtonStyle() == Qt::ToolButtonTextOnly
                    ? 0
                    : tool->iconSize().width() + 4;
            QStyleOptionToolButton opt;
            opt.initFrom(tool);
            const int frame =
                style->sizeFromContents(QStyle::CT_ToolButton, &opt, QSize(0, 0), tool).width();
            check(tool, tool->text(), tool->width() - frame - icon);
        } else if (auto* push = qobject_cast<QPushButton*>(w)) {
            const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, push) +
                               style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, push);
            check(push, push->text(), push->width() - 2 * margin);
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
            if (label->text().isEmpty() || label->wordWrap()) continue;
            check(label, label->text(),
                  label->contentsRect().width() - 2 * label->margin() -
                      std::max(0, label->indent()));
        }
    }
    for (const QString& c : cut)
        qWarning("cut: %s", qPrintable(c));
    QVERIFY(cut.isEmpty());

    // While connected the port list is locked but its port stays legible.
    QComboBox* port = h.Ch(0).PortCombo;
    port->setCurrentIndex(6);
    port->setEnabled(false);
    const QImage img = port->grab().toImage();
    int darkest = 255;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 4; x < img.width() / 2; ++x)
            darkest = std::min(darkest, qGray(img.pixel(x, y)));
    const int back = qGray(port->palette().color(QPalette::Disabled, QPalette::Button).rgb());
    QVERIFY2(back - darkest >= 110, qPrintable(QString("text %1 on %2").arg(darkest).arg(back)));
}

void TstMainWindow::aboutBoxDrawsItsBevelledPanel() {
    AppHarness h;
    QVERIFY(h.Start());
    TAboutBox* box = h.Main->findChild<TAboutBox*>("AboutBox");
    QVERIFY(box);
    box->resize(298, 254);
    const QImage img = box->grab().toImage();
    QWidget* panel = box->findChild<QWidget*>("Panel1");
    const QRect p = panel->geometry();
    QCOMPARE(p, QRect(8, 8, 281, 203));
    const auto grey = [&img](int x, int y) { return qGray(img.pixel(x, y)); };
    const int face = grey(p.x() + 40, p.bottom() - 4);
    // Lowered outer bevel: dark above and left, light below and right; the
    // raised inner bevel the other way round.
    QVERIFY(grey(p.x() + 100, p.top()) < face);
    QVERIFY(grey(p.left(), p.y() + 100) < face);
    QVERIFY(grey(p.x() + 100, p.bottom()) > face);
    QVERIFY(grey(p.right(), p.y() + 100) > face);
    QVERIFY(grey(p.x() + 100, p.top() + 1) > face);
    QVERIFY(grey(p.left() + 1, p.y() + 100) > face);
    QVERIFY(grey(p.x() + 100, p.bottom() - 1) < face);
    QVERIFY(grey(p.right() - 1, p.y() + 100) < face);
}

void TstMainWindow::testPlaysInfoAnsWithoutHistory() {
    InTempDir cwd;
    AppHarness h;
    QVERIFY(h.Start());
    h.Ch(1).Test->trigger(); // no file: reported, nothing shown
    QCOMPARE(h.Errors.size(), std::size_t(1));
    QVERIFY(QString::fromStdString(h.Errors[0]).contains("Info.ans"));

    cwd.Write("Info.ans", "\x1b[1;31mHi\x1b[0m\r\nthere\x1a\r\nafter");
    TChannelUi& c = h.Ch(0);
    c.Test->trigger();
    // ASCII mode: escape sequences as dots and characters; stops at Ctrl+Z.
    QCOMPARE(c.View->OutPutList().Line(0), std::string(".[1;31mHi.[0m"));
    QCOMPARE(c.View->OutPutList().Line(1), std::string("there"));
    QCOMPARE(c.View->OutPutList().LineCount(), std::uint64_t(2));
    QVERIFY(h.Main->RxData1().empty()); // not in the history
    QTest::mouseClick(c.ANSIcheck, Qt::LeftButton);
    c.Test->trigger();
    QCOMPARE(c.EmulVT->Screen().RowAt(0).Chars[0], std::uint8_t('H'));
    QCOMPARE(c.EmulVT->Screen().RowAt(0).Attrs[0], std::uint8_t(0x09)); // bright red
}

void TstMainWindow::printButtons() {
    InTempDir cwd;
    AppHarness h;
    QVERIFY(h.Start());
    auto* fake = new TFakePrintDialog(cwd.dir.filePath("paper.pdf"));
    h.Main->PrintDialog.reset(fake);
    fake->SetAnswer(true);
    QTest::mouseClick(h.Ch(0).PrnBtn, Qt::LeftButton); // empty view: no dialog
    QCOMPARE(fake->ShownCount(), 0);
    for (int i = 0; i < 30; ++i)
        h.Main->AddRxByte1(std::uint8_t(i));
    QTest::mouseClick(h.Ch(0).HEXcheck, Qt::LeftButton);
    QTest::mouseClick(h.Ch(0).PrnBtn, Qt::LeftButton);
    QCOMPARE(fake->ShownCount(), 1);
    QTRY_VERIFY(QFileInfo(cwd.dir.filePath("paper.pdf")).size() > 0);

    // ANSI mode to a file: the file named in the dialog is the one written,
    // a PDF unless its name ends in .bmp.
    fake->SetPrintToFile(true, cwd.dir.filePath("out.pdf"));
    cwd.Write("ANSI200.bmp", "taken");
    QTest::mouseClick(h.Ch(1).ANSIcheck, Qt::LeftButton);
    for (char b : std::string("\x1b[44m picture "))
        h.Main->AddRxByte2(std::uint8_t(b));
    QTest::mouseClick(h.Ch(1).PrnBtn, Qt::LeftButton);
    QFile pdf(cwd.dir.filePath("out.pdf"));
    QVERIFY(pdf.open(QIODevice::ReadOnly));
    QVERIFY(pdf.read(5) == "%PDF-");
    QVERIFY(!QFile::exists(cwd.dir.filePath("ANSI201.bmp")));
    fake->SetPrintToFile(true, cwd.dir.filePath("shot.BMP"));
    QTest::mouseClick(h.Ch(1).PrnBtn, Qt::LeftButton);
    QImageReader bmp(cwd.dir.filePath("shot.BMP"));
    QCOMPARE(bmp.format(), QByteArray("bmp"));
    QCOMPARE(bmp.size(), h.Ch(1).EmulVT->size());
    QVERIFY(!QFile::exists(cwd.dir.filePath("ANSI201.bmp")));
    QVERIFY(h.Errors.empty());
}

void TstMainWindow::closeClosesPortsBeforeSaving() {
    AppHarness h;
    QVERIFY(h.Start());
    Pty pty;
    QVERIFY(h.ConnectTo(0, 0, pty.SlavePath));
    bool iniExistedAtClose = true;
    h.Ser->ComPort1->OnAfterClose = [&](TCustomComPort*) {
        iniExistedAtClose = QFile::exists(h.IniPath());
    };
    h.Close();
    QVERIFY(!h.Ser->ComPort1->Connected());
    QVERIFY(!iniExistedAtClose);
    QVERIFY(QFile::exists(h.IniPath()));
}

void TstMainWindow::failingSendGoesToErrorReport() {
    AppHarness h;
    QVERIFY(h.Start());
    // Not caught by the serial module: it reaches the error report, never the event loop.
    TChannelUi& c = h.Ch(0);
    c.InputList->setEnabled(true);
    c.InputList->setFocus();
    QTest::keyClick(c.InputList, Qt::Key_A);
    QCOMPARE(h.Errors.size(), std::size_t(1));
    QVERIFY2(h.Errors[0].rfind("WriteFile function failed", 0) == 0, h.Errors[0].c_str());
}

QTEST_MAIN(TstMainWindow)
#include "tst_mainwindow.moc"
