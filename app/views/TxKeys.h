// Key handling of the transmit editor, in terms of virtual-key codes, the shift
// state and typed characters. It decides; the channel carries out the actions
// it returns (show, record, send, beep, end a break) in their order.
#pragma once

#include <cstdint>
#include <vector>

// Shift state: a set of modifier keys and mouse buttons.
using TShiftState = std::uint8_t;
constexpr TShiftState ssShift = 1 << 0;
constexpr TShiftState ssAlt = 1 << 1;
constexpr TShiftState ssCtrl = 1 << 2;
constexpr TShiftState ssLeft = 1 << 3;
constexpr TShiftState ssRight = 1 << 4;
constexpr TShiftState ssMiddle = 1 << 5;
constexpr TShiftState ssDouble = 1 << 6;

// Virtual-key codes used by the editor (digits and letters are their ASCII codes).
enum TVirtualKey : std::uint16_t {
    vkBack = 8,
    vkTab = 9,
    vkReturn = 13,
    vkShift = 16,
    vkControl = 17,
    vkMenu = 18,
    vkPause = 19,
    vkCapital = 20,
    vkEscape = 27,
    vkSpace = 32,
    vkPrior = 33,
    vkNext = 34,
    vkEnd = 35,
    vkHome = 36,
    vkLeft = 37,
    vkUp = 38,
    vkRight = 39,
    vkDown = 40,
    vkInsert = 45,
    vkDelete = 46,
    vkNumpad0 = 96,
    vkMultiply = 106,
    vkAdd = 107,
    vkSubtract = 109,
    vkDecimal = 110,
    vkDivide = 111,
    vkF1 = 112,
    vkNumLock = 144,
    vkScroll = 145,
    vkOem1 = 186,
    vkOemPlus = 187,
    vkOemComma = 188,
    vkOemMinus = 189,
    vkOemPeriod = 190,
    vkOem2 = 191,
    vkOem3 = 192,
    vkOem4 = 219,
    vkOem5 = 220,
    vkOem6 = 221,
    vkOem7 = 222,
    vkOem102 = 226
};

struct TTxAction {
    enum TKind : std::uint8_t {
        taEndBreak, // release a break held by the BRK lamp
        taBeep,     // MessageBeep with Value as the type
        taShow,     // show Value in the editor
        taRecord,   // append Value to the transmit history
        taSend      // write Value to the port
    };
    TKind Kind;
    std::uint8_t Value;
    friend bool operator==(const TTxAction&, const TTxAction&) = default;
};
using TTxActions = std::vector<TTxAction>;

class TTxKeys {
public:
    // A key went down.
    TTxActions KeyDown(std::uint16_t key, TShiftState shift);
    // A character was typed (after its key-down). It is sent as its
    // Windows-1252 byte; a character without one is refused.
    TTxActions KeyPress(char32_t ch);
    // A character composed by an input method (dead key, compose key): it
    // comes without a key-down of its own, so it carries the modifiers of the
    // keystroke that completed it, not those of the key before.
    TTxActions ComposedChar(char32_t ch, TShiftState shift);

    TShiftState LastShift() const { return FLastShift; }
    bool HexPending() const { return FHexPending; }
    char HexFirst() const { return FHexFirst; }

private:
    TShiftState FLastShift = 0;
    bool FHexPending = false;
    char FHexFirst = '0';
};
