// Program entry: the command line, then the application, the forms and the
// message loop.
#include "Main.h"
#include "AppPlatform.h"
#include "CommandLine.h"
#include "DLGSelect.h"
#include "FSerPort.h"
#include "Platform.h"
#include "SettingsPath.h"
#include "TickDriver.h"

#include <QApplication>
#include <QIcon>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
// Writes an option's answer; a full disk or closed output is an error, not success.
int PrintOut(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return cmdline::ExitOk;
    std::fprintf(stderr, "zelmar: write error: %s\n", std::strerror(errno));
    return cmdline::ExitStartFailed;
}
} // namespace

int main(int argc, char** argv) {
    // Options come first: a help request or a wrong option opens no window and
    // writes nothing.
    const cmdline::Parsed cmd = cmdline::Parse(argc, argv);
    switch (cmd.What) {
    case cmdline::Action::Help:
        return PrintOut(cmdline::Usage(settingspath::ResolveForThisProcess().File));
    case cmdline::Action::Version:
        return PrintOut(cmdline::VersionText());
    case cmdline::Action::Error:
        std::fprintf(stderr, "zelmar: unrecognized option '%s'\n", cmd.BadOption.c_str());
        std::fputs(cmdline::Usage(settingspath::ResolveForThisProcess().File).c_str(), stderr);
        return cmdline::ExitUsage;
    case cmdline::Action::Run:
        break;
    }

    const settingspath::Location settings = settingspath::ResolveForThisProcess();
    if (!settings.DirToCreate.empty()) {
        std::string error;
        // Not fatal: the session still loads its defaults; saving reports the failure.
        if (!settingspath::MakePrivateDir(settings.DirToCreate, error))
            std::fprintf(stderr, "zelmar: cannot create %s: %s\n", settings.DirToCreate.c_str(),
                         error.c_str());
    }
    settingspath::SetInUse(settings.File);

    // Qt sees only the program name: the other arguments are ours (a session
    // named "-style" must not restyle the window).
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName("Varnex Dual Terminal");
    // Desktops match the window to the desktop entry and its icon by this name.
    QApplication::setDesktopFileName("com.varnex.zelmar");
    QApplication::setWindowIcon(QIcon(":/com.varnex.zelmar.png"));
    AppPlatform::Install();
    // The lamps' shared timer runs before any control exists and stops at the end.
    try {
        StartTickService();
    } catch (const std::exception& e) { // "no more timers"
        platform::ReportError(e.what());
        return cmdline::ExitStartFailed;
    }
    struct StopTicks {
        ~StopTicks() { StopTickService(); }
    } stopTicks;

    QStringList args;
    for (const std::string& a : cmd.SessionArgs)
        args << QString::fromLocal8Bit(a.c_str());
    TTermMain termMain(QString::fromStdString(settings.File), args);
    TSerForm serForm(&termMain);
    termMain.SetSerForm(&serForm);
    termMain.LoadPortMap();
    AppPlatform::CloseOnSignals(&termMain);
    termMain.show();
    return app.exec();
}
