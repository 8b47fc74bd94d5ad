// Screen buffer of a terminal view and the escape sequence interpreter that
// drives it. Qt-free: the view (EmulVT.h) paints what this buffer holds.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace emulvt {

// Cells per row, whatever the number of shown columns.
inline constexpr int kLineCells = 133;
// Attribute of blank cells: light grey on black.
inline constexpr std::uint8_t kNormalAttr = 7;

class TLine {
public:
    TLine() { Reset(kNormalAttr); }
    void Reset(std::uint8_t attr);

    std::array<std::uint8_t, kLineCells> Chars;
    std::array<std::uint8_t, kLineCells> Attrs;
};

struct TChangedArea {
    int Left = 9999;
    int Top = 9999;
    int Right = -1;
    int Bottom = -1;
    bool Empty() const { return Right < Left || Bottom < Top; }
};

using TXlatTable = std::array<std::uint8_t, 256>;
const TXlatTable& NormalXlatTable();
const TXlatTable& GraphicsXlatTable();

class TScreen {
public:
    TScreen();
    TScreen(const TScreen&) = delete;
    TScreen& operator=(const TScreen&) = delete;

    // ---- geometry and state
    int Rows() const { return FRows; }
    int Cols() const { return FCols; }
    void SetCols(int cols); // clamped to 1..133
    int CurRow() const { return FCurRow; }
    int CurCol() const { return FCurCol; }
    int SavedRow() const { return FSavedRow; }
    int SavedCol() const { return FSavedCol; }
    int RegionTop() const { return FRegionTop; }
    int RegionBottom() const { return FRegionBottom; }
    std::uint8_t CurAttr() const { return FCurAttr; }
    void SetCurAttr(std::uint8_t attr) { FCurAttr = attr; }
    bool HighBitOn() const { return FHighBitOn; }
    bool ReverseOn() const { return FReverseOn; }
    bool AutoWrap() const { return FAutoWrap; }
    void SetAutoWrap(bool v) { FAutoWrap = v; }
    bool AutoLF() const { return FAutoLF; }
    void SetAutoLF(bool v) { FAutoLF = v; }
    bool AutoCR() const { return FAutoCR; }
    void SetAutoCR(bool v) { FAutoCR = v; }
    const TChangedArea& ChangedArea() const { return FChangedArea; }
    bool AllChanged() const { return FAllChanged; }

    // ---- interpreter state
    bool InSequence() const { return FInSequence; }
    std::string_view SeqBuf() const { return {FSeqBuf.data(), std::size_t(FSeqLen)}; }
    const TXlatTable& XlatTable() const { return *FXlatTable; }
    bool RecvXlat() const { return FRecvXlat; }
    void SetRecvXlat(bool v) {
        FRecvXlat = v;
        UpdateFastPath();
    }
    bool XlatDefault() const { return FXlatDefault; }
    void SetXlatDefault(bool v) { FXlatDefault = v; }
    int RawCount() const { return FRawCount; }

    // ---- row store
    const TLine& RowAt(int row) const { return *FLines[ClampRow(row)]; }
    TLine& RowAt(int row) { return *FLines[ClampRow(row)]; }

    // ---- editing operations (counts are at least 1; larger ones clamp)
    void MarkChanged(int row, int col) {
        if (FAllChanged) return;
        if (row < FChangedArea.Top) FChangedArea.Top = row;
        if (row > FChangedArea.Bottom) FChangedArea.Bottom = row;
        if (col < FChangedArea.Left) FChangedArea.Left = col;
        if (col > FChangedArea.Right) FChangedArea.Right = col;
    }
    void ResetChanges();
    void StoreChar(std::uint8_t ch);
    void MoveTo(int col, int row);
    void LineFeed();
    void ReverseLineFeed();
    void CarriageReturn() { FCurCol = 0; }
    void BackSpace() {
        if (FCurCol > 0) --FCurCol;
    }
    void TabForward();
    void CursorUp(int n);
    void CursorDown(int n);
    void CursorLeft(int n);
    void CursorRight(int n);
    void SaveCursorPos();
    void RestoreCursorPos();
    void ScrollRegionUp();
    void ScrollRegionDown();
    void ClearAll();
    void EraseToLineEnd();
    void EraseToScreenEnd();
    void EraseToCursorRow();
    void InsertBlankLines(int n);
    void RemoveLines(int n);
    void InsertBlankCells(int n);
    void RemoveCells(int n);
    void ResizeRows(int n); // clamped to 1..kMaxRows
    // The state of a new buffer, for replaying a history from its start: blank
    // screen, cursor home, attribute 7, no saved cursor, whole-screen region,
    // modes off, no sequence or counted bytes pending, normal table. The size
    // and the owner's settings (AutoLF, AutoCR, the translation default) stay.
    void ResetTerminal();

    // ---- interpreter
    void ProcessByte(std::uint8_t b) {
        // Most bytes are printable characters, or start a control sequence or
        // are its parameters: keep those cases free of calls. Tested in order
        // of frequency on colourful streams, where parameters outnumber text.
        const std::uint8_t path = FFastPath;
        if (path == kFastCsiParams) {
            if (!IsParamByte(b)) { // any other byte ends ESC [ as its final byte
                FinishControlSequence(b);
                return;
            }
            const int len = FSeqLen;
            if (len < kSeqCapacity - 1) { // else the overlong case, below
                FSeqLen = len + 1;
                FSeqBuf[len] = static_cast<char>(b);
                return;
            }
        } else if (path == kFastGround) {
            if (!IsControl(b)) {
                StoreChar(b);
                return;
            }
            if (b == 0x1B) {
                FSeqLen = 0;
                FInSequence = true;
                FFastPath = kFastEscape;
                return;
            }
        } else if (path == kFastEscape && b == '[') {
            FSeqBuf[0] = '[';
            FSeqLen = 1;
            FFastPath = kFastCsiParams;
            return;
        }
        ProcessSpecial(b);
    }
    void ProcessText(std::string_view text) {
        for (char c : text)
            ProcessByte(static_cast<std::uint8_t>(c));
    }
    // pos is 1-based in SeqBuf (the byte after ESC is 1); returns the position
    // of the first byte that is not a digit. Values clamp at 2147483647.
    int ReadNumber(int pos, int& value) const;

    // Process-wide count of diagnostic reports.
    static std::uint32_t ReportCounter() { return s_reportCounter.load(); }

    static constexpr int kMaxRows = 1000;
    static constexpr int kSeqCapacity = 80;

private:
    static bool IsControl(std::uint8_t b) {
        // NUL BEL BS HT LF CR SO SI ESC
        return b < 0x20 && ((0x0800E781u >> b) & 1u);
    }
    // blank, digit, ";" or "?": collected in any sequence longer than one byte
    static bool IsParamByte(std::uint8_t b) {
        return b <= '?' && ((0x8BFF000100000000ull >> (b & 63)) & 1u);
    }
    // Which shortcut ProcessByte may take: none while bytes are counted or
    // translated, and inside sequences other than ESC [.
    enum : std::uint8_t { kFastGround, kFastEscape, kFastCsiParams, kFastNone };
    void UpdateFastPath() {
        if (FRawCount > 0 || FRecvXlat)
            FFastPath = kFastNone;
        else if (!FInSequence)
            FFastPath = kFastGround;
        else if (FSeqLen == 0)
            FFastPath = kFastEscape;
        else
            FFastPath = FSeqBuf[0] == '[' ? kFastCsiParams : kFastNone;
    }
    int ClampRow(int row) const { return row < 0 ? 0 : (row >= FRows ? FRows - 1 : row); }
    void WrapToNextRow();
    void ProcessSpecial(std::uint8_t b);
    void ProcessSlowly(std::uint8_t b);
    void RunSequence(std::uint8_t final);
    void RunControlSequence(std::uint8_t final);
    void FinishControlSequence(std::uint8_t final);
    void RunSgr(std::uint8_t final);
    void RunPrivate(std::uint8_t final);
    void SetRegion();
    int SkipSpaces(int pos) const;
    std::uint8_t SeqAt(int pos) const {
        return pos >= 1 && pos <= FSeqLen ? static_cast<std::uint8_t>(FSeqBuf[pos - 1]) : 0;
    }
    void ReportSequence(const char* what, std::uint8_t final) const;
    static void DebugReport(std::string_view message);

    int FRows = 25;
    int FCols = 80;
    std::vector<std::unique_ptr<TLine>> FLines;
    int FCurRow = 0;
    int FCurCol = 0;
    int FSavedRow = -1;
    int FSavedCol = -1;
    int FRegionTop = 0;
    int FRegionBottom = 24;
    std::uint8_t FCurAttr = kNormalAttr;
    bool FHighBitOn = false;
    bool FReverseOn = false;
    bool FAutoWrap = false;
    bool FAutoLF = false;
    bool FAutoCR = false;
    TChangedArea FChangedArea;
    bool FAllChanged = false;

    bool FInSequence = false;
    std::array<char, kSeqCapacity + 1> FSeqBuf{}; // one more for the SGR walk's end mark
    int FSeqLen = 0;
    const TXlatTable* FXlatTable;
    bool FRecvXlat = false;
    bool FXlatDefault = false;
    int FRawCount = 0;
    std::uint8_t FFastPath = kFastGround;

    static std::atomic<std::uint32_t> s_reportCounter;
};

inline void TScreen::StoreChar(std::uint8_t ch) {
    if (FCurCol >= FCols && FAutoWrap) WrapToNextRow();
    // Everything is read before the cells are written: a byte store may
    // alias any member, and would force the compiler to load them again.
    const int row = FCurRow;
    const int col = FCurCol;
    const std::uint8_t attr = FCurAttr;
    TLine& line = *FLines[row];
    if (FHighBitOn) ch |= 0x80;
    MarkChanged(row, col);
    FCurCol = col < kLineCells - 1 ? col + 1 : col;
    line.Chars[col] = ch;
    line.Attrs[col] = attr;
}

} // namespace emulvt
