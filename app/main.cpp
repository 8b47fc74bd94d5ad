// Program entry: the application, the forms, then the message loop.
#include "Main.h"
#include "AppPlatform.h"
#include "DLGSelect.h"
#include "FSerPort.h"
#include "Platform.h"
#include "TickDriver.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Varnex Dual Terminal");
    AppPlatform::Install();
    // The lamps' shared timer runs before any control exists and stops at the end.
    try {
        StartTickService();
    } catch (const std::exception& e) { // "no more timers"
        platform::ReportError(e.what());
        return 1;
    }
    struct StopTicks {
        ~StopTicks() { StopTickService(); }
    } stopTicks;

    QStringList args = QApplication::arguments();
    args.removeFirst();
    TTermMain termMain({}, args);
    TSerForm serForm(&termMain);
    termMain.SetSerForm(&serForm);
    termMain.LoadPortMap();
    AppPlatform::CloseOnSignals(&termMain);
    termMain.show();
    return app.exec();
}
