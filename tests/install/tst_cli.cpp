// The program as a Linux command: options, the settings location of a portable
// and of an installed copy, and the signals that close it. The real executable
// runs in temporary directories laid out like a portable folder or an
// installation prefix.
#include "AppHarness.h"
#include "AppPlatform.h"
#include "CommandLine.h"
#include "InfoDlg.h"
#include "SettingsPath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int Mode(const QString& path) {
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Everything below `dir`, relative, sorted.
QStringList Tree(const QString& dir) {
    QStringList out;
    for (const QFileInfo& fi : QDir(dir).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                       QDir::Hidden | QDir::System)) {
        out << fi.fileName();
        if (fi.isDir())
            for (const QString& sub : Tree(fi.filePath()))
                out << fi.fileName() + "/" + sub;
    }
    out.sort();
    return out;
}

// An environment without any display, so a window would fail to open.
QProcessEnvironment Headless(const QString& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_CONFIG_HOME"})
        env.remove(v);
    env.insert("HOME", home);
    return env;
}

struct Run {
    int Code = -1;
    QByteArray Out, Err;
};

Run RunToEnd(const QString& exe, const QStringList& args, const QProcessEnvironment& env) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(exe, args);
    Run r;
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.Code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.Out = p.readAllStandardOutput();
    r.Err = p.readAllStandardError();
    return r;
}

// Starts the program offscreen, lets it load its session, sends `sig` and
// returns the exit code (-1 for a crash or a signal death, -2 still running
// 2 s later).
int RunUntilSignal(const QString& exe, const QStringList& args, QProcessEnvironment env, int sig,
                   bool ignoreHangUp = false) {
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(QFileInfo(exe).path());
    if (ignoreHangUp) p.setChildProcessModifier([] { ::signal(SIGHUP, SIG_IGN); });
    p.start(exe, args);
    if (!p.waitForStarted(5000)) return -1;
    QTest::qWait(1500); // up and painted: the session is loaded
    ::kill(static_cast<pid_t>(p.processId()), sig);
    if (!p.waitForFinished(2000)) { // a signal close is prompt
        ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
        p.waitForFinished(3000);
        return -2;
    }
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace

class TstCli : public QObject {
    Q_OBJECT
private slots:
    void optionsComeFirst();
    void settingsLocationRules();
    void privateDirectoryAndDataFiles();
    void helpVersionAndWrongOptionsTouchNothing();
    void signalsCloseAndSave();
    void signalBeforeTheLoadWaitsForIt();
    void installedCopyKeepsSettingsInConfigDir();
};

void TstCli::optionsComeFirst() {
    using cmdline::Action;
    struct Case {
        std::vector<const char*> args;
        Action what;
        std::vector<std::string> session;
        std::string bad;
    };
    const Case cases[] = {
        {{}, Action::Run, {}, ""},
        {{"lab", "test.cfg"}, Action::Run, {"lab", "test.cfg"}, ""},
        {{"-h"}, Action::Help, {}, ""},
        {{"lab", "--help", "--bogus"}, Action::Help, {}, ""}, // acts when met
        {{"--version"}, Action::Version, {}, ""},
        {{"--bogus", "--help"}, Action::Error, {}, "--bogus"},
        {{"lab", "-x"}, Action::Error, {}, "-x"},
        {{"-"}, Action::Error, {}, "-"},
        {{"--help=1"}, Action::Error, {}, "--help=1"},
        {{"-platform", "offscreen"}, Action::Error, {}, "-platform"},
        {{"--", "-x"}, Action::Run, {"-x"}, ""},
        {{"a", "--", "--help", "--", "-"}, Action::Run, {"a", "--help", "--", "-"}, ""},
        {{"", "b"}, Action::Run, {"", "b"}, ""},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv{"zelmar"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const cmdline::Parsed p = cmdline::Parse(int(argv.size()), argv.data());
        const QByteArray what = QByteArray::number(int(c.args.size())) + " args, first " +
                                (c.args.empty() ? "none" : c.args[0]);
        QVERIFY2(p.What == c.what, what);
        QVERIFY2(p.SessionArgs == c.session, what);
        QCOMPARE(p.BadOption, c.bad);
    }
}

void TstCli::settingsLocationRules() {
    QTemporaryDir t;
    const std::string root = t.path().toStdString();
    const std::string prefixBin = root + "/usr/bin";
    QVERIFY(WriteFile(t.path() + "/usr/share/zelmar/Info.ans", "x"));
    QDir().mkpath(t.path() + "/usr/bin");
    QDir().mkpath(t.path() + "/tools/bin"); // named bin, but no data directory beside
    QDir().mkpath(t.path() + "/home/.config/varnex");
    using settingspath::Resolve;

    QVERIFY(settingspath::IsInstalledCopy(prefixBin));
    QVERIFY(!settingspath::IsInstalledCopy(root + "/tools/bin"));
    QVERIFY(!settingspath::IsInstalledCopy(root + "/usr/share/zelmar")); // not a bin directory
    // Portable copies keep the file beside themselves, whatever the environment says.
    QCOMPARE(Resolve(root + "/tools/bin", "/x", "/h").File, root + "/tools/bin/Zelmar.ini");
    QCOMPARE(Resolve("/", nullptr, "/h").File, std::string("/Zelmar.ini"));
    // Installed: XDG_CONFIG_HOME when absolute, else HOME/.config; the directory
    // is to be created only when missing.
    settingspath::Location l = Resolve(prefixBin, "/cfg", "/h");
    QCOMPARE(l.File, std::string("/cfg/varnex/Zelmar.ini"));
    QCOMPARE(l.DirToCreate, std::string("/cfg/varnex"));
    l = Resolve(prefixBin, "relative/cfg", (root + "/home/").c_str());
    QCOMPARE(l.File, root + "/home/.config/varnex/Zelmar.ini");
    QCOMPARE(l.DirToCreate, std::string());
    QCOMPARE(Resolve(prefixBin, "", "/").File, std::string("/.config/varnex/Zelmar.ini"));
    // A relative or missing HOME falls back to the password database's home.
    QVERIFY(QString::fromStdString(Resolve(prefixBin, nullptr, "h").File).startsWith('/'));
    // A file an administrator put beside the installed program wins.
    QVERIFY(WriteFile(t.path() + "/usr/bin/Zelmar.ini", "[Options]\r\n"));
    l = Resolve(prefixBin, "/cfg", "/h");
    QCOMPARE(l.File, prefixBin + "/Zelmar.ini");
    QCOMPARE(l.DirToCreate, std::string());

    // The About box names the file in use.
    settingspath::SetInUse("/srv/lab/Zelmar.ini");
    TAboutBox about;
    QVERIFY2(about.Comments->text().contains("/srv/lab/Zelmar.ini"),
             qPrintable(about.Comments->text()));
    const std::string deep =
        "/" + std::string(30, 'd') + "/" + std::string(30, 'e') + "/Zelmar.ini";
    settingspath::SetInUse(deep);
    TAboutBox aboutLong; // a long path is shortened to fit, the whole in the tooltip
    QVERIFY(aboutLong.Comments->text().endsWith("Zelmar.ini"));
    QVERIFY(aboutLong.Comments->text().size() < int(deep.size()) + 34);
    QCOMPARE(aboutLong.Comments->toolTip(), QString::fromStdString(deep));
}

void TstCli::privateDirectoryAndDataFiles() {
    QTemporaryDir t;
    const std::string root = t.path().toStdString();
    std::string error;
    ::umask(022);
    QVERIFY(settingspath::MakePrivateDir(root + "/a/b/varnex", error));
    for (const char* d : {"/a", "/a/b", "/a/b/varnex"})
        QCOMPARE(Mode(t.path() + d), 0700);
    ::chmod((root + "/a").c_str(), 0755); // an existing directory keeps its mode
    QVERIFY(settingspath::MakePrivateDir(root + "/a/b/varnex", error));
    QCOMPARE(Mode(t.path() + "/a"), 0755);
    QVERIFY(WriteFile(t.path() + "/file", "x"));
    QVERIFY(!settingspath::MakePrivateDir(root + "/file/varnex", error));
    QVERIFY(!error.empty());
    QVERIFY(!settingspath::MakePrivateDir("relative/varnex", error));

    // Info.ans: the current directory, beside the program, the installed data directory.
    QVERIFY(WriteFile(t.path() + "/p/share/zelmar/Info.ans", "data"));
    QDir().mkpath(t.path() + "/p/bin");
    QDir().mkpath(t.path() + "/cwd");
    const QString old = QDir::currentPath();
    QDir::setCurrent(t.path() + "/cwd");
    const std::string bin = root + "/p/bin";
    QCOMPARE(settingspath::FindDataFile("Info.ans", bin), bin + "/../share/zelmar/Info.ans");
    QVERIFY(WriteFile(t.path() + "/p/bin/Info.ans", "beside"));
    QCOMPARE(settingspath::FindDataFile("Info.ans", bin), bin + "/Info.ans");
    QVERIFY(WriteFile(t.path() + "/cwd/Info.ans", "here"));
    QCOMPARE(settingspath::FindDataFile("Info.ans", bin), std::string("Info.ans"));
    QCOMPARE(settingspath::FindDataFile("None.ans", bin), std::string("None.ans"));
    QDir::setCurrent(old);
}

void TstCli::helpVersionAndWrongOptionsTouchNothing() {
    QTemporaryDir t;
    const QString exe = CopyProgram(t.path() + "/portable");
    QVERIFY(!exe.isEmpty());
    QDir().mkpath(t.path() + "/home");
    const QProcessEnvironment env = Headless(t.path() + "/home");
    const QStringList before = Tree(t.path());

    for (const QString& opt : {QString("--help"), QString("-h")}) {
        const Run r = RunToEnd(exe, {"lab", opt}, env);
        QCOMPARE(r.Code, 0);
        QVERIFY2(r.Out.startsWith("Usage: zelmar [OPTION]... [--] [SESSION]...\n"), r.Out);
        QVERIFY(r.Out.contains("Settings file: " + QFile::encodeName(t.path()) +
                               "/portable/Zelmar.ini\n"));
        QVERIFY(r.Out.contains("COM7 and COM8") && r.Out.contains("Exit status"));
        QVERIFY2(r.Err.isEmpty(), r.Err);
    }
    const Run v = RunToEnd(exe, {"--version"}, env);
    QCOMPARE(v.Code, 0);
    QCOMPARE(v.Out, QByteArray("zelmar (Varnex Dual Terminal) 1.0\n"));
    QProcess full; // an answer that cannot be written is not a success
    full.setProcessEnvironment(env);
    full.setStandardOutputFile("/dev/full");
    full.start(exe, {"--help"});
    QVERIFY(full.waitForFinished(10000));
    QCOMPARE(full.exitCode(), 1);
    QVERIFY(full.readAllStandardError().startsWith("zelmar: write error"));
    for (const QStringList& args : {QStringList{"-x"}, QStringList{"--bogus"},
                                    QStringList{"lab", "-q"}, QStringList{"-platform", "xcb"}}) {
        const Run r = RunToEnd(exe, args, env);
        QCOMPARE(r.Code, 2);
        QVERIFY(r.Out.isEmpty());
        QVERIFY2(r.Err.startsWith("zelmar: unrecognized option '" + args.back().toUtf8()) ||
                     r.Err.startsWith("zelmar: unrecognized option '" + args.front().toUtf8()),
                 r.Err);
        QVERIFY(r.Err.contains("Usage: zelmar"));
    }
    QCOMPARE(Tree(t.path()), before); // no settings file, no section "[--help]"
}

void TstCli::signalsCloseAndSave() {
    QTemporaryDir t;
    const QString exe = CopyProgram(t.path());
    QVERIFY(!exe.isEmpty());
    const QString ini = t.path() + "/Zelmar.ini";
    const QProcessEnvironment env = Headless(t.path());

    // "--" ends the options: a session may be named like one.
    QCOMPARE(RunUntilSignal(exe, {"--", "-x"}, env, SIGTERM), 0);
    QVERIFY2(ReadFile(ini).startsWith("[Sessions]\r\n-x= \r\n"), ReadFile(ini));
    QVERIFY(ReadFile(ini).contains("\r\n[-x]\r\nPosX="));

    // SIGHUP (the starting terminal went away) closes in order and saves.
    QVERIFY(WriteFile(ini, "[Sessions]\r\nhup= \r\n[hup]\r\nBaud1=13\r\n"));
    QCOMPARE(RunUntilSignal(exe, {"hup"}, env, SIGHUP), 0);
    QByteArray text = ReadFile(ini);
    QVERIFY2(text.contains("[hup]\r\nBaud1=13\r\nPosX=") && text.contains("Mode2=0"), text);

    // Started with SIGHUP ignored (nohup), it stays ignored; SIGTERM still ends it.
    QVERIFY(WriteFile(ini, ""));
    QCOMPARE(RunUntilSignal(exe, {"nohup"}, env, SIGHUP, true), -2);
    QVERIFY(ReadFile(ini).contains("[nohup]")); // saved by the SIGTERM that followed
}

void TstCli::signalBeforeTheLoadWaitsForIt() {
    // A signal that arrives before the first paint (the session load) must not
    // save defaults over the stored session: the close waits for the load.
    AppHarness h({"lab"});
    QVERIFY(WriteFile(h.IniPath(), "[lab]\r\nBaud1=13\r\n"));
    AppPlatform::CloseOnSignals(h.Main.get());
    ::raise(SIGTERM);
    QTest::qWait(200);
    QCOMPARE(ReadFile(h.IniPath()), QByteArray("[lab]\r\nBaud1=13\r\n"));
    h.Main->show();
    QVERIFY(QTest::qWaitFor([&] { return !h.Main->isVisible(); }, 5000));
    QVERIFY2(ReadFile(h.IniPath()).contains("[lab]\r\nBaud1=13\r\nPosX="), ReadFile(h.IniPath()));
}

void TstCli::installedCopyKeepsSettingsInConfigDir() {
    QTemporaryDir t;
    const QString prefix = t.path() + "/prefix";
    const QString exe = CopyProgram(prefix + "/bin");
    QVERIFY(!exe.isEmpty());
    QVERIFY(WriteFile(prefix + "/share/zelmar/Info.ans", ReadFile(ZELMAR_INFO_ANS)));
    const QString home = t.path() + "/home";
    QDir().mkpath(home);
    const QProcessEnvironment env = Headless(home);
    const QString ini = home + "/.config/varnex/Zelmar.ini";

    const Run help = RunToEnd(exe, {"--help"}, env);
    QVERIFY(help.Out.contains("Settings file: " + QFile::encodeName(ini) + "\n"));
    QVERIFY(!QFileInfo::exists(home + "/.config")); // naming it creates nothing

    ::umask(022);
    QCOMPARE(RunUntilSignal(exe, {}, env, SIGTERM), 0);
    QVERIFY2(ReadFile(ini).contains("[noname]\r\nPosX="), qPrintable(ini));
    QCOMPARE(Mode(home + "/.config/varnex"), 0700);
    QCOMPARE(Mode(home + "/.config"), 0700);
    QCOMPARE(Tree(prefix + "/bin"), QStringList{"zelmar"});

    // A Zelmar.ini preset beside the installed program is read and written.
    const QString preset = prefix + "/bin/Zelmar.ini";
    QVERIFY(WriteFile(preset, "[Sessions]\r\nlab= \r\n[lab]\r\nBaud1=2\r\n"));
    QVERIFY(RunToEnd(exe, {"-h"}, env).Out.contains("Settings file: " + QFile::encodeName(preset)));
    QCOMPARE(RunUntilSignal(exe, {"lab"}, env, SIGTERM), 0);
    const QByteArray text = ReadFile(preset);
    QVERIFY2(text.contains("[lab]\r\nBaud1=2\r\nPosX="), text);
    QVERIFY(!ReadFile(ini).contains("[lab]"));
}

QTEST_MAIN(TstCli)
#include "tst_cli.moc"
