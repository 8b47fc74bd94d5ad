// The text of a memo view (the receive view and the transmit editor) as a list
// of lines, built byte by byte in one of three forms. The widgets only paint
// what this model holds, so the forms are exact without a display and a view
// of any length costs no more than its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum TMemoForm : std::uint8_t { mfASCII, mfHex, mfBoth };

// A place in the text: a line index and a column (0 = before the first character).
struct TMemoPos {
    std::uint64_t Line = 0;
    std::uint64_t Col = 0;
    // (no <=>: moc of Qt 6.4 cannot parse <compare>, and windows include this)
    friend bool operator==(const TMemoPos& a, const TMemoPos& b) {
        return a.Line == b.Line && a.Col == b.Col;
    }
    friend bool operator!=(const TMemoPos& a, const TMemoPos& b) { return !(a == b); }
    friend bool operator<(const TMemoPos& a, const TMemoPos& b) {
        return a.Line < b.Line || (a.Line == b.Line && a.Col < b.Col);
    }
};

// Told when the text, the caret or the selection changed; a view repaints from it.
class TMemoObserver {
public:
    virtual void MemoChanged() = 0;
    virtual void MemoDestroyed() = 0;

protected:
    ~TMemoObserver() = default;
};

// Append-only bytes in fixed chunks: growing never copies or doubles what is held,
// which keeps the peak memory of a long history close to its size.
class TChunkedBytes {
public:
    void Push(char c) {
        if ((Count & (kChunk - 1)) == 0 && (Count >> kShift) == Chunks.size()) Grow();
        Chunks[Count >> kShift][Count & (kChunk - 1)] = c;
        ++Count;
    }
    void Append(std::string_view s);
    char At(std::uint64_t i) const { return Chunks[i >> kShift][i & (kChunk - 1)]; }
    std::uint64_t Size() const { return Count; }
    void CopyOut(std::uint64_t pos, std::uint64_t n, std::string& out) const; // appends to out
    void Clear();

private:
    static constexpr unsigned kShift = 20;
    static constexpr std::uint64_t kChunk = std::uint64_t{1} << kShift;
    void Grow();
    std::vector<std::unique_ptr<char[]>> Chunks;
    std::uint64_t Count = 0;
};

class TMemoText {
public:
    static constexpr std::size_t kLineWidth = 60;

    // receiveView: the receive view's ASCII form leaves the caret where it is
    // for CR and LF; the transmit editor moves it for every byte.
    explicit TMemoText(bool receiveView = false);
    ~TMemoText();
    TMemoText(const TMemoText&) = delete;
    TMemoText& operator=(const TMemoText&) = delete;

    // Shows one byte in the given form and puts the caret after it (no selection).
    void AddByte(std::uint8_t b, TMemoForm form);
    // Removes every line. The line-end flag is left alone: the next ASCII byte
    // finds no line and clears it.
    void Clear();

    std::uint64_t LineCount() const;
    std::string Line(std::uint64_t i) const; // the line's bytes (Windows-1252)
    std::size_t LineLength(std::uint64_t i) const;
    std::string Text() const; // every line followed by CR LF
    bool LineEnd() const { return FLineEnd; }

    // Caret and selection; the selection runs between the anchor and the caret.
    TMemoPos Caret() const { return FCaret; }
    TMemoPos Anchor() const { return FAnchor; }
    bool HasSelection() const { return FCaret != FAnchor; }
    void SetSelection(TMemoPos anchor, TMemoPos caret); // clamped to the text
    void SelectAll();
    std::string SelectedText(std::string_view lineBreak = "\r\n") const;
    TMemoPos Clamp(TMemoPos p) const;
    // Counts the bytes that asked the view to scroll its caret into sight.
    std::uint64_t ScrollRequests() const { return FScrollRequests; }

    // Between these the observer is not told; the end tells it once.
    void BeginUpdate() { ++FUpdating; }
    void EndUpdate();
    void SetObserver(TMemoObserver* observer) { FObserver = observer; }

    // Hex and both forms normally keep just the bytes and format lines on demand
    // (a third of the memory); false keeps them as plain lines, like ASCII.
    void SetCompactStorage(bool on) { FCompactAllowed = on; }

private:
    enum TStore : std::uint8_t { stText, stBytes };

    // Plain lines: all but the last two are frozen into one arena; only the last
    // two lines are ever written to.
    struct TLines {
        TChunkedBytes Arena;
        std::deque<std::uint64_t> Starts;
        std::string Open[2];
        int OpenCount = 0;
        std::uint64_t Count() const {
            return Starts.size() + static_cast<std::uint64_t>(OpenCount);
        }
        void Add();
        std::string& Last() { return Open[OpenCount - 1]; }
        std::string Get(std::uint64_t i) const;
        std::size_t Length(std::uint64_t i) const;
        void Clear();
    };

    void AddText(std::uint8_t b, TMemoForm form);
    void AddBytes(std::uint8_t b);
    void ToText(); // turns byte storage into plain lines
    std::string BytesLine(std::uint64_t i) const;
    void Changed();

    const bool FReceive;
    bool FCompactAllowed = true;
    TStore FStore = stText;
    TMemoForm FBytesForm = mfHex;
    TLines FLines;
    TChunkedBytes FBytes;
    bool FLineEnd = false;
    TMemoPos FCaret, FAnchor;
    std::uint64_t FScrollRequests = 0;
    int FUpdating = 0;
    bool FPending = false;
    TMemoObserver* FObserver = nullptr;
};
