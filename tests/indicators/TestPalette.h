// Shared by the indicator tests: a fixed palette so the system colours a
// control draws with are known, and pixel access to a grabbed widget.
#pragma once

#include "Colors.h"

#include <QApplication>
#include <QImage>
#include <QPalette>
#include <QTest>
#include <QWidget>

inline const QColor kFace(0xC0, 0xC0, 0xC0);
inline const QColor kLight(0xFF, 0xFF, 0xFF);
inline const QColor kShadow(0x80, 0x80, 0x80);

inline void UseTestPalette() {
    QPalette pal = QApplication::palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(group, QPalette::Button, kFace);
        pal.setColor(group, QPalette::Window, kFace);
        pal.setColor(group, QPalette::Light, kLight);
        pal.setColor(group, QPalette::Dark, kShadow);
    }
    QApplication::setPalette(pal);
}

inline QImage Shot(QWidget& w) {
    return w.grab().toImage();
}

inline QColor Pixel(QWidget& w, int x, int y) {
    return Shot(w).pixelColor(x, y);
}

inline QColor Rgb(TColor c) {
    return QColor(GetRValue(c), GetGValue(c), GetBValue(c));
}

// Pixels in the rectangle within a small distance of a colour (text is
// antialiased, so only its strongest pixels reach the colour itself).
inline int CountNear(const QImage& img, const QRect& r, const QColor& c, int tolerance = 40) {
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            const QColor p = img.pixelColor(x, y);
            if (std::abs(p.red() - c.red()) <= tolerance &&
                std::abs(p.green() - c.green()) <= tolerance &&
                std::abs(p.blue() - c.blue()) <= tolerance)
                ++n;
        }
    return n;
}
