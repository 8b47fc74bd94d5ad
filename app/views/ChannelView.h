// One channel's receive view, transmit editor and their histories: the display
// mode, the text models both memo widgets paint, the replay on a mode switch and
// the transmit editor's key state. The window owns one per channel and forwards
// its twin-named members here; the pieces it does not own (terminal view,
// serial module, widget visibility and focus) are reached through the hooks.
#pragma once

#include "MemoText.h"
#include "TxKeys.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class TChannelView {
public:
    // Display modes; any other value shows both memos in the hex form.
    enum TMode : std::uint8_t { dmASCII = 0, dmHEX = 1, dmBoth = 2, dmANSI = 3 };

    TChannelView();

    // ---- receive and transmit path
    void AddRxByte(std::uint8_t b);  // append to the history, then show
    void ShowRxByte(std::uint8_t b); // show only (mode switch replay, test playback)
    void ShowTxByte(std::uint8_t b);
    const std::string& RxData() const { return FRxData; }
    const std::string& TxData() const { return FTxData; }

    // ---- display mode
    std::uint8_t Mode() const { return FMode; }
    // A mode radio button became selected (0..3): shows the memo or the terminal
    // view, clears both views and replays both histories in the new mode. Any
    // other value is only stored, as StoreMode does.
    void SetMode(std::uint8_t mode);
    // Stores the mode without redrawing (the settings load stores it first and
    // then selects the radio button, whose click switches).
    void StoreMode(std::uint8_t mode) { FMode = mode; }
    // The radio button of the mode (0..3), or -1 for a stored out-of-range value.
    int ModeButton() const { return FMode <= dmANSI ? FMode : -1; }
    // Whether the memo is shown over the terminal view.
    bool OutPutVisible() const { return FOutPutVisible; }

    // ---- clearing
    void ClearRx();     // "clear Rx": memo, terminal view and receive history
    void ClearTx();     // "clear Tx": editor and transmit history
    void ClearRxView(); // the memo only (connecting keeps the histories)
    void ClearTxView();

    // ---- transmit editor keys
    void InputListKeyDown(std::uint16_t key, TShiftState shift);
    void InputListKeyPress(char32_t ch);
    void InputListComposed(char32_t ch, TShiftState shift); // from an input method
    const TTxKeys& Keys() const { return FKeys; }
    void RunTxActions(const TTxActions& actions);
    // Bytes the program sent for the user (a file, pasted text): shown and
    // recorded as typed ones are, once the device has taken them.
    void ShowAndRecordTx(std::string_view bytes);

    // ---- the models the memo widgets paint
    TMemoText& OutPutList() { return FOutPutList; }
    TMemoText& InputList() { return FInputList; }
    const TMemoText& OutPutList() const { return FOutPutList; }
    const TMemoText& InputList() const { return FInputList; }

    // ---- hooks set by the window (each may stay empty)
    std::function<void(std::uint8_t)> FeedAnsi; // a byte for the terminal view
    // Many bytes for the terminal view, as FeedAnsi for each in turn; a mode
    // switch replays the history through it when set.
    std::function<void(std::string_view)> FeedAnsiText;
    std::function<void()> ClearAnsi; // ClearView of the terminal view
    // Blank the terminal view and put its interpreter back to its state when
    // new, before a mode switch replays the history; ClearAnsi when not set.
    std::function<void()> ResetAnsi;
    std::function<void(bool)> ShowOutPutList;   // true: memo over terminal view
    std::function<void()> FocusInputList;       // focus the editor if it is enabled
    std::function<void(std::uint8_t)> SendByte; // the serial module's send; may throw
    std::function<void(bool)> SetBreak;         // the serial module's break switch
    // True while a file or a paste is being sent: typed keys are then refused
    // with a beep, so nothing can slip in between its bytes.
    std::function<bool()> TxBusy;
    std::function<void(std::string_view)> TxRecorded; // bytes just added to the history

private:
    static void GrowHistory(std::string& history);
    TMemoForm RxForm() const;
    TMemoForm TxForm() const;

    std::uint8_t FMode = dmASCII;
    bool FOutPutVisible = true;
    std::string FRxData, FTxData;
    TMemoText FOutPutList{true};
    TMemoText FInputList{false};
    TTxKeys FKeys;
    TShiftState FBusyShift = 0; // the last key-down refused during a send
};
