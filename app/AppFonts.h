// Window fonts requested by their given names, with fallbacks present on Linux.
#pragma once

#include <QFont>

namespace AppFonts {
QFont SansSerif11(); // "MS Sans Serif", 11 px
QFont Arial12();     // "Arial", 12 px
} // namespace AppFonts
