#include "AppFonts.h"

#include <QStringList>

namespace AppFonts {
namespace {
// A sans-serif family by its given name, with metric-compatible fallbacks.
QFont Sans(const QString& family, int pixelSize) {
    QFont f(family);
    f.setFamilies({family, "Liberation Sans", "DejaVu Sans"});
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(pixelSize);
    return f;
}
} // namespace

QFont SansSerif11() {
    return Sans("MS Sans Serif", 11);
}
QFont Arial12() {
    return Sans("Arial", 12);
}

} // namespace AppFonts
