#include "MemoText.h"

#include <algorithm>

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::uint64_t kBytesPerLine = TMemoText::kLineWidth / 3; // "XX " per byte

char Shown(std::uint8_t b) {
    return b < 32 ? '.' : static_cast<char>(b);
}
} // namespace

// ---- TChunkedBytes ------------------------------------------------------------

void TChunkedBytes::Grow() {
    Chunks.push_back(std::make_unique_for_overwrite<char[]>(kChunk));
}

void TChunkedBytes::Append(std::string_view s) {
    while (!s.empty()) {
        if ((Count >> kShift) == Chunks.size()) Grow();
        const std::uint64_t off = Count & (kChunk - 1);
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunk - off, s.size()));
        std::copy_n(s.data(), n, Chunks[Count >> kShift].get() + off);
        Count += n;
        s.remove_prefix(n);
    }
}

void TChunkedBytes::CopyOut(std::uint64_t pos, std::uint64_t n, std::string& out) const {
    while (n > 0) {
        const std::uint64_t off = pos & (kChunk - 1);
        const std::uint64_t take = std::min(kChunk - off, n);
        out.append(Chunks[pos >> kShift].get() + off, static_cast<std::size_t>(take));
        pos += take;
        n -= take;
    }
}

void TChunkedBytes::Clear() {
    std::vector<std::unique_ptr<char[]>>().swap(Chunks);
    Count = 0;
}

// ---- TMemoText::TLines -----------------------------------------------------------

void TMemoText::TLines::Add() {
    if (OpenCount == 2) {
        Starts.push_back(Arena.Size());
        Arena.Append(Open[0]);
        Open[0].swap(Open[1]); // keeps the capacity for the new line
        Open[1].clear();
        return;
    }
    Open[OpenCount].clear();
    Open[OpenCount].reserve(kLineWidth);
    ++OpenCount;
}

std::string TMemoText::TLines::Get(std::uint64_t i) const {
    if (i >= Starts.size()) return Open[i - Starts.size()];
    const std::uint64_t end = i + 1 < Starts.size() ? Starts[i + 1] : Arena.Size();
    std::string s;
    Arena.CopyOut(Starts[i], end - Starts[i], s);
    return s;
}

std::size_t TMemoText::TLines::Length(std::uint64_t i) const {
    if (i >= Starts.size()) return Open[i - Starts.size()].size();
    const std::uint64_t end = i + 1 < Starts.size() ? Starts[i + 1] : Arena.Size();
    return static_cast<std::size_t>(end - Starts[i]);
}

void TMemoText::TLines::Clear() {
    Arena.Clear();
    std::deque<std::uint64_t>().swap(Starts);
    std::string().swap(Open[0]);
    std::string().swap(Open[1]);
    OpenCount = 0;
}

// ---- TMemoText -----------------------------------------------------------------

TMemoText::TMemoText(bool receiveView) : FReceive(receiveView) {}

TMemoText::~TMemoText() {
    if (FObserver) FObserver->MemoDestroyed();
}

void TMemoText::AddByte(std::uint8_t b, TMemoForm form) {
    if (LineCount() == 0) {
        FLines.Clear();
        FBytes.Clear();
        FStore = FCompactAllowed && form != mfASCII ? stBytes : stText;
        FBytesForm = form;
    } else if (FStore == stBytes && form != FBytesForm) {
        ToText();
    }
    if (FStore == stBytes)
        AddBytes(b);
    else
        AddText(b, form);
    ++FScrollRequests;
    Changed();
}

void TMemoText::AddText(std::uint8_t b, TMemoForm form) {
    TLines& L = FLines;
    const char hex[2] = {kHexDigits[b >> 4], kHexDigits[b & 15]};
    switch (form) {
    case mfASCII: {
        if (L.Count() == 0) {
            L.Add();
            FLineEnd = false;
        }
        if (L.Last().size() == kLineWidth) L.Add();
        const bool lineEndByte = b == 13 || b == 10;
        if (lineEndByte) {
            if (FLineEnd) {
                L.Add();
                FLineEnd = false;
            } else {
                FLineEnd = true;
            }
        } else {
            L.Last().push_back(Shown(b));
        }
        // The receive view only scrolls to its caret on a line end; it stays put.
        if (!(FReceive && lineEndByte)) FCaret = FAnchor = {L.Count() - 1, L.Last().size()};
        break;
    }
    case mfHex: {
        if (L.Count() == 0) L.Add();
        if (L.Last().size() == kLineWidth) L.Add();
        std::string& line = L.Last();
        line.append(hex, 2);
        if (line.size() < kLineWidth) line.push_back(' ');
        FCaret = FAnchor = {L.Count() - 1, line.size()};
        break;
    }
    case mfBoth: {
        if (L.Count() == 0) L.Add();
        if (L.Count() == 1) L.Add(); // a pair needs both rows
        if (L.Open[0].size() == kLineWidth) {
            L.Add();
            L.Add();
        }
        std::string& hexRow = L.Open[0];
        std::string& charRow = L.Open[1];
        hexRow.append(hex, 2);
        charRow.push_back(Shown(b));
        charRow.push_back(' ');
        if (hexRow.size() < kLineWidth) {
            hexRow.push_back(' ');
            charRow.push_back(' ');
        }
        FCaret = FAnchor = {L.Count() - 2, hexRow.size()};
        break;
    }
    }
}

// Byte storage holds exactly what plain lines would: every hex line is the full
// three columns per byte, 20 bytes to the line, so lines follow from the count.
void TMemoText::AddBytes(std::uint8_t b) {
    FBytes.Push(static_cast<char>(b));
    const std::uint64_t n = FBytes.Size();
    const std::uint64_t rows = (n + kBytesPerLine - 1) / kBytesPerLine;
    const std::uint64_t inLast = n - (rows - 1) * kBytesPerLine;
    const std::uint64_t line = FBytesForm == mfBoth ? 2 * (rows - 1) : rows - 1;
    FCaret = FAnchor = {line, 3 * inLast};
}

std::string TMemoText::BytesLine(std::uint64_t i) const {
    const bool both = FBytesForm == mfBoth;
    const std::uint64_t row = both ? i / 2 : i;
    const std::uint64_t start = row * kBytesPerLine;
    const std::uint64_t count = std::min(kBytesPerLine, FBytes.Size() - start);
    std::string s;
    s.reserve(3 * count);
    for (std::uint64_t k = 0; k < count; ++k) {
        const auto b = static_cast<std::uint8_t>(FBytes.At(start + k));
        if (both && (i & 1)) {
            s.push_back(Shown(b));
            s.push_back(' ');
        } else {
            s.push_back(kHexDigits[b >> 4]);
            s.push_back(kHexDigits[b & 15]);
        }
        s.push_back(' ');
    }
    return s;
}

void TMemoText::ToText() {
    TLines lines;
    const std::uint64_t n = LineCount();
    for (std::uint64_t i = 0; i < n; ++i) {
        lines.Add();
        lines.Last() = BytesLine(i);
    }
    FBytes.Clear();
    FLines = std::move(lines);
    FStore = stText;
}

void TMemoText::Clear() {
    FLines.Clear();
    FBytes.Clear();
    FStore = stText;
    FCaret = FAnchor = {};
    Changed();
}

std::uint64_t TMemoText::LineCount() const {
    if (FStore == stText) return FLines.Count();
    const std::uint64_t rows = (FBytes.Size() + kBytesPerLine - 1) / kBytesPerLine;
    return FBytesForm == mfBoth ? 2 * rows : rows;
}

std::string TMemoText::Line(std::uint64_t i) const {
    if (i >= LineCount()) return {};
    return FStore == stText ? FLines.Get(i) : BytesLine(i);
}

std::size_t TMemoText::LineLength(std::uint64_t i) const {
    if (i >= LineCount()) return 0;
    if (FStore == stText) return FLines.Length(i);
    const std::uint64_t row = FBytesForm == mfBoth ? i / 2 : i;
    return static_cast<std::size_t>(3 *
                                    std::min(kBytesPerLine, FBytes.Size() - row * kBytesPerLine));
}

std::string TMemoText::Text() const {
    std::string s;
    const std::uint64_t n = LineCount();
    for (std::uint64_t i = 0; i < n; ++i) {
        s += Line(i);
        s += "\r\n";
    }
    return s;
}

TMemoPos TMemoText::Clamp(TMemoPos p) const {
    const std::uint64_t n = LineCount();
    if (n == 0) return {};
    if (p.Line >= n) p = {n - 1, ~std::uint64_t{0}};
    p.Col = std::min<std::uint64_t>(p.Col, LineLength(p.Line));
    return p;
}

void TMemoText::SetSelection(TMemoPos anchor, TMemoPos caret) {
    anchor = Clamp(anchor);
    caret = Clamp(caret);
    if (anchor == FAnchor && caret == FCaret) return;
    FAnchor = anchor;
    FCaret = caret;
    Changed();
}

void TMemoText::SelectAll() {
    const std::uint64_t n = LineCount();
    SetSelection({}, n == 0 ? TMemoPos{} : TMemoPos{n - 1, LineLength(n - 1)});
}

std::string TMemoText::SelectedText(std::string_view lineBreak) const {
    const TMemoPos from = std::min(FAnchor, FCaret);
    const TMemoPos to = std::max(FAnchor, FCaret);
    std::string s;
    for (std::uint64_t i = from.Line; i <= to.Line && i < LineCount(); ++i) {
        const std::string line = Line(i);
        const std::size_t a = i == from.Line ? static_cast<std::size_t>(from.Col) : 0;
        const std::size_t b = i == to.Line ? static_cast<std::size_t>(to.Col) : line.size();
        if (a < b) s.append(line, a, b - a);
        if (i != to.Line) s += lineBreak;
    }
    return s;
}

void TMemoText::EndUpdate() {
    if (FUpdating > 0 && --FUpdating == 0 && FPending) Changed();
}

void TMemoText::Changed() {
    if (FUpdating > 0) {
        FPending = true;
        return;
    }
    FPending = false;
    if (FObserver) FObserver->MemoChanged();
}
