#include "Screen.h"

#include <algorithm>
#include <cstdint>

namespace emulvt {

void TLine::Reset(std::uint8_t attr) {
    Chars.fill(0x20);
    Attrs.fill(attr);
}

TScreen::TScreen() : FXlatTable(&NormalXlatTable()) {
    FLines.reserve(FRows);
    for (int r = 0; r < FRows; ++r)
        FLines.push_back(std::make_unique<TLine>());
}

void TScreen::SetCols(int cols) {
    FCols = std::clamp(cols, 1, kLineCells);
}

void TScreen::ResetChanges() {
    FChangedArea = TChangedArea{};
    FAllChanged = false;
}

void TScreen::WrapToNextRow() {
    FCurCol = 0;
    ++FCurRow;
    if (FCurRow >= FRows) {
        FCurRow = FRows - 1;
        ScrollRegionUp();
    }
}

void TScreen::MoveTo(int col, int row) {
    FCurCol = std::clamp(col, 0, FCols - 1);
    FCurRow = std::clamp(row, 0, FRows - 1);
}

void TScreen::LineFeed() {
    if (FCurRow + 1 > FRegionBottom) {
        FCurRow = FRegionBottom;
        ScrollRegionUp();
    } else {
        ++FCurRow;
    }
}

void TScreen::ReverseLineFeed() {
    if (FCurRow - 1 < FRegionTop) {
        FCurRow = FRegionTop;
        ScrollRegionDown();
    } else {
        --FCurRow;
    }
}

void TScreen::TabForward() {
    // Never past the last shown column, so the next character stays visible.
    const int last = FCols - 1;
    if (FCurCol >= last) return;
    FCurCol = std::min((FCurCol / 8 + 1) * 8, last);
}

void TScreen::CursorUp(int n) {
    FCurRow = std::max(0, FCurRow - std::max(n, 0));
}

void TScreen::CursorDown(int n) {
    const long long r = static_cast<long long>(FCurRow) + std::max(n, 0);
    FCurRow = static_cast<int>(std::min<long long>(r, FRows - 1));
}

void TScreen::CursorLeft(int n) {
    FCurCol = std::max(0, FCurCol - std::max(n, 0));
}

void TScreen::CursorRight(int n) {
    const long long c = static_cast<long long>(FCurCol) + std::max(n, 0);
    if (c < FCols) {
        FCurCol = static_cast<int>(c);
    } else if (FAutoWrap) {
        FCurCol = static_cast<int>(std::min<long long>(c - FCols, kLineCells - 1));
        FCurRow = std::min(FCurRow + 1, FRows - 1);
    } else {
        FCurCol = FCols - 1;
    }
}

void TScreen::SaveCursorPos() {
    FSavedRow = FCurRow;
    FSavedCol = FCurCol;
}

void TScreen::RestoreCursorPos() {
    if (FSavedRow != -1)
        MoveTo(FSavedCol, FSavedRow);
    else
        MoveTo(0, 0);
    FSavedRow = FSavedCol = -1;
}

void TScreen::ScrollRegionUp() {
    if (FRegionTop <= FRegionBottom) {
        auto first = FLines.begin() + FRegionTop;
        std::rotate(first, first + 1, FLines.begin() + FRegionBottom + 1);
        FLines[FRegionBottom]->Reset(kNormalAttr);
    }
    FAllChanged = true;
}

void TScreen::ScrollRegionDown() {
    if (FRegionTop <= FRegionBottom) {
        auto first = FLines.begin() + FRegionTop;
        auto last = FLines.begin() + FRegionBottom + 1;
        std::rotate(first, last - 1, last);
        FLines[FRegionTop]->Reset(kNormalAttr);
    }
    FAllChanged = true;
}

void TScreen::ClearAll() {
    for (auto& line : FLines)
        line->Reset(FCurAttr);
    FCurRow = FCurCol = 0;
    FAllChanged = true;
}

void TScreen::ResetTerminal() {
    FCurAttr = kNormalAttr;
    FHighBitOn = FReverseOn = FAutoWrap = false;
    FSavedRow = FSavedCol = -1;
    FRegionTop = 0;
    FRegionBottom = FRows - 1;
    FInSequence = false;
    FSeqLen = 0;
    FRawCount = 0;
    FXlatTable = &NormalXlatTable();
    FRecvXlat = FXlatDefault;
    UpdateFastPath();
    ClearAll();
}

void TScreen::EraseToLineEnd() {
    TLine& line = *FLines[FCurRow];
    for (int c = FCurCol; c < FCols; ++c) {
        line.Chars[c] = 0x20;
        line.Attrs[c] = FCurAttr;
    }
    MarkChanged(FCurRow, FCurCol);
    MarkChanged(FCurRow, FCols);
}

void TScreen::EraseToScreenEnd() {
    EraseToLineEnd();
    for (int r = FCurRow + 1; r < FRows; ++r)
        FLines[r]->Reset(FCurAttr);
    if (FCurRow == 0) {
        FAllChanged = true;
    } else {
        MarkChanged(FCurRow, 0);
        MarkChanged(FRows, FCols);
    }
}

void TScreen::EraseToCursorRow() {
    for (int r = 0; r <= FCurRow; ++r)
        FLines[r]->Reset(FCurAttr);
    MarkChanged(0, 0);
    MarkChanged(FCurRow, FCols);
}

void TScreen::InsertBlankLines(int n) {
    n = std::max(n, 1);
    FCurCol = 0;
    if (n > FRegionBottom - FCurRow) {
        for (int r = FCurRow; r <= FRegionBottom; ++r)
            FLines[r]->Reset(FCurAttr);
    } else {
        for (int r = FRegionBottom; r >= FCurRow + n; --r)
            std::swap(FLines[r], FLines[r - n]);
        for (int r = FCurRow; r < FCurRow + n; ++r)
            FLines[r]->Reset(FCurAttr);
    }
    FAllChanged = true;
}

void TScreen::RemoveLines(int n) {
    n = std::max(n, 1);
    FAllChanged = true;
    FCurCol = 0;
    if (n > FRegionBottom - FCurRow) {
        for (int r = FCurRow; r <= FRegionBottom; ++r)
            FLines[r]->Reset(FCurAttr);
    } else {
        for (int r = FCurRow; r < FCurRow + n; ++r)
            FLines[r]->Reset(kNormalAttr);
        for (int r = FCurRow; r <= FRegionBottom - n; ++r)
            std::swap(FLines[r], FLines[r + n]);
    }
}

void TScreen::InsertBlankCells(int n) {
    n = std::max(n, 1);
    if (n >= FCols - FCurCol) { // Cols - CurCol - n <= 0, without overflow
        EraseToLineEnd();
        return;
    }
    TLine& line = *FLines[FCurRow];
    for (int x = FCols - 1; x >= FCurCol + n; --x) {
        line.Chars[x] = line.Chars[x - n];
        line.Attrs[x] = line.Attrs[x - n];
        MarkChanged(FCurRow, x);
    }
    for (int x = FCurCol; x < FCurCol + n; ++x) {
        line.Chars[x] = 0x20;
        line.Attrs[x] = FCurAttr;
        MarkChanged(FCurRow, x);
    }
}

void TScreen::RemoveCells(int n) {
    n = std::clamp(n, 1, FCols);
    TLine& line = *FLines[FCurRow];
    for (int x = FCurCol; x <= FCols - n - 1; ++x) {
        line.Chars[x] = line.Chars[x + n];
        line.Attrs[x] = line.Attrs[x + n];
    }
    for (int x = std::max(FCurCol, FCols - n); x < FCols; ++x) {
        line.Chars[x] = 0x20;
        line.Attrs[x] = kNormalAttr;
    }
    MarkChanged(FCurRow, FCurCol);
    MarkChanged(FCurRow, FCols);
}

void TScreen::ResizeRows(int n) {
    n = std::clamp(n, 1, kMaxRows);
    if (n == FRows) return;
    // Keeps the top rows; the view clears the screen right after anyway.
    if (n < FRows) {
        FLines.resize(n);
    } else {
        FLines.reserve(n);
        while (static_cast<int>(FLines.size()) < n)
            FLines.push_back(std::make_unique<TLine>());
    }
    FRows = n;
    FRegionBottom = n - 1;
    // Keep every position addressable until the next ClearAll.
    if (FRegionTop > FRegionBottom) FRegionTop = 0;
    FCurRow = std::min(FCurRow, n - 1);
}

} // namespace emulvt
