// The one conversion from a stored colour value to a QColor. System colours
// come from the palette of the widget that draws, so the controls follow the
// desktop theme the way the original followed the system colour scheme.
#pragma once

#include "ColorValues.h"

#include <QColor>
#include <QPalette>

class QWidget;

// A plain value becomes its RGB colour (the top byte is ignored); a system
// value takes the palette's colour for that index; an unknown index is black.
QColor ToQColor(TColor c, const QPalette& palette);
// As above with the widget's palette (the application palette for nullptr).
QColor ToQColor(TColor c, const QWidget* widget);
// The plain value of a QColor (alpha dropped).
TColor FromQColor(const QColor& c);
