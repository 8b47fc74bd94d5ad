#include "AppFonts.h"

#include <QStringList>

namespace AppFonts {

QFont Named(const QString& family, int pixelSize, QFont::StyleHint hint) {
    QFont f(family);
    QStringList families{family};
    if (hint == QFont::Monospace || hint == QFont::TypeWriter)
        families << "Liberation Mono"
                 << "DejaVu Sans Mono";
    else
        families << "Liberation Sans"
                 << "DejaVu Sans";
    f.setFamilies(families);
    f.setStyleHint(hint);
    f.setPixelSize(pixelSize);
    return f;
}

QFont SansSerif11() {
    return Named("MS Sans Serif", 11, QFont::SansSerif);
}
QFont Arial12() {
    return Named("Arial", 12, QFont::SansSerif);
}
QFont CourierNew12() {
    return Named("Courier New", 12, QFont::TypeWriter);
}

} // namespace AppFonts
