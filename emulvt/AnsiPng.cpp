#include "AnsiPng.h"

#include <QApplication>
#include <QPixmap>

#include <cstdio>

#include "EmulVT.h"
#include "Platform.h"

namespace emulvt {
namespace {

void QuietMessages(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    // rxview's standard error carries the interpreter's reports; only real
    // failures of the toolkit may join them.
    if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(msg));
}

void EnsureApplication() {
    if (QApplication::instance()) return;
    qInstallMessageHandler(QuietMessages);
    // Lives until the process ends; rxview has no event loop of its own.
    static int argc = 3;
    static char arg0[] = "rxview", arg1[] = "-platform", arg2[] = "offscreen";
    static char* argv[] = {arg0, arg1, arg2, nullptr};
    new QApplication(argc, argv);
}

} // namespace

QImage RenderAnsiImage(const std::string& input, bool xlat, int fontPoints) {
    EnsureApplication();
    TEmulVT view;
    view.resize(502, 298);
    view.SetRows(25);
    view.SetCols(80);
    view.SetXlat(xlat);
    view.SetFontSize(fontPoints == 9 ? 9 : 12);
    view.ClearView();
    view.SetPassive(true);
    for (std::size_t i = 0; i < input.size(); ++i) {
        view.FeedChar(input[i]);
        if ((i & 0xFFFF) == 0xFFFF) platform::TakeBeeps(); // bells must not pile up
    }
    platform::TakeBeeps();
    // Shown (off screen) so that the scroll bar is part of the picture.
    view.setAttribute(Qt::WA_DontShowOnScreen);
    view.show();
    return view.grab().toImage();
}

bool RenderAnsiPng(const std::string& input, bool xlat, int fontPoints, const std::string& outFile,
                   std::string& error) {
    const QImage image = RenderAnsiImage(input, xlat, fontPoints);
    if (!image.save(QString::fromStdString(outFile), "PNG")) {
        error = "cannot write " + outFile;
        return false;
    }
    return true;
}

} // namespace emulvt
