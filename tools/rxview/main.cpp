// rxview [--mode=ascii|hex|both|ansi] [FILE]
// Reads FILE (or standard input) as bytes received on a channel, feeds every
// byte through the receive view's text model and prints the view's lines, each
// line's bytes followed by "\n". --mode=ansi hands the stream to the terminal
// emulation instead, with its own options.
#include "ChannelView.h"

#include "ansi.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage = "usage: rxview [--mode=ascii|hex|both|ansi] [FILE]\n";

// Feeds the stream in blocks and shows it without keeping a history: the view
// is all the tool needs, so a file of any size passes with the least memory.
bool Feed(std::istream& in, TChannelView& channel) {
    std::vector<char> buf(1 << 16);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        const std::streamsize n = in.gcount();
        for (std::streamsize i = 0; i < n; ++i)
            channel.ShowRxByte(static_cast<std::uint8_t>(buf[i]));
    }
    return !in.bad();
}

int Run(int argc, char** argv) {
    std::string mode = "ascii";
    std::string file;
    bool haveFile = false;
    std::vector<std::string> ansiArgs; // options the ANSI mode interprets
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (a.rfind("--mode=", 0) == 0) {
            mode = a.substr(7);
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            ansiArgs.push_back(a);
        } else if (!haveFile) {
            file = a;
            haveFile = true;
        } else {
            std::cerr << "rxview: more than one FILE\n" << kUsage;
            return 2;
        }
    }
    std::uint8_t m;
    if (mode == "ascii")
        m = TChannelView::dmASCII;
    else if (mode == "hex")
        m = TChannelView::dmHEX;
    else if (mode == "both")
        m = TChannelView::dmBoth;
    else if (mode == "ansi")
        m = TChannelView::dmANSI;
    else {
        std::cerr << "rxview: unknown mode \"" << mode << "\"\n" << kUsage;
        return 2;
    }
    if (m != TChannelView::dmANSI && !ansiArgs.empty()) {
        std::cerr << "rxview: unknown option " << ansiArgs.front() << "\n" << kUsage;
        return 2;
    }

    std::ifstream fileIn;
    std::istream* in = &std::cin;
    if (haveFile && file != "-") {
        fileIn.open(file, std::ios::binary);
        if (!fileIn) {
            std::cerr << "rxview: cannot open " << file << ": " << std::strerror(errno) << "\n";
            return 1;
        }
        in = &fileIn;
    }

    if (m == TChannelView::dmANSI) return rxview::RunAnsiView(ansiArgs, *in, std::cout, std::cerr);

    TChannelView channel;
    channel.SetMode(m);
    if (!Feed(*in, channel)) {
        std::cerr << "rxview: read error\n";
        return 1;
    }
    const TMemoText& view = channel.OutPutList();
    const std::uint64_t n = view.LineCount();
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::string line = view.Line(i);
        std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
        std::cout.put('\n');
    }
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "rxview: write error\n";
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::cerr << "rxview: out of memory\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "rxview: " << e.what() << "\n";
        return 1;
    }
}
