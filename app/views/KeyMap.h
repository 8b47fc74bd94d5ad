// Maps a Qt key event to what the transmit editor's key logic is written in:
// a virtual-key code, a shift state and the characters the key typed, as the
// keyboard of the original platform produces them (Ctrl with a letter types its
// control code, Ctrl with a digit types nothing, Alt types nothing).
#pragma once

#include "TxKeys.h"

#include <QKeyEvent>
#include <string>

struct TKeyStroke {
    std::uint16_t Key = 0; // virtual-key code; 0 for keys without one
    TShiftState Shift = 0;
    std::u32string Chars; // characters typed, usually none or one
};

TShiftState ShiftStateOf(Qt::KeyboardModifiers mods, Qt::MouseButtons buttons);
TKeyStroke TranslateKey(const QKeyEvent& e);
