// Throughput of the escape interpreter against libvterm on the same streams:
// our screen is fed one byte at a time, libvterm in 4 KiB writes.
#include <vterm.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "Platform.h"
#include "Screen.h"

namespace {

constexpr std::size_t kStreamBytes = 8u << 20;

std::string PlainText() {
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> len(20, 78), ch(0x20, 0x7E);
    std::string s;
    while (s.size() < kStreamBytes) {
        for (int n = len(rng); n > 0; --n)
            s += char(ch(rng));
        s += "\r\n";
    }
    return s;
}

// What ANSI art looks like: 80-column lines of colour runs (SGR with one to
// four parameters) of code page 437 blocks and box drawing, cursor-forward
// skips over blank stretches, CR LF at each line end (a picture is taller
// than the screen, so it scrolls) and now and then an absolute jump.
std::string AnsiArt() {
    std::mt19937 rng(2);
    std::uniform_int_distribution<int> row(1, 25), col(1, 80), colour(0, 7), run(1, 8),
        glyph(0xB0, 0xDF), what(0, 9);
    std::string s;
    char seq[64];
    while (s.size() < kStreamBytes) {
        if (what(rng) == 0) {
            std::snprintf(seq, sizeof seq, "\x1b[%d;%dH", row(rng), col(rng));
            s += seq;
        }
        for (int c = 0; c < 80;) {
            const int n = std::min(run(rng), 80 - c);
            switch (what(rng)) {
            case 0:
            case 1:
                std::snprintf(seq, sizeof seq, "\x1b[%dC", n);
                s += seq;
                c += n;
                continue;
            case 2:
                std::snprintf(seq, sizeof seq, "\x1b[0;1;3%d;4%dm", colour(rng), colour(rng));
                break;
            case 3:
            case 4:
                std::snprintf(seq, sizeof seq, "\x1b[1;3%dm", colour(rng));
                break;
            default:
                std::snprintf(seq, sizeof seq, "\x1b[3%dm", colour(rng));
                break;
            }
            s += seq;
            for (int i = 0; i < n; ++i)
                s += char(glyph(rng));
            c += n;
        }
        s += "\r\n";
    }
    return s;
}

// Every line scrolls the screen; erase sequences in between.
std::string ScrollStress() {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> len(0, 60), ch(0x21, 0x7E), what(0, 7);
    std::string s = "\x1b[25;1H";
    while (s.size() < kStreamBytes) {
        for (int n = len(rng); n > 0; --n)
            s += char(ch(rng));
        switch (what(rng)) {
        case 0:
            s += "\x1b[K";
            break;
        case 1:
            s += "\x1b[1K\x1b[2K";
            break;
        case 2:
            s += "\x1b[20;1H\x1b[J\x1b[25;1H";
            break;
        default:
            break;
        }
        s += "\r\n";
    }
    return s;
}

template <class F> double Seconds(F&& run) {
    const auto t0 = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
    return d.count();
}

void FeedOurs(const std::string& stream) {
    emulvt::TScreen screen;
    for (char c : stream)
        screen.ProcessByte(static_cast<std::uint8_t>(c));
    if (screen.CurRow() < 0) std::puts(""); // keep the work observable
}

void FeedVterm(const std::string& stream) {
    VTerm* vt = vterm_new(25, 80);
    vterm_set_utf8(vt, 0);
    VTermScreen* screen = vterm_obtain_screen(vt);
    vterm_screen_reset(screen, 1);
    // 4 KiB writes: libvterm crashes on single writes of some megabytes
    for (std::size_t i = 0; i < stream.size(); i += 4096)
        vterm_input_write(vt, stream.data() + i, std::min<std::size_t>(4096, stream.size() - i));
    vterm_free(vt);
}

} // namespace

int main(int argc, char** argv) {
    // "--ours" skips the peer, for profiling our side alone
    const bool oursOnly = argc > 1 && std::string(argv[1]) == "--ours";
    long long reports = 0;
    platform::SetDebugSink([&reports](std::string_view) { ++reports; });
    struct {
        const char* Name;
        std::string Data;
    } streams[] = {{"plain text, CR LF", PlainText()},
                   {"ANSI art, SGR + positioning + CP437", AnsiArt()},
                   {"scrolling with erases", ScrollStress()}};
    std::printf("%-38s %12s %12s %8s\n", "stream (8 MiB, 25 x 80)", "ours MB/s", "libvterm MB/s",
                "ratio");
    // The machine is shared: alternate the two sides and keep the best of
    // five runs of each, so a busy moment does not favour either.
    for (auto& s : streams) {
        double ours = 1e9, peer = 1e9;
        for (int i = 0; i < 5; ++i) {
            ours = std::min(ours, Seconds([&] { FeedOurs(s.Data); }));
            if (!oursOnly) peer = std::min(peer, Seconds([&] { FeedVterm(s.Data); }));
        }
        const double oursMBps = double(s.Data.size()) / ours / 1e6;
        const double peerMBps = double(s.Data.size()) / peer / 1e6;
        std::printf("%-38s %12.1f %12.1f %7.1fx\n", s.Name, oursMBps, peerMBps,
                    oursMBps / peerMBps);
    }
    std::printf("diagnostic reports: %lld (expected 0)\n", reports);
    return 0;
}
