#include "TxKeys.h"

#include "Cp1252.h"

namespace {
constexpr std::uint8_t kRefusedBeep = 1;

int HexValue(char c) {
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

void SendOne(TTxActions& a, std::uint8_t b) {
    a.push_back({TTxAction::taShow, b});
    a.push_back({TTxAction::taRecord, b});
    a.push_back({TTxAction::taSend, b});
}
} // namespace

TTxActions TTxKeys::KeyDown(std::uint16_t key, TShiftState shift) {
    TTxActions a{{TTxAction::taEndBreak, 0}};
    FLastShift = shift;
    const bool digit = key >= '0' && key <= '9';
    const bool letter = key >= 'A' && key <= 'F';
    if (shift == ssCtrl && (digit || letter)) {
        const char c = static_cast<char>(key);
        if (!FHexPending) {
            FHexFirst = c;
            FHexPending = true;
        } else {
            SendOne(a, static_cast<std::uint8_t>(HexValue(FHexFirst) * 16 + HexValue(c)));
            FHexPending = false;
        }
    }
    return a;
}

TTxActions TTxKeys::KeyPress(char32_t ch) {
    TTxActions a{{TTxAction::taEndBreak, 0}};
    const int code = cp1252::FromUnicode(ch);
    if (FLastShift & ssCtrl) {
        // Ctrl with A..I gives the codes 1..9, and A..F are hex digits: silent.
        const int up = code >= 'a' && code <= 'z' ? code - 32 : code;
        const bool silent = code >= 0 && (code < 10 || (up >= 'A' && up <= 'F'));
        if (!silent) a.push_back({TTxAction::taBeep, kRefusedBeep});
        return a;
    }
    if (code < 0) {
        a.push_back({TTxAction::taBeep, kRefusedBeep});
        return a;
    }
    if (code < 32) {
        if (code == 13) {
            a.push_back({TTxAction::taShow, 13});
            a.push_back({TTxAction::taShow, 10});
            a.push_back({TTxAction::taRecord, 13});
            a.push_back({TTxAction::taRecord, 10});
            a.push_back({TTxAction::taSend, 13});
            a.push_back({TTxAction::taSend, 10});
        } else {
            a.push_back({TTxAction::taBeep, kRefusedBeep});
        }
        return a;
    }
    if (FHexPending) {
        a.push_back({TTxAction::taBeep, kRefusedBeep});
        FHexPending = false;
    }
    SendOne(a, static_cast<std::uint8_t>(code));
    return a;
}

TTxActions TTxKeys::ComposedChar(char32_t ch, TShiftState shift) {
    FLastShift = shift;
    return KeyPress(ch);
}
