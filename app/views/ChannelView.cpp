#include "ChannelView.h"

#include "Platform.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace {
// Holds back repaints of a memo while a history is replayed into it.
class TUpdateLock {
public:
    explicit TUpdateLock(TMemoText& m) : M(m) { M.BeginUpdate(); }
    ~TUpdateLock() { M.EndUpdate(); }
    TUpdateLock(const TUpdateLock&) = delete;
    TUpdateLock& operator=(const TUpdateLock&) = delete;

private:
    TMemoText& M;
};
} // namespace

TChannelView::TChannelView() = default;

TMemoForm TChannelView::RxForm() const {
    switch (FMode) {
    case dmASCII:
        return mfASCII;
    case dmBoth:
        return mfBoth;
    default:
        return mfHex;
    }
}

TMemoForm TChannelView::TxForm() const {
    return FMode == dmANSI ? mfASCII : RxForm();
}

// A long history grows in steps of address space, not by doubling: moving a
// history of 64 MiB to a new buffer stalls the window thread for tens of
// milliseconds, while reserved pages cost memory only once they are written.
// Where the system refuses so large a reservation, ordinary growth goes on.
void TChannelView::GrowHistory(std::string& history) {
    constexpr std::size_t kLong = std::size_t{16} << 20;
    constexpr std::size_t kStep = std::size_t{1} << 30;
    if (history.size() < kLong || history.size() != history.capacity()) return;
    try {
        history.reserve(history.size() + std::max(history.size(), kStep));
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
}

void TChannelView::AddRxByte(std::uint8_t b) {
    GrowHistory(FRxData);
    FRxData.push_back(static_cast<char>(b));
    ShowRxByte(b);
}

void TChannelView::ShowRxByte(std::uint8_t b) {
    if (FMode == dmANSI) {
        if (FeedAnsi) FeedAnsi(b);
        return;
    }
    FOutPutList.AddByte(b, RxForm());
}

void TChannelView::ShowTxByte(std::uint8_t b) {
    FInputList.AddByte(b, TxForm());
}

void TChannelView::SetMode(std::uint8_t mode) {
    if (mode > dmANSI) {
        StoreMode(mode);
        return;
    }
    const bool ansi = mode == dmANSI;
    if (!ansi) {
        FOutPutVisible = true;
        if (ShowOutPutList) ShowOutPutList(true);
    }
    FMode = mode;
    if (ansi) {
        FOutPutVisible = false;
        if (ShowOutPutList) ShowOutPutList(false);
    }
    FOutPutList.Clear();
    if (ansi) {
        // The history must look as it did when it arrived, not as it looks
        // after whatever state the last bytes left the interpreter in.
        if (ResetAnsi)
            ResetAnsi();
        else if (ClearAnsi)
            ClearAnsi();
    }
    FInputList.Clear();
    {
        // Resumed editor first, then the receive view.
        TUpdateLock out(FOutPutList);
        TUpdateLock in(FInputList);
        if (ansi && FeedAnsiText) {
            // In slices copied out of the history: whatever a hook lets run
            // meanwhile may append to it, and must not move what is being fed.
            constexpr std::size_t kSlice = std::size_t{64} << 10;
            std::string slice;
            for (std::size_t i = 0; i < FRxData.size(); i += kSlice) {
                slice.assign(FRxData, i, kSlice);
                FeedAnsiText(slice);
            }
        } else {
            // By index: a nested receive during a replay hook must not invalidate it.
            for (std::size_t i = 0; i < FRxData.size(); ++i)
                ShowRxByte(static_cast<std::uint8_t>(FRxData[i]));
        }
        for (std::size_t i = 0; i < FTxData.size(); ++i)
            ShowTxByte(static_cast<std::uint8_t>(FTxData[i]));
    }
    if (FocusInputList) FocusInputList();
}

void TChannelView::ClearRx() {
    FOutPutList.Clear();
    if (ClearAnsi) ClearAnsi();
    std::string().swap(FRxData); // hands a long history's memory back
}

void TChannelView::ClearTx() {
    FInputList.Clear();
    std::string().swap(FTxData);
}

void TChannelView::ClearRxView() {
    FOutPutList.Clear();
}

void TChannelView::ClearTxView() {
    FInputList.Clear();
}

void TChannelView::InputListKeyDown(std::uint16_t key, TShiftState shift) {
    if (TxBusy && TxBusy()) {
        // A hex digit would be half a byte for later: refused like a character.
        FBusyShift = shift;
        const bool hexKey = (key >= '0' && key <= '9') || (key >= 'A' && key <= 'F');
        if (shift == ssCtrl && hexKey) platform::MessageBeep(1);
        if (SetBreak) SetBreak(false);
        return;
    }
    RunTxActions(FKeys.KeyDown(key, shift));
}

void TChannelView::InputListKeyPress(char32_t ch) {
    if (TxBusy && TxBusy()) {
        if (!(FBusyShift & ssCtrl)) platform::MessageBeep(1);
        return;
    }
    RunTxActions(FKeys.KeyPress(ch));
}

void TChannelView::InputListComposed(char32_t ch, TShiftState shift) {
    RunTxActions(FKeys.ComposedChar(ch, shift));
}

void TChannelView::ShowAndRecordTx(std::string_view bytes) {
    for (const char c : bytes)
        ShowTxByte(static_cast<std::uint8_t>(c));
    FTxData.append(bytes);
    if (TxRecorded) TxRecorded(bytes);
}

void TChannelView::RunTxActions(const TTxActions& actions) {
    for (const TTxAction& a : actions) {
        switch (a.Kind) {
        case TTxAction::taEndBreak:
            if (SetBreak) SetBreak(false);
            break;
        case TTxAction::taBeep:
            platform::MessageBeep(a.Value);
            break;
        case TTxAction::taShow:
            ShowTxByte(a.Value);
            break;
        case TTxAction::taRecord:
            FTxData.push_back(static_cast<char>(a.Value));
            if (TxRecorded) TxRecorded(std::string_view(&FTxData.back(), 1));
            break;
        case TTxAction::taSend:
            if (SendByte) SendByte(a.Value);
            break;
        }
    }
}
