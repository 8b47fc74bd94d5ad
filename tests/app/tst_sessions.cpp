// Sessions with the real window and a real settings file in a temporary
// program directory.
#include "AppHarness.h"
#include "ChannelView.h"
#include "DLGSelect.h"
#include "DlgSess.h"
#include "EmulVT.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <csignal>

namespace {
QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteFile(const QString& path, const QByteArray& text) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
}

// Runs `during` once the next modal dialog is up.
void WhenModal(std::function<void()> during) {
    QTimer::singleShot(0, [during] { during(); });
}
} // namespace

class TstSessions : public QObject {
    Q_OBJECT
private slots:
    void firstStartGivesDefaultsAndWritesSections();
    void savedSessionComesBack();
    void positionNeedsBothValuesPositive();
    void storedValuesAreCheckedOnLoad();
    void openingAnotherSessionDropsUnsavedChanges();
    void deletingRemovesEntryAndSectionButNeverTheCurrent();
    void newSessionNameRules();
    void sessionNameFromCommandLine();
    void garbageFileStartsWithDefaultsAndIsNotCorrupted();
    void readOnlyFileIsLeftAlone();
    void sigtermSavesAndExitsZero();
};

void TstSessions::firstStartGivesDefaultsAndWritesSections() {
    AppHarness h;
    QVERIFY(h.Start());
    TTermMain& m = *h.Main;
    QCOMPARE(m.windowTitle(), QString("Varnex Dual Terminal [noname]"));
    for (int ch = 0; ch < 2; ++ch) {
        TChannelUi& c = h.Ch(ch);
        QCOMPARE(c.PortCombo->currentText(), QString("COM1"));
        QCOMPARE(c.BaudCombo->currentText(), QString("9600Bd"));
        QCOMPARE(c.ParityCombo->currentText(), QString("none"));
        QCOMPARE(c.DataBitsCombo->currentText(), QString("8 Bits"));
        QCOMPARE(c.StopBitCombo->currentText(), QString("2 Bits"));
        QCOMPARE(c.HskCombo->currentText(), QString("none"));
        QVERIFY(!c.RTSbtn->isChecked());
        QVERIFY(!c.DTRbtn->isChecked());
        QVERIFY(c.ASCIIcheck->isChecked());
        QVERIFY(c.ANSIfont12->isChecked());
        QCOMPARE(c.EmulVT->CharWidth(), 12);
    }
    QVERIFY(m.showHintsItem->isChecked());
    QVERIFY(!m.HalfSize);
    h.Close();
    const QByteArray text = ReadFile(h.IniPath());
    const QByteArray expected = "[Sessions]\r\nnoname= \r\n"
                                "[Options]\r\nHints=True\r\nANSIfont1=12\r\nANSIfont2=12\r\n"
                                "[noname]\r\nPosX=";
    QVERIFY2(text.startsWith(expected), text.constData());
    const char* order[] = {"PosX=",      "PosY=",      "HalfSize=False", "Port1=0",    "Port2=0",
                           "Baud1=6",    "Baud2=6",    "Parity1=0",      "Parity2=0",  "Data1=3",
                           "Data2=3",    "Stop1=2",    "Stop2=2",        "HSK1=0",     "HSK2=0",
                           "RTS1=False", "RTS2=False", "DTR1=False",     "DTR2=False", "Mode1=0",
                           "Mode2=0"};
    qsizetype at = text.indexOf("[noname]");
    for (const char* entry : order) {
        const qsizetype next = text.indexOf(entry, at);
        QVERIFY2(next > at, entry);
        at = next;
    }
}

void TstSessions::savedSessionComesBack() {
    QTemporaryDir dir;
    {
        AppHarness h({}, dir.path());
        QVERIFY(h.Start());
        TChannelUi& c1 = h.Ch(0);
        TChannelUi& c2 = h.Ch(1);
        c1.PortCombo->setCurrentIndex(6);
        c1.BaudCombo->setCurrentIndex(12);
        c2.BaudCombo->setCurrentIndex(13);
        c1.ParityCombo->setCurrentIndex(2);
        c2.DataBitsCombo->setCurrentIndex(0);
        c2.StopBitCombo->setCurrentIndex(0);
        c1.RTSbtn->setChecked(true);
        c2.DTRbtn->setChecked(true);
        QTest::mouseClick(c1.ANSIcheck, Qt::LeftButton);
        QTest::mouseClick(c2.BothCheck, Qt::LeftButton);
        c1.ANSIfont9->trigger();
        h.Main->showHintsItem->trigger();
        h.Main->BtnHalf->click();
        h.Main->move(140, 150);
        h.Close();
    }
    AppHarness h({}, dir.path());
    QVERIFY(h.Start());
    TChannelUi& c1 = h.Ch(0);
    TChannelUi& c2 = h.Ch(1);
    QCOMPARE(c1.PortCombo->currentIndex(), 6);
    QCOMPARE(h.Ser->PortName1, std::string("COM7"));
    QCOMPARE(c1.BaudCombo->currentIndex(), 12);
    QCOMPARE(h.Ser->ComPort1->BaudRate(), br115200);
    QCOMPARE(h.Ser->ComPort2->BaudRate(), br256000);
    QCOMPARE(h.Ser->ComPort1->Parity().Bits(), prEven);
    QCOMPARE(h.Ser->ComPort2->DataBits(), dbFive);
    QCOMPARE(h.Ser->ComPort2->StopBits(), sbOneStopBit);
    QVERIFY(c1.RTSbtn->isChecked());
    QVERIFY(!c1.DTRbtn->isChecked());
    QVERIFY(c2.DTRbtn->isChecked());
    QVERIFY(!h.Ser->ComPort1->Connected()); // lines untouched until a connect
    QVERIFY(!c1.ComPortBtn->isChecked());
    QCOMPARE(h.Main->Mode1(), 3);
    QVERIFY(c1.ANSIcheck->isChecked());
    QVERIFY(c1.EmulVT->isVisible());
    QCOMPARE(h.Main->Mode2(), 2);
    QVERIFY(c2.BothCheck->isChecked());
    QVERIFY(c1.ANSIfont9->isChecked());
    QCOMPARE(c1.EmulVT->CharWidth(), 6);
    QCOMPARE(c1.EmulVT->LineHeight(), 12);
    QVERIFY(c2.ANSIfont12->isChecked());
    QVERIFY(!h.Main->showHintsItem->isChecked());
    QVERIFY(h.Main->HalfSize);
    QVERIFY(h.Main->BtnFull->isVisible());
    QCOMPARE(h.Main->pos(), QPoint(140, 150));
}

void TstSessions::positionNeedsBothValuesPositive() {
    AppHarness h;
    WriteFile(h.IniPath(), "[noname]\nPosX=0\nPosY=100\n");
    h.Main->move(33, 44);
    QVERIFY(h.Start());
    QCOMPARE(h.Main->pos(), QPoint(33, 44));
}

void TstSessions::storedValuesAreCheckedOnLoad() {
    AppHarness h;
    WriteFile(h.IniPath(), "[noname]\r\nBaud2=13\r\nBaud1=fast\r\nParity1=9\r\nData2=-4\r\n"
                           "Mode2=7\r\nStop1=$1\r\n[Options]\r\nANSIfont2=10\r\nHints=maybe\r\n");
    QVERIFY(h.Start());
    QCOMPARE(h.Ch(1).BaudCombo->currentText(), QString("256000Bd"));
    QCOMPARE(h.Ser->ComPort2->BaudRate(), br256000);
    QCOMPARE(h.Ch(0).BaudCombo->currentIndex(), 6);    // not a number: the default
    QCOMPARE(h.Ch(0).ParityCombo->currentIndex(), -1); // outside the items: no selection
    QCOMPARE(h.Ser->ComPort1->Parity().Bits(), prNone);
    QCOMPARE(h.Ch(1).DataBitsCombo->currentIndex(), -1);
    QCOMPARE(h.Ch(0).StopBitCombo->currentIndex(), 1); // "$1" is hex
    QCOMPARE(h.Main->Mode2(), 7);
    QVERIFY(h.Ch(1).ASCIIcheck->isChecked()); // radio buttons unchanged
    QVERIFY(h.Ch(1).ANSIfont12->isChecked());
    QVERIFY(!h.Main->showHintsItem->isChecked()); // an unknown text reads as false
    QVERIFY(h.Errors.empty());
}

void TstSessions::openingAnotherSessionDropsUnsavedChanges() {
    AppHarness h;
    WriteFile(h.IniPath(), "[Sessions]\r\nnoname= \r\nLab= \r\n[Lab]\r\nBaud1=2\r\nMode1=1\r\n");
    QVERIFY(h.Start());
    h.Ch(0).BaudCombo->setCurrentIndex(9);
    const QByteArray before = ReadFile(h.IniPath());
    WhenModal([&] {
        TSelSession* dlg = h.Main->SelSession;
        QCOMPARE(dlg->SessionList->count(), 2);
        QVERIFY(!dlg->OKBtn->isEnabled());
        dlg->SessionList->setCurrentRow(1);
        QVERIFY(dlg->OKBtn->isEnabled());
        dlg->OKBtn->click();
    });
    h.Main->openSessionItem->trigger();
    QCOMPARE(h.Main->SessionName, QString("Lab"));
    QCOMPARE(h.Main->windowTitle(), QString("Varnex Dual Terminal [Lab]"));
    QCOMPARE(h.Ch(0).BaudCombo->currentIndex(), 2);
    QVERIFY(h.Ch(0).HEXcheck->isChecked());
    QCOMPARE(ReadFile(h.IniPath()), before); // nothing written
}

void TstSessions::deletingRemovesEntryAndSectionButNeverTheCurrent() {
    AppHarness h({"NoName.cfg"});
    WriteFile(h.IniPath(), "[Sessions]\r\nnoname= \r\nold= \r\n[old]\r\nBaud1=2\r\n[noname]\r\n"
                           "Baud1=3\r\n");
    QVERIFY(h.Start());
    QCOMPARE(h.Main->SessionName, QString("NoName"));
    TSelSession* dlg = h.Main->SelSession;
    dlg->FormShow();
    dlg->SessionList->setCurrentRow(0); // "noname": the current one in another case
    dlg->SessionListClick();
    QVERIFY(dlg->OKBtn->isEnabled());
    QVERIFY(!dlg->DelBtn->isEnabled());
    dlg->DelBtnClick();
    QCOMPARE(dlg->SessionList->count(), 2);
    dlg->SessionList->setCurrentRow(1);
    dlg->SessionListClick();
    QVERIFY(dlg->DelBtn->isEnabled());
    dlg->DelBtn->click();
    QCOMPARE(dlg->SessionList->count(), 1);
    QCOMPARE(dlg->SelectedSession, QString("old"));
    QVERIFY(!dlg->DelBtn->isEnabled());
    QVERIFY(!dlg->OKBtn->isEnabled());
    const QByteArray text = ReadFile(h.IniPath());
    QVERIFY(!text.contains("old"));
    QVERIFY(text.contains("[noname]\r\nBaud1=3"));
}

void TstSessions::newSessionNameRules() {
    AppHarness h;
    QVERIFY(h.Start());
    QStringList shown;
    TSessNameDlg::ErrorBox = [&](QWidget*, const QString& text) { shown << text; };
    TSessNameDlg* dlg = h.Main->SessNameDlg;
    auto tryName = [&](const QString& name) {
        WhenModal([&, name] {
            dlg->SessEdit->setText(name);
            dlg->OKBtn->click();
            if (dlg->isVisible()) dlg->CancelBtn->click();
        });
        h.Main->newSession1->trigger();
    };
    tryName("ab");
    QCOMPARE(shown, QStringList{"name too short"});
    QVERIFY(!QFile::exists(h.IniPath()));
    for (const QString& bad : {QString("a]b"), QString("x=y"), QString(" lead"), QString("OPTIONS"),
                               QString("ports"), QString("tab\there"), QString(300, 'n')}) {
        shown.clear();
        tryName(bad);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(h.Main->SessionName, QString("noname"));
    }
    QVERIFY(!QFile::exists(h.IniPath()));
    shown.clear();
    tryName("abc");
    QVERIFY(shown.isEmpty());
    QCOMPARE(h.Main->SessionName, QString("abc"));
    QCOMPARE(h.Main->windowTitle(), QString("Varnex Dual Terminal [noname]"));
    QVERIFY(ReadFile(h.IniPath()).contains("[abc]"));
    // The field keeps what was typed last.
    QCOMPARE(dlg->SessEdit->text(), QString("abc"));
    TSessNameDlg::ErrorBox = {};
}

void TstSessions::sessionNameFromCommandLine() {
    {
        AppHarness h({"C:\\data\\lab test.cfg"});
        QVERIFY(h.Start());
        QCOMPARE(h.Main->SessionName, QString("lab test"));
    }
    {
        AppHarness h({"C:\\data\\lab", "test.cfg"});
        QVERIFY(h.Start());
        QCOMPARE(h.Main->SessionName, QString("lab test"));
        QCOMPARE(h.Main->windowTitle(), QString("Varnex Dual Terminal [lab test]"));
    }
    {
        AppHarness h({"/home/me/Sessions.ini"}); // would share the session list's section
        QVERIFY(h.Start());
        QCOMPARE(h.Main->SessionName, QString("noname"));
    }
}

void TstSessions::garbageFileStartsWithDefaultsAndIsNotCorrupted() {
    AppHarness h;
    QByteArray garbage(
        "; my notes\r\n[noname\r\n=\r\n\x01\x02\xff\r\n[noname]\r\nBaud1=99999999999\r\n"
        "[noname]\r\nBaud1=3\r\n");
    garbage.append(QByteArray(100000, 'x'));
    garbage.append("\r\n[Options]\r\nHints=False");
    WriteFile(h.IniPath(), garbage);
    QVERIFY(h.Start());
    QCOMPARE(h.Ch(0).BaudCombo->currentIndex(), 6); // overflow: the default; first section wins
    QVERIFY(!h.Main->showHintsItem->isChecked());
    h.Close();
    const QByteArray after = ReadFile(h.IniPath());
    QVERIFY(after.startsWith("; my notes\r\n"));
    QVERIFY(after.contains(QByteArray(100000, 'x')));
    QVERIFY(after.contains("[Sessions]\r\nnoname= \r\n"));
}

void TstSessions::readOnlyFileIsLeftAlone() {
    AppHarness h;
    const QByteArray text("[noname]\r\nBaud1=4\r\n");
    WriteFile(h.IniPath(), text);
    QFile::setPermissions(h.IniPath(), QFile::ReadOwner);
    QFile::setPermissions(h.Dir, QFile::ReadOwner | QFile::ExeOwner);
    QVERIFY(h.Start());
    QCOMPARE(h.Ch(0).BaudCombo->currentIndex(), 4);
    h.Close();
    QFile::setPermissions(h.Dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (::geteuid() != 0) QCOMPARE(ReadFile(h.IniPath()), text); // root writes anyway
    QVERIFY(h.Errors.empty());
}

void TstSessions::sigtermSavesAndExitsZero() {
    QTemporaryDir dir;
    const QString exe = dir.filePath("zelmar");
    QVERIFY(QFile::copy(ZELMAR_BIN, exe));
    QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    WriteFile(dir.filePath("Zelmar.ini"),
              "[Sessions]\r\nbench= \r\n[bench]\r\nBaud1=13\r\nMode2=2\r\nRTS1=True\r\n");
    QProcess proc;
    proc.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    proc.setProcessEnvironment(env);
    proc.start(exe, {"bench"});
    QVERIFY(proc.waitForStarted(5000));
    QTest::qWait(1500); // up and painted
    QElapsedTimer t;
    t.start();
    ::kill(static_cast<pid_t>(proc.processId()), SIGTERM);
    QVERIFY(proc.waitForFinished(2000));
    QVERIFY(t.elapsed() < 2000);
    QCOMPARE(proc.exitStatus(), QProcess::NormalExit);
    QCOMPARE(proc.exitCode(), 0);
    const QByteArray text = ReadFile(dir.filePath("Zelmar.ini"));
    QVERIFY2(text.contains("[Sessions]\r\nbench= \r\n"), text.constData());
    QVERIFY(text.contains("Baud1=13"));
    QVERIFY(text.contains("Mode2=2"));
    QVERIFY(text.contains("RTS1=True"));
    QVERIFY(text.contains("Port1=0"));
}

QTEST_MAIN(TstSessions)
#include "tst_sessions.moc"
