#include "KeyMap.h"

#include <QGuiApplication>

namespace {

// X keycodes (evdev + 8) of the main block, by position on a US keyboard. Used
// for keys whose symbol says nothing (non-Latin layouts, the digit row of layouts
// that put symbols there), as the original's key codes follow the position.
std::uint16_t KeyOfScanCode(quint32 sc) {
    static const char* const rows[] = {"1234567890", "QWERTYUIOP", "ASDFGHJKL", "ZXCVBNM"};
    static const quint32 firsts[] = {10, 24, 38, 52};
    for (int r = 0; r < 4; ++r) {
        const std::string_view row = rows[r];
        if (sc >= firsts[r] && sc < firsts[r] + row.size())
            return static_cast<std::uint16_t>(row[sc - firsts[r]]);
    }
    switch (sc) {
    case 20:
        return vkOemMinus;
    case 21:
        return vkOemPlus;
    case 34:
        return vkOem4;
    case 35:
        return vkOem6;
    case 47:
        return vkOem1;
    case 48:
        return vkOem7;
    case 49:
        return vkOem3;
    case 51:
        return vkOem5;
    case 59:
        return vkOemComma;
    case 60:
        return vkOemPeriod;
    case 61:
        return vkOem2;
    case 94:
        return vkOem102;
    default:
        return 0;
    }
}

bool ScanCodesArePositions() {
    const QString p = QGuiApplication::platformName();
    return p == QLatin1String("xcb") || p.startsWith(QLatin1String("wayland"));
}

// Punctuation keys of a US keyboard, shifted or not.
std::uint16_t KeyOfSymbol(int k) {
    switch (k) {
    case Qt::Key_Exclam:
        return '1';
    case Qt::Key_At:
        return '2';
    case Qt::Key_NumberSign:
        return '3';
    case Qt::Key_Dollar:
        return '4';
    case Qt::Key_Percent:
        return '5';
    case Qt::Key_AsciiCircum:
        return '6';
    case Qt::Key_Ampersand:
        return '7';
    case Qt::Key_Asterisk:
        return '8';
    case Qt::Key_ParenLeft:
        return '9';
    case Qt::Key_ParenRight:
        return '0';
    case Qt::Key_Semicolon:
    case Qt::Key_Colon:
        return vkOem1;
    case Qt::Key_Equal:
    case Qt::Key_Plus:
        return vkOemPlus;
    case Qt::Key_Comma:
    case Qt::Key_Less:
        return vkOemComma;
    case Qt::Key_Minus:
    case Qt::Key_Underscore:
        return vkOemMinus;
    case Qt::Key_Period:
    case Qt::Key_Greater:
        return vkOemPeriod;
    case Qt::Key_Slash:
    case Qt::Key_Question:
        return vkOem2;
    case Qt::Key_QuoteLeft:
    case Qt::Key_AsciiTilde:
        return vkOem3;
    case Qt::Key_BracketLeft:
    case Qt::Key_BraceLeft:
        return vkOem4;
    case Qt::Key_Backslash:
    case Qt::Key_Bar:
        return vkOem5;
    case Qt::Key_BracketRight:
    case Qt::Key_BraceRight:
        return vkOem6;
    case Qt::Key_Apostrophe:
    case Qt::Key_QuoteDbl:
        return vkOem7;
    default:
        return 0;
    }
}

std::uint16_t VirtualKeyOf(const QKeyEvent& e) {
    const int k = e.key();
    const bool keypad = e.modifiers() & Qt::KeypadModifier;
    if (k >= Qt::Key_0 && k <= Qt::Key_9)
        return static_cast<std::uint16_t>(keypad ? vkNumpad0 + (k - Qt::Key_0) : k);
    if (k >= Qt::Key_A && k <= Qt::Key_Z) return static_cast<std::uint16_t>(k);
    if (k >= Qt::Key_F1 && k <= Qt::Key_F24)
        return static_cast<std::uint16_t>(vkF1 + (k - Qt::Key_F1));
    switch (k) {
    case Qt::Key_Backspace:
        return vkBack;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return vkTab;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return vkReturn;
    case Qt::Key_Shift:
        return vkShift;
    case Qt::Key_Control:
        return vkControl;
    case Qt::Key_Alt:
        return vkMenu;
    case Qt::Key_Pause:
        return vkPause;
    case Qt::Key_CapsLock:
        return vkCapital;
    case Qt::Key_Escape:
        return vkEscape;
    case Qt::Key_Space:
        return vkSpace;
    case Qt::Key_PageUp:
        return vkPrior;
    case Qt::Key_PageDown:
        return vkNext;
    case Qt::Key_End:
        return vkEnd;
    case Qt::Key_Home:
        return vkHome;
    case Qt::Key_Left:
        return vkLeft;
    case Qt::Key_Up:
        return vkUp;
    case Qt::Key_Right:
        return vkRight;
    case Qt::Key_Down:
        return vkDown;
    case Qt::Key_Insert:
        return vkInsert;
    case Qt::Key_Delete:
        return vkDelete;
    case Qt::Key_NumLock:
        return vkNumLock;
    case Qt::Key_ScrollLock:
        return vkScroll;
    default:
        break;
    }
    if (keypad) {
        switch (k) {
        case Qt::Key_Asterisk:
            return vkMultiply;
        case Qt::Key_Plus:
            return vkAdd;
        case Qt::Key_Minus:
            return vkSubtract;
        case Qt::Key_Period:
        case Qt::Key_Comma:
            return vkDecimal;
        case Qt::Key_Slash:
            return vkDivide;
        default:
            break;
        }
    }
    if (ScanCodesArePositions())
        if (const std::uint16_t vk = KeyOfScanCode(e.nativeScanCode())) return vk;
    return KeyOfSymbol(k);
}

// Ctrl with a key types a control code only for letters and a few symbols.
std::u32string CtrlChars(int k, std::uint16_t vk, TShiftState shift) {
    if (vk >= 'A' && vk <= 'Z') return {static_cast<char32_t>(vk - 'A' + 1)};
    switch (k) {
    case Qt::Key_BracketLeft:
        return {27};
    case Qt::Key_Backslash:
        return {28};
    case Qt::Key_BracketRight:
        return {29};
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return {10};
    case Qt::Key_Backspace:
        return {127};
    case Qt::Key_Space:
        return {32};
    default:
        break;
    }
    if (shift & ssShift) {
        if (vk == '2') return {0};
        if (vk == '6') return {30};
        if (vk == vkOemMinus) return {31};
    }
    return {};
}

std::u32string TextChars(const QKeyEvent& e) {
    std::u32string out;
    for (const char32_t c : e.text().toUcs4())
        if (c != 0x7F) out.push_back(c); // Delete is a key, not a character
    return out;
}

} // namespace

TShiftState ShiftStateOf(Qt::KeyboardModifiers mods, Qt::MouseButtons buttons) {
    TShiftState s = 0;
    if (mods & Qt::ShiftModifier) s |= ssShift;
    if (mods & Qt::AltModifier) s |= ssAlt;
    if (mods & Qt::ControlModifier) s |= ssCtrl;
    if (buttons & Qt::LeftButton) s |= ssLeft;
    if (buttons & Qt::RightButton) s |= ssRight;
    if (buttons & Qt::MiddleButton) s |= ssMiddle;
    return s;
}

TKeyStroke TranslateKey(const QKeyEvent& e) {
    TKeyStroke ks;
    ks.Shift = ShiftStateOf(e.modifiers(), QGuiApplication::mouseButtons());
    // The Super key has no place in the shift state; its combinations are the
    // desktop's, so they count as no key and type nothing.
    if (e.modifiers() & Qt::MetaModifier) return ks;
    ks.Key = VirtualKeyOf(e);
    const int k = e.key();
    if ((ks.Shift & ssCtrl) && (ks.Shift & ssAlt)) {
        // Ctrl+Alt is the original's AltGr: whatever it types arrives with Ctrl.
        for (const char32_t c : TextChars(e))
            if (c >= 32) ks.Chars.push_back(c);
        return ks;
    }
    if (ks.Shift & ssCtrl) {
        ks.Chars = CtrlChars(k, ks.Key, ks.Shift);
        return ks;
    }
    if (ks.Shift & ssAlt) return ks; // Alt combinations belong to the menu
    switch (k) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        ks.Chars = {13};
        break;
    case Qt::Key_Backspace:
        ks.Chars = {8};
        break;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        ks.Chars = {9};
        break;
    case Qt::Key_Escape:
        ks.Chars = {27};
        break;
    case Qt::Key_Delete:
        break;
    default:
        ks.Chars = TextChars(e);
        break;
    }
    return ks;
}
