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
} // namespace

class TstSessions : public QObject {
    Q_OBJECT
private slots:
    void firstStartGivesDefaultsAndWritesSections();
    void savedSessionComesBack();
    void storedValuesAreCheckedOnLoad();
    void openAndDeleteSessions();
    void newSessionNameRules();
    void sessionNameFromCommandLine();
    void unusableFilesAreSurvived();
    void sigtermSavesAndExitsZero();
};

void TstSessions::firstStartGivesDefaultsAndWritesSections() {
    AppHarness h;
    QVERIFY(h.Start());
    QCOMPARE(h.Main->windowTitle(), QString("Varnex Dual Terminal [noname]"));
    for (int ch = 0; ch < 2; ++ch) {
        TChannelUi& c = h.Ch(ch);
        const QStringList shown{c.PortCombo->currentText(),    c.BaudCombo->currentText(),
                                c.ParityCombo->currentText(),  c.DataBitsCombo->currentText(),
                                c.StopBitCombo->currentText(), c.HskCombo->currentText()};
        QCOMPARE(shown, (QStringList{"COM1", "9600Bd", "none", "8 Bits", "2 Bits", "none"}));
        QVERIFY(!c.RTSbtn->isChecked() && !c.DTRbtn->isChecked());
        QVERIFY(c.ASCIIcheck->isChecked() && c.ANSIfont12->isChecked());
    }
    QVERIFY(h.Main->showHintsItem->isChecked() && !h.Main->HalfSize);
    h.Close();
    const QByteArray text = ReadFile(h.IniPath());
    QVERIFY2(text.startsWith("[Sessions]\r\nnoname= \r\n"
                             "[Options]\r\nHints=True\r\nANSIfont1=12\r\nANSIfont2=12\r\n"
                             "[noname]\r\nPosX="),
             text.constData());
    qsizetype at = text.indexOf("[noname]");
    for (const char* entry :
         {"PosX=",      "PosY=",     "HalfSize=False", "Port1=0",    "Port2=0",    "Baud1=6",
          "Baud2=6",    "Parity1=0", "Parity2=0",      "Data1=3",    "Data2=3",    "Stop1=2",
          "Stop2=2",    "HSK1=0",    "HSK2=0",         "RTS1=False", "RTS2=False", "DTR1=False",
          "DTR2=False", "Mode1=0",   "Mode2=0"}) {
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
        h.Ch(0).PortCombo->setCurrentIndex(6);
        h.Ch(0).BaudCombo->setCurrentIndex(12);
        h.Ch(1).BaudCombo->setCurrentIndex(13);
        h.Ch(0).ParityCombo->setCurrentIndex(2);
        h.Ch(1).DataBitsCombo->setCurrentIndex(0);
        h.Ch(1).StopBitCombo->setCurrentIndex(0);
        h.Ch(0).RTSbtn->setChecked(true);
        h.Ch(1).DTRbtn->setChecked(true);
        QTest::mouseClick(h.Ch(0).ANSIcheck, Qt::LeftButton);
        QTest::mouseClick(h.Ch(1).BothCheck, Qt::LeftButton);
        h.Ch(0).ANSIfont9->trigger();
        h.Main->showHintsItem->trigger();
        h.Main->BtnHalf->click();
        h.Main->move(140, 150);
        h.Close();
    }
    AppHarness h({}, dir.path());
    QVERIFY(h.Start());
    TComPortN& p1 = *h.Ser->ComPort1;
    TComPortN& p2 = *h.Ser->ComPort2;
    QCOMPARE(h.Ser->PortName1, std::string("COM7"));
    QCOMPARE(p1.BaudRate(), br115200);
    QCOMPARE(p2.BaudRate(), br256000);
    QCOMPARE(p1.Parity().Bits(), prEven);
    QCOMPARE(p2.DataBits(), dbFive);
    QCOMPARE(p2.StopBits(), sbOneStopBit);
    QVERIFY(h.Ch(0).RTSbtn->isChecked() && !h.Ch(0).DTRbtn->isChecked());
    QVERIFY(h.Ch(1).DTRbtn->isChecked());
    QVERIFY(!p1.Connected()); // the lines are set at the next connect only
    QCOMPARE(h.Main->Mode1(), 3);
    QVERIFY(h.Ch(0).ANSIcheck->isChecked() && h.Ch(0).EmulVT->isVisible());
    QCOMPARE(h.Main->Mode2(), 2);
    QVERIFY(h.Ch(0).ANSIfont9->isChecked());
    QCOMPARE(h.Ch(0).EmulVT->LineHeight(), 12);
    QVERIFY(!h.Main->showHintsItem->isChecked());
    QVERIFY(h.Main->HalfSize && h.Main->BtnFull->isVisible());
    QCOMPARE(h.Main->pos(), QPoint(140, 150));
}

void TstSessions::storedValuesAreCheckedOnLoad() {
    AppHarness h;
    WriteFile(h.IniPath(), "[noname]\r\nBaud2=13\r\nBaud1=fast\r\nParity1=9\r\nData2=-4\r\n"
                           "Mode2=7\r\nStop1=$1\r\nPosX=0\r\nPosY=100\r\n"
                           "[Options]\r\nANSIfont2=10\r\nHints=maybe\r\n");
    h.Main->move(33, 44);
    QVERIFY(h.Start());
    QCOMPARE(h.Main->pos(), QPoint(33, 44)); // PosX 0: position kept
    QCOMPARE(h.Ser->ComPort2->BaudRate(), br256000);
    QCOMPARE(h.Ch(0).BaudCombo->currentIndex(), 6);    // not a number: the default
    QCOMPARE(h.Ch(0).ParityCombo->currentIndex(), -1); // outside the items: none
    QCOMPARE(h.Ser->ComPort1->Parity().Bits(), prNone);
    QCOMPARE(h.Ch(1).DataBitsCombo->currentIndex(), -1);
    QCOMPARE(h.Ch(0).StopBitCombo->currentIndex(), 1); // "$1" is hex
    QCOMPARE(h.Main->Mode2(), 7);
    QVERIFY(h.Ch(1).ASCIIcheck->isChecked()); // radio buttons unchanged
    QVERIFY(h.Ch(1).ANSIfont12->isChecked());
    QVERIFY(!h.Main->showHintsItem->isChecked()); // an unknown text reads as false
    QVERIFY(h.Errors.empty());
}

void TstSessions::openAndDeleteSessions() {
    AppHarness h({"NoName.cfg"});
    WriteFile(h.IniPath(), "[Sessions]\r\nnoname= \r\nLab= \r\nold= \r\n[Lab]\r\nBaud1=2\r\n"
                           "Mode1=1\r\n[old]\r\nBaud1=4\r\n[noname]\r\nBaud1=3\r\n");
    QVERIFY(h.Start());
    QCOMPARE(h.Main->SessionName, QString("NoName"));
    TSelSession* dlg = h.Main->SelSession;
    dlg->FormShow();
    QCOMPARE(dlg->SessionList->count(), 3);
    QVERIFY(!dlg->OKBtn->isEnabled());
    dlg->SessionList->setCurrentRow(0); // the current session in another letter case
    QVERIFY(dlg->OKBtn->isEnabled() && !dlg->DelBtn->isEnabled());
    dlg->SessionList->setCurrentRow(2);
    dlg->DelBtn->click();
    QCOMPARE(dlg->SessionList->count(), 2);
    QVERIFY(!dlg->DelBtn->isEnabled() && !dlg->OKBtn->isEnabled());
    QByteArray text = ReadFile(h.IniPath());
    QVERIFY(!text.contains("old") && text.contains("[noname]\r\nBaud1=3"));

    h.Ch(0).BaudCombo->setCurrentIndex(9); // unsaved: dropped by the open
    QTimer::singleShot(0, [dlg] {
        dlg->SessionList->setCurrentRow(1);
        dlg->OKBtn->click();
    });
    h.Main->openSessionItem->trigger();
    QCOMPARE(h.Main->windowTitle(), QString("Varnex Dual Terminal [Lab]"));
    QCOMPARE(h.Ch(0).BaudCombo->currentIndex(), 2);
    QVERIFY(h.Ch(0).HEXcheck->isChecked());
    QCOMPARE(ReadFile(h.IniPath()), text); // nothing written
}

void TstSessions::newSessionNameRules() {
    AppHarness h;
    QVERIFY(h.Start());
    QStringList shown;
    TSessNameDlg::ErrorBox = [&](QWidget*, const QString& text) { shown << text; };
    TSessNameDlg* dlg = h.Main->SessNameDlg;
    auto tryName = [&](const QString& name) {
        shown.clear();
        QTimer::singleShot(0, [&, name] {
            dlg->SessEdit->setText(name);
            dlg->OKBtn->click();
            if (dlg->isVisible()) dlg->CancelBtn->click();
        });
        h.Main->newSession1->trigger();
    };
    tryName("ab");
    QCOMPARE(shown, QStringList{"name too short"});
    for (const QString& bad : {QString("a]b"), QString("x=y"), QString(" lead"), QString("OPTIONS"),
                               QString("ports"), QString("tab\there"), QString(300, 'n')}) {
        tryName(bad);
        QCOMPARE(shown.size(), 1);
    }
    QCOMPARE(h.Main->SessionName, QString("noname"));
    QVERIFY(!QFile::exists(h.IniPath()));
    tryName("abc");
    QVERIFY(shown.isEmpty());
    QCOMPARE(h.Main->SessionName, QString("abc"));
    QCOMPARE(h.Main->windowTitle(), QString("Varnex Dual Terminal [noname]"));
    QVERIFY(ReadFile(h.IniPath()).contains("[abc]"));
    TSessNameDlg::ErrorBox = {};
}

void TstSessions::sessionNameFromCommandLine() {
    const std::pair<QStringList, QString> cases[] = {
        {{"C:\\data\\lab test.cfg"}, "lab test"},
        {{"C:\\data\\lab", "test.cfg"}, "lab test"},
        {{"/home/me/Sessions.ini"}, "noname"}, // would share the session list's section
    };
    for (const auto& [args, name] : cases) {
        AppHarness h(args);
        QVERIFY(h.Start());
        QCOMPARE(h.Main->SessionName, name);
        QCOMPARE(h.Main->windowTitle(), "Varnex Dual Terminal [" + name + "]");
    }
}

void TstSessions::unusableFilesAreSurvived() {
    {
        AppHarness h; // garbage: defaults where unusable, nothing of it lost
        QByteArray garbage(
            "; notes\r\n[noname\r\n=\r\n\x01\xff\r\n[noname]\r\nBaud1=99999999999\r\n"
            "[noname]\r\nBaud1=3\r\n");
        garbage.append(QByteArray(100000, 'x')).append("\r\n[Options]\r\nHints=False");
        WriteFile(h.IniPath(), garbage);
        QVERIFY(h.Start());
        QCOMPARE(h.Ch(0).BaudCombo->currentIndex(), 6); // overflow; the first section counts
        QVERIFY(!h.Main->showHintsItem->isChecked());
        h.Close();
        const QByteArray after = ReadFile(h.IniPath());
        QVERIFY(after.startsWith("; notes\r\n") && after.contains(QByteArray(100000, 'x')));
        QVERIFY(after.contains("[Sessions]\r\nnoname= \r\n"));
    }
    AppHarness h; // read-only file and directory
    WriteFile(h.IniPath(), "[noname]\r\nBaud1=4\r\n");
    QFile::setPermissions(h.IniPath(), QFile::ReadOwner);
    QFile::setPermissions(h.Dir, QFile::ReadOwner | QFile::ExeOwner);
    QVERIFY(h.Start());
    QCOMPARE(h.Ch(0).BaudCombo->currentIndex(), 4);
    h.Close();
    QFile::setPermissions(h.Dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(ReadFile(h.IniPath()), QByteArray("[noname]\r\nBaud1=4\r\n"));
    // The user is told once, with the file and the reason.
    QCOMPARE(h.Errors,
             (std::vector<std::string>{"Settings not saved: " + h.IniPath().toStdString() +
                                       ": Permission denied"}));
}

void TstSessions::sigtermSavesAndExitsZero() {
    QTemporaryDir dir;
    const QString exe = dir.filePath("zelmar");
    QVERIFY(QFile::copy(ZELMAR_BIN, exe));
    QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    WriteFile(dir.filePath("Zelmar.ini"),
              "[Sessions]\r\nbench= \r\n[bench]\r\nBaud1=13\r\nMode2=2\r\nRTS1=True\r\n");
    // Started, stopped by SIGTERM (saving as a close does), then once more:
    // the second run loads what the first saved and saves it again.
    for (int run = 0; run < 2; ++run) {
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
        for (const char* kept :
             {"[Sessions]\r\nbench= \r\n", "Baud1=13", "Mode2=2", "RTS1=True", "Port1=0"})
            QVERIFY2(text.contains(kept), text.constData());
    }
}

QTEST_MAIN(TstSessions)
#include "tst_sessions.moc"
