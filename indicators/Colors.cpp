#include "Colors.h"

#include <QGuiApplication>
#include <QWidget>

namespace {

// The desktop's colour roles by system colour index. Active group throughout,
// so a colour does not change with window focus; grey text is the disabled text.
struct TSysRole {
    QPalette::ColorGroup Group;
    QPalette::ColorRole Role;
};

constexpr TSysRole kSysRoles[] = {
    {QPalette::Active, QPalette::Button},          // 0 scroll bar
    {QPalette::Active, QPalette::Dark},            // 1 desktop
    {QPalette::Active, QPalette::Highlight},       // 2 active caption
    {QPalette::Active, QPalette::Mid},             // 3 inactive caption
    {QPalette::Active, QPalette::Window},          // 4 menu
    {QPalette::Active, QPalette::Base},            // 5 window
    {QPalette::Active, QPalette::Shadow},          // 6 window frame
    {QPalette::Active, QPalette::WindowText},      // 7 menu text
    {QPalette::Active, QPalette::Text},            // 8 window text
    {QPalette::Active, QPalette::HighlightedText}, // 9 caption text
    {QPalette::Active, QPalette::Window},          // 10 active border
    {QPalette::Active, QPalette::Window},          // 11 inactive border
    {QPalette::Active, QPalette::Mid},             // 12 application workspace
    {QPalette::Active, QPalette::Highlight},       // 13 highlight
    {QPalette::Active, QPalette::HighlightedText}, // 14 highlight text
    {QPalette::Active, QPalette::Button},          // 15 button face
    {QPalette::Active, QPalette::Dark},            // 16 button shadow
    {QPalette::Disabled, QPalette::Text},          // 17 grey text
    {QPalette::Active, QPalette::ButtonText},      // 18 button text
    {QPalette::Inactive, QPalette::WindowText},    // 19 inactive caption text
    {QPalette::Active, QPalette::Light},           // 20 button highlight
    {QPalette::Active, QPalette::Shadow},          // 21 3D dark shadow
    {QPalette::Active, QPalette::Midlight},        // 22 3D light
    {QPalette::Active, QPalette::ToolTipText},     // 23 info text
    {QPalette::Active, QPalette::ToolTipBase},     // 24 info background
    {QPalette::Active, QPalette::Button},          // 25 (unused index)
    {QPalette::Active, QPalette::Link},            // 26 hot light
    {QPalette::Active, QPalette::Highlight},       // 27 gradient active caption
    {QPalette::Active, QPalette::Mid},             // 28 gradient inactive caption
    {QPalette::Active, QPalette::Highlight},       // 29 menu highlight
    {QPalette::Active, QPalette::Window},          // 30 menu bar
};

} // namespace

QColor ToQColor(TColor c, const QPalette& palette) {
    if (!IsSystemColor(c)) return QColor(GetRValue(c), GetGValue(c), GetBValue(c));
    const int index = SystemColorIndex(c);
    if (index >= static_cast<int>(std::size(kSysRoles))) return QColor(0, 0, 0);
    const TSysRole& r = kSysRoles[index];
    QColor q = palette.color(r.Group, r.Role);
    q.setAlpha(255);
    return q;
}

QColor ToQColor(TColor c, const QWidget* widget) {
    return ToQColor(c, widget ? widget->palette() : QGuiApplication::palette());
}

TColor FromQColor(const QColor& c) {
    const QColor rgb = c.toRgb();
    return RGBColor(rgb.red(), rgb.green(), rgb.blue());
}
