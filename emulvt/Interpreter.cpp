// The escape sequence interpreter of TScreen: control characters, sequence
// collection, the sequence tables, SGR, translation and diagnostic reports.
#include "Screen.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "Platform.h"

namespace emulvt {

std::atomic<std::uint32_t> TScreen::s_reportCounter{0};

namespace {

constexpr std::uint32_t kBeepAsterisk = 0x40;

constexpr TXlatTable MakeNormalTable() {
    // 0xA0..0xFF: code page 437 codes of the Latin-1 characters, or a
    // plain look-alike where the code page has none.
    constexpr std::uint8_t high[96] = {
        0xB1, 0xAD, 0x9B, 0x9C, 0x0F, 0x9D, 0xB3, 0x15, 0x20, 0x43, 0xA6, 0xAE, 0xAA, 0xC4,
        0x52, 0xC4, 0xF8, 0xF1, 0xFD, 0x20, 0x27, 0xE6, 0x14, 0xFA, 0x2C, 0x20, 0xA7, 0xAF,
        0xAC, 0xAB, 0x20, 0xA8, 0x41, 0x41, 0x41, 0x41, 0x8E, 0x8F, 0x92, 0x80, 0x45, 0x45,
        0x45, 0x45, 0x45, 0x49, 0x49, 0x49, 0x44, 0xA5, 0x4F, 0x4F, 0x4F, 0x4F, 0x4F, 0x78,
        0xED, 0x55, 0x55, 0x55, 0x55, 0x59, 0x70, 0xE1, 0x85, 0xA0, 0x83, 0x61, 0x84, 0x86,
        0x91, 0x87, 0x8A, 0x82, 0x88, 0x89, 0x8D, 0xA1, 0x8C, 0x49, 0x64, 0xA4, 0x95, 0xA2,
        0x93, 0x6F, 0x94, 0xF6, 0xED, 0x97, 0xA3, 0x96, 0x9A, 0x79, 0x70, 0x98};
    TXlatTable t{};
    for (int i = 0; i < 0x80; ++i)
        t[i] = static_cast<std::uint8_t>(i);
    for (int i = 0x80; i < 0xA0; ++i)
        t[i] = 0x20;
    for (int i = 0; i < 96; ++i)
        t[0xA0 + i] = high[i];
    return t;
}

constexpr TXlatTable MakeGraphicsTable() {
    TXlatTable t = MakeNormalTable();
    t[0x6A] = 0xD9;
    t[0x6B] = 0xBF;
    t[0x6C] = 0xDA;
    t[0x6D] = 0xC0;
    t[0x6E] = 0xC5;
    t[0x71] = 0xC4;
    t[0x74] = 0xC3;
    t[0x75] = 0xB4;
    t[0x76] = 0xC1;
    t[0x77] = 0xC2;
    t[0x78] = 0xB3;
    return t;
}

constexpr TXlatTable kNormalTable = MakeNormalTable();
constexpr TXlatTable kGraphicsTable = MakeGraphicsTable();

// How a byte takes part in collecting a sequence.
enum : std::uint8_t {
    kParam = 1,        // blank, digit, ";", "?": collected
    kIntroducer = 2,   // "(", ")", "*", "+", "[": collected as the first byte
    kFinalFirst = 4,   // ends "ESC x" at once: 7 8 < = > D E H M
    kCharsetIntro = 8, // "(", ")", "*", "+": the next byte is final
};

constexpr std::array<std::uint8_t, 256> MakeByteClasses() {
    std::array<std::uint8_t, 256> c{};
    for (char b : std::string_view(" 0123456789;?"))
        c[std::uint8_t(b)] |= kParam;
    for (char b : std::string_view("()*+["))
        c[std::uint8_t(b)] |= kIntroducer;
    for (char b : std::string_view("78<=>DEHM"))
        c[std::uint8_t(b)] |= kFinalFirst;
    for (char b : std::string_view("()*+"))
        c[std::uint8_t(b)] |= kCharsetIntro;
    return c;
}
constexpr std::array<std::uint8_t, 256> kByteClasses = MakeByteClasses();
std::uint8_t ByteClass(std::uint8_t b) {
    return kByteClasses[b];
}

// What an SGR code does: attribute := (attribute AND And) OR Or, reverse :=
// (reverse AND KeepReverse) OR SetReverse, and for a few codes one more effect.
enum : std::uint8_t { kSgrAttr, kSgrHighOff, kSgrHighOn, kSgrInvalid };
struct TSgrCode {
    std::uint8_t And = 0xFF;
    std::uint8_t Or = 0;
    std::uint8_t KeepReverse = 1;
    std::uint8_t SetReverse = 0;
    std::uint8_t Kind = kSgrInvalid;
};

// Codes 0..47, then one entry for every larger code (invalid).
constexpr std::array<TSgrCode, 49> MakeSgrCodes() {
    std::array<TSgrCode, 49> t{};
    t[0] = t[27] = {0, kNormalAttr, 0, 0, kSgrAttr};
    t[1] = {0xFF, 0x08, 1, 0, kSgrAttr};
    t[4] = {0xFF, 0, 1, 0, kSgrAttr};
    t[5] = {0xFF, 0x80, 1, 0, kSgrAttr};
    t[7] = {0xFF, 0, 1, 1, kSgrAttr};
    t[8] = {0, 0, 1, 0, kSgrAttr};
    t[10] = {0xFF, 0, 1, 0, kSgrHighOff};
    t[12] = {0xFF, 0, 1, 0, kSgrHighOn};
    t[22] = {0xF7, 0, 1, 0, kSgrAttr};
    for (int c = 0; c < 8; ++c) {
        t[30 + c] = {0xF8, std::uint8_t(c), 1, 0, kSgrAttr};
        t[40 + c] = {0x8F, std::uint8_t(c << 4), 1, 0, kSgrAttr};
    }
    return t;
}
constexpr std::array<TSgrCode, 49> kSgrCodes = MakeSgrCodes();

} // namespace

const TXlatTable& NormalXlatTable() {
    return kNormalTable;
}
const TXlatTable& GraphicsXlatTable() {
    return kGraphicsTable;
}

int TScreen::ReadNumber(int pos, int& value) const {
    constexpr int kMax = std::numeric_limits<int>::max();
    pos = SkipSpaces(pos);
    int v = 0;
    if (pos >= 1) {
        for (; pos <= FSeqLen; ++pos) {
            const int digit = FSeqBuf[pos - 1] - '0';
            if (digit < 0 || digit > 9) break;
            v = static_cast<int>(std::min<long long>(v * 10LL + digit, kMax));
        }
    }
    value = v;
    return pos;
}

int TScreen::SkipSpaces(int pos) const {
    while (pos >= 1 && pos <= FSeqLen && SeqAt(pos) == ' ')
        ++pos;
    return pos;
}

void TScreen::ProcessSpecial(std::uint8_t b) {
    ProcessSlowly(b);
    UpdateFastPath();
}

void TScreen::ProcessSlowly(std::uint8_t b) {
    if (FRawCount > 0) {
        if (FRawCount & 1) StoreChar(b);
        --FRawCount;
        return;
    }
    if (FRecvXlat) b = (*FXlatTable)[b];

    if (!FInSequence) {
        switch (b) {
        case 0x00:
            break;
        case 0x07:
            platform::MessageBeep(kBeepAsterisk);
            break;
        case 0x08:
            BackSpace();
            break;
        case 0x09:
            TabForward();
            break;
        case 0x0A:
            LineFeed();
            if (FAutoCR) CarriageReturn();
            break;
        case 0x0D:
            CarriageReturn();
            if (FAutoLF) LineFeed();
            break;
        case 0x0E:
            FXlatTable = &kGraphicsTable;
            break;
        case 0x0F:
            FXlatTable = &kNormalTable;
            break;
        case 0x1B:
            FSeqLen = 0;
            FInSequence = true;
            break;
        default:
            StoreChar(b);
            break;
        }
        return;
    }

    bool isFinal;
    if (FSeqLen == 0)
        isFinal = ByteClass(b) & kFinalFirst || !(ByteClass(b) & (kParam | kIntroducer));
    else if (FSeqLen == 1 && ByteClass(std::uint8_t(FSeqBuf[0])) & kCharsetIntro)
        isFinal = true;
    else
        isFinal = !(ByteClass(b) & kParam);

    if (!isFinal) {
        FSeqBuf[FSeqLen++] = static_cast<char>(b);
        if (FSeqLen >= kSeqCapacity) {
            platform::MessageBeep(kBeepAsterisk);
            FSeqLen = 0;
            FInSequence = false;
        }
        return;
    }
    RunSequence(b);
    FSeqLen = 0;
    FInSequence = false;
}

void TScreen::RunSequence(std::uint8_t final) {
    if (FSeqLen == 0) {
        switch (final) {
        case '7':
            SaveCursorPos();
            break;
        case '8':
            RestoreCursorPos();
            break;
        case '<':
        case '=':
        case '>':
        case 'H':
            break;
        case 'D':
        case 'E':
            ReportSequence("Unimplemented", final);
            break;
        case 'M':
            ReverseLineFeed();
            break;
        default:
            ReportSequence("Invalid", final);
            StoreChar(final);
            break;
        }
        return;
    }
    switch (FSeqBuf[0]) {
    case '[':
        RunControlSequence(final);
        break;
    case '(':
        if (final == '0') {
            FXlatTable = &kGraphicsTable;
            FRecvXlat = FXlatDefault;
        } else if (final == 'B') {
            FXlatTable = &kNormalTable;
            FRecvXlat = FXlatDefault;
        } else {
            ReportSequence("Invalid", final);
        }
        break;
    case ')':
    case '*':
    case '+':
        break;
    case ' ':
        if (final != 'F') ReportSequence("Invalid", final);
        break;
    default:
        ReportSequence("Invalid", final);
        break;
    }
}

// ESC [ ... final, reached from the shortcut in ProcessByte: as the slow path
// would run it, then back to the ground state.
void TScreen::FinishControlSequence(std::uint8_t final) {
    if (final == 'm') { // SGR changes neither counting nor translation
        RunSgr(final);
        FSeqLen = 0;
        FInSequence = false;
        FFastPath = kFastGround;
        return;
    }
    RunControlSequence(final);
    FSeqLen = 0;
    FInSequence = false;
    FFastPath = FRawCount > 0 || FRecvXlat ? kFastNone : kFastGround;
}

void TScreen::RunControlSequence(std::uint8_t final) {
    if (final == 'm') { // the most frequent by far
        RunSgr(final);
        return;
    }
    int n = 0;
    ReadNumber(2, n);
    const int count = std::max(n, 1);
    switch (final) {
    case '@':
        InsertBlankCells(count);
        break;
    case 'A':
        CursorUp(count);
        break;
    case 'B':
        CursorDown(count);
        break;
    case 'C':
        CursorRight(count);
        break;
    case 'D':
        CursorLeft(count);
        break;
    case 'H':
    case 'f': {
        int row = 0, col = 1;
        const int pos = SkipSpaces(ReadNumber(2, row));
        if (SeqAt(pos) == ';') ReadNumber(pos + 1, col);
        MoveTo(col - 1, row - 1);
        break;
    }
    case 'I':
        RunPrivate(final);
        break;
    case 'J':
        if (n == 0) {
            FCurAttr = kNormalAttr;
            EraseToScreenEnd();
        } else if (n == 1) {
            EraseToCursorRow();
        } else if (n == 2) {
            ClearAll();
        } else {
            ReportSequence("Invalid", final);
        }
        break;
    case 'K':
        EraseToLineEnd();
        break;
    case 'L':
        InsertBlankLines(count);
        break;
    case 'M':
        RemoveLines(count);
        break;
    case 'P':
        RemoveCells(count);
        break;
    case 'S':
        ScrollRegionUp();
        break;
    case 'h':
    case 'l':
        if (SeqAt(2) == '?') {
            int mode = 0;
            ReadNumber(3, mode);
            if (mode == 7)
                FAutoWrap = final == 'h';
            else if (mode != 1 && mode != 4 && mode != 25)
                ReportSequence("Unimplemented", final);
        } else {
            ReportSequence("Unimplemented", final);
        }
        break;
    case 'm':
        RunSgr(final);
        break;
    case 'T':
    case 'n':
        ReportSequence("Unimplemented", final);
        break;
    case 'r':
        SetRegion();
        break;
    case 's':
        SaveCursorPos();
        break;
    case 'u':
        RestoreCursorPos();
        break;
    case '>':
    case 'g':
        break;
    default:
        ReportSequence("Invalid", final);
        break;
    }
}

void TScreen::SetRegion() {
    int top = 0, bottom = 1;
    const int pos = SkipSpaces(ReadNumber(2, top));
    if (top != 0) {
        if (SeqAt(pos) == ';') ReadNumber(pos + 1, bottom);
        FRegionTop = top - 1;
        FRegionBottom = bottom - 1;
        if (FRegionTop < FRegionBottom && FRegionTop >= 0 && FRegionBottom < FRows) return;
    }
    FRegionTop = 0;
    FRegionBottom = FRows - 1;
}

void TScreen::RunPrivate(std::uint8_t final) {
    int p = 0;
    int pos = ReadNumber(2, p);
    switch (p) {
    case 0:
        FRecvXlat = true;
        break;
    case 1: {
        int count = 1;
        pos = SkipSpaces(pos);
        if (SeqAt(pos) == ';') ReadNumber(pos + 1, count);
        FRawCount = count;
        break;
    }
    case 2:
        break;
    case 3: {
        int v[4] = {0, 0, 0, 0}; // a, b, c, d
        for (int& x : v) {
            pos = SkipSpaces(pos);
            if (SeqAt(pos) != ';') break;
            pos = ReadNumber(pos + 1, x);
        }
        char text[64];
        std::snprintf(text, sizeof text, "Special key %02X%02X %02X%02X", unsigned(v[1]),
                      unsigned(v[0]), unsigned(v[3]), unsigned(v[2]));
        DebugReport(text);
        break;
    }
    case 4:
        FRecvXlat = false;
        break;
    default:
        ReportSequence("Unimplemented", final);
        break;
    }
}

inline void TScreen::RunSgr(std::uint8_t final) {
    if (FSeqLen == 1) { // ESC [m
        FCurAttr = kNormalAttr;
        FReverseOn = false;
        return;
    }
    // The same walk as ReadNumber from each position, done in one pass, with
    // the state in locals and each code looked up rather than branched on.
    // A non-digit just past the parameters ends the last number, so the digit
    // loop needs no bounds test; a collected sequence always leaves room.
    FSeqBuf[FSeqLen] = ';';
    std::uint8_t attr = FCurAttr;
    std::uint8_t reverse = FReverseOn;
    const auto* p = reinterpret_cast<const unsigned char*>(FSeqBuf.data()) + 1;
    const auto* const end = p + (FSeqLen - 1);
    while (p < end) {
        unsigned code = *p - unsigned('0');
        if (code > 9) { // blank, ";", "[" or a byte that is no number
            ++p;
            continue;
        }
        // One or two digits, the usual codes, are read without a loop; a
        // third digit is rare. Every code from 48 up is invalid alike, so the
        // value may saturate.
        const unsigned second = p[1] - unsigned('0');
        const bool two = second <= 9;
        code = two ? code * 10 + second : code;
        p += 1 + two;
        for (unsigned digit; (digit = *p - unsigned('0')) <= 9; ++p)
            code = code < 100000 ? code * 10 + digit : code;
        const TSgrCode& op = kSgrCodes[code < kSgrCodes.size() ? code : kSgrCodes.size() - 1];
        attr = static_cast<std::uint8_t>((attr & op.And) | op.Or);
        reverse = static_cast<std::uint8_t>((reverse & op.KeepReverse) | op.SetReverse);
        if (op.Kind != kSgrAttr) {
            if (op.Kind == kSgrInvalid)
                ReportSequence("Invalid", final);
            else
                FHighBitOn = op.Kind == kSgrHighOn;
        }
    }
    if (reverse)
        attr =
            static_cast<std::uint8_t>((attr & 0x88) | ((attr & 0x07) << 4) | ((attr >> 4) & 0x07));
    FCurAttr = attr;
    FReverseOn = reverse;
}

void TScreen::ReportSequence(const char* what, std::uint8_t final) const {
    // Built on the stack: reports can be frequent on a noisy line.
    char text[32 + kSeqCapacity + 8];
    int len = std::snprintf(text, 40, "%s Escape Sequence: ", what);
    for (int i = 0; i < FSeqLen; ++i)
        text[len++] = FSeqBuf[i];
    text[len++] = static_cast<char>(final);
    text[len++] = '\r';
    text[len++] = '\n';
    DebugReport(std::string_view(text, std::size_t(len)));
}

void TScreen::DebugReport(std::string_view message) {
    const std::uint32_t n = s_reportCounter.fetch_add(1) + 1;
    char prefix[16];
    const int len = std::snprintf(prefix, sizeof prefix, "%04X ", unsigned(n));
    platform::OutputDebugString(std::string_view(prefix, std::size_t(len)));
    platform::OutputDebugString(message);
}

} // namespace emulvt
