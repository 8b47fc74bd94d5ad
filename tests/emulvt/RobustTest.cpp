// Robustness: millions of random and escape-heavy bytes through screens of
// usual and odd sizes. Runs under the sanitizers in CI; checks the screen's
// invariants as it goes and that the heap does not grow.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete" // we are the allocator
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "Platform.h"
#include "Screen.h"

using namespace std::string_literals;

// Live heap bytes of the whole test program, counted by replacing the global
// allocation functions (the default array and nothrow forms, and a
// sanitizer's, stay paired with each other).
namespace {
std::atomic<long long> g_liveBytes{0};

void* CountedAlloc(std::size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (p) g_liveBytes += static_cast<long long>(malloc_usable_size(p));
    return p;
}
void CountedFree(void* p) noexcept {
    if (p) g_liveBytes -= static_cast<long long>(malloc_usable_size(p));
    std::free(p);
}
} // namespace

void* operator new(std::size_t n) {
    if (void* p = CountedAlloc(n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    CountedFree(p);
}
void operator delete(void* p, std::size_t) noexcept {
    CountedFree(p);
}

namespace emulvt {
namespace {

constexpr std::size_t kChunk = 1 << 16;

// Fills buf with either uniformly random bytes or a stream made mostly of
// escape sequences with odd parameters.
void FillChunk(std::mt19937& rng, std::string& buf, bool escapeHeavy) {
    static const std::vector<std::string> pieces = [] { // "^[" is ESC
        std::string all =
            "^[[|^[[|^[[?|^[|;|;;| |?|0|1|7|25|31|47|99|2147483647|99999999999999|m|H|"
            "f|J|K|L|M|P|@|A|B|C|D|S|T|r|s|u|h|l|n|I|g|>|^[(0|^[(B|^[)|^[ M|^[ M|^[7|"
            "^[8|^[M|^[D|\x0e|\x0f|\r\n|\n|\r|\t|\x08|\x07|\x00|[|(|5;10r|1;3I|0I|4I|"
            "3;1;2;3;4I|?7h|?7l|99;999H|7m|12m|10m|0m|\xc4\xcd\xba|Hello"s;
        for (std::size_t i; (i = all.find("^[")) != std::string::npos;)
            all.replace(i, 2, "\x1b");
        std::vector<std::string> v(1);
        for (char c : all)
            if (c == '|')
                v.emplace_back();
            else
                v.back() += c;
        return v;
    }();
    std::uniform_int_distribution<int> piece(0, int(pieces.size()) - 1), byte(0, 255), kind(0, 15);
    buf.clear();
    while (buf.size() < kChunk) {
        if (!escapeHeavy || kind(rng) == 1)
            buf += char(byte(rng));
        else if (kind(rng) == 0)
            buf.append(std::size_t(1 + kind(rng) * 8), '1'); // towards the 80-byte limit
        else
            buf += pieces[piece(rng)];
    }
}

TEST(Robustness, TenMillionRandomAndEscapeHeavyBytesKeepScreenSoundAndHeapFlat) {
    long long reports = 0;
    platform::SetDebugSink([&reports](std::string_view) { ++reports; });
    std::mt19937 rng(20261206);
    std::string buf;
    buf.reserve(kChunk + 1024); // no regrowth while measuring
    const struct {
        int Rows, Cols;
        bool Xlat;
        std::size_t Bytes;
    } geometries[] = {{25, 80, false, 6'000'000}, {25, 80, true, 2'000'000},
                      {1, 1, false, 500'000},     {2, 133, true, 500'000},
                      {50, 133, false, 500'000},  {3, 40, false, 500'000}};
    std::size_t total = 0;
    for (const auto& g : geometries) {
        TScreen s;
        s.ResizeRows(g.Rows);
        s.SetCols(g.Cols);
        s.ClearAll();
        s.SetRecvXlat(g.Xlat);
        s.SetXlatDefault(g.Xlat);
        long long baseline = -1;
        for (std::size_t fed = 0; fed < g.Bytes; fed += kChunk) {
            FillChunk(rng, buf, (fed / kChunk) % 3 != 0);
            for (char c : buf)
                s.ProcessByte(static_cast<std::uint8_t>(c));
            total += buf.size();
            platform::TakeBeeps(); // the beep record is the seam's, not ours
            ASSERT_TRUE(s.CurRow() >= 0 && s.CurRow() < s.Rows() && s.CurCol() >= 0 &&
                        s.CurCol() < kLineCells && s.RegionTop() >= 0 &&
                        s.RegionTop() <= s.RegionBottom() && s.RegionBottom() < s.Rows() &&
                        s.SeqBuf().size() < TScreen::kSeqCapacity && s.RawCount() >= 0)
                << "cursor " << s.CurRow() << "," << s.CurCol() << " region " << s.RegionTop()
                << ".." << s.RegionBottom() << " sequence " << s.SeqBuf().size() << " raw "
                << s.RawCount();
            s.ResetChanges();
            if (baseline < 0) baseline = g_liveBytes.load();
            ASSERT_EQ(g_liveBytes.load(), baseline) << "heap grew after " << fed << " bytes";
        }
    }
    platform::SetDebugSink(nullptr);
    EXPECT_GE(total, 10'000'000u);
    EXPECT_GT(reports, 0);
}

} // namespace
} // namespace emulvt
