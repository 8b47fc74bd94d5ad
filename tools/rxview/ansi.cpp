#include "ansi.h"

#include <cstdio>
#include <fstream>
#include <istream>
#include <ostream>
#include <string_view>
#include <vector>

#include "Cp437.h"
#include "Platform.h"
#include "Screen.h"

#ifdef ZELMAR_WITH_QT
#include "AnsiPng.h"
#elif defined(ZELMAR_PNG_HELPER)
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace rxview {
namespace {

constexpr int kShownRows = 25;
constexpr int kShownCols = 80;

struct TOptions {
    std::string Format = "cells";
    bool Xlat = true;
    std::string OutFile;
    int Font = 12;
};

bool ParseOptions(const std::vector<std::string>& args, TOptions& o, std::ostream& err) {
    for (const std::string& a : args) {
        const auto value = [&a](std::string_view key) -> const char* {
            return a.compare(0, key.size(), key) == 0 ? a.c_str() + key.size() : nullptr;
        };
        if (const char* v = value("--format=")) {
            o.Format = v;
            if (o.Format != "cells" && o.Format != "text" && o.Format != "png") {
                err << "rxview: unknown format \"" << v << "\" (cells, text or png)\n";
                return false;
            }
        } else if (const char* v = value("--xlat=")) {
            const std::string s = v;
            if (s != "on" && s != "off") {
                err << "rxview: --xlat takes on or off\n";
                return false;
            }
            o.Xlat = s == "on";
        } else if (const char* v = value("--out=")) {
            o.OutFile = v;
        } else if (const char* v = value("--font=")) {
            const std::string s = v;
            if (s != "12" && s != "9") {
                err << "rxview: --font takes 12 or 9\n";
                return false;
            }
            o.Font = s == "9" ? 9 : 12;
        } else {
            err << "rxview: unknown option \"" << a << "\" for --mode=ansi\n";
            return false;
        }
    }
    if (o.Format == "png" && o.OutFile.empty()) {
        err << "rxview: --format=png needs --out=FILE\n";
        return false;
    }
    return true;
}

// The interpreter writes a report as two debug-output calls, the counter and
// then the message; they are joined here into one line without the CR LF.
class TReportLines {
public:
    explicit TReportLines(std::ostream& err) : FErr(err) {
        platform::SetDebugSink([this](std::string_view t) { Take(t); });
    }
    ~TReportLines() { platform::SetDebugSink(nullptr); }

private:
    static bool IsCounter(std::string_view t) {
        if (t.size() < 5 || t.back() != ' ') return false;
        for (char c : t.substr(0, t.size() - 1))
            if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
        return true;
    }
    void Take(std::string_view t) {
        if (FPrefix.empty() && IsCounter(t)) {
            FPrefix = t;
            return;
        }
        if (t.size() >= 2 && t.substr(t.size() - 2) == "\r\n") t.remove_suffix(2);
        FErr << FPrefix << t << '\n';
        FPrefix.clear();
    }
    std::ostream& FErr;
    std::string FPrefix;
};

void PrintCells(const emulvt::TScreen& s, std::ostream& out) {
    std::string line;
    for (int r = 0; r < kShownRows; ++r) {
        const emulvt::TLine& row = s.RowAt(r);
        line.clear();
        for (int c = 0; c < kShownCols; ++c) {
            char tok[8];
            std::snprintf(tok, sizeof tok, c ? " %02X%02X" : "%02X%02X", row.Chars[c],
                          row.Attrs[c]);
            line += tok;
        }
        out << line << '\n';
    }
    out << "cursor " << s.CurRow() << ' ' << s.CurCol() << '\n';
}

void PrintText(const emulvt::TScreen& s, std::ostream& out) {
    std::string line;
    for (int r = 0; r < kShownRows; ++r) {
        const emulvt::TLine& row = s.RowAt(r);
        line.clear();
        for (int c = 0; c < kShownCols; ++c)
            emulvt::AppendCp437Utf8(line, row.Chars[c]);
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out << line << '\n';
    }
}

// The state of a terminal view after ClearView.
struct TClearedScreen : emulvt::TScreen {
    explicit TClearedScreen(bool xlat) {
        ClearAll();
        SetRecvXlat(!xlat);
        SetXlatDefault(!xlat);
    }
    // Empties the beep record after each block: a stream full of bells must
    // not grow it without end (beeps print nothing here).
    void Feed(std::string_view block) {
        ProcessText(block);
        platform::TakeBeeps();
    }
};

int PrintScreen(const emulvt::TScreen& screen, const TOptions& o, std::ostream& out,
                std::ostream& err) {
    // --out sends the cells or text to a file instead of standard output.
    std::ofstream file;
    if (!o.OutFile.empty()) {
        file.open(o.OutFile, std::ios::binary | std::ios::trunc);
        if (!file) {
            err << "rxview: cannot write " << o.OutFile << '\n';
            return 1;
        }
    }
    std::ostream& to = o.OutFile.empty() ? out : file;
    if (o.Format == "text")
        PrintText(screen, to);
    else
        PrintCells(screen, to);
    to.flush();
    if (!to) {
        err << "rxview: cannot write " << (o.OutFile.empty() ? "the output" : o.OutFile) << '\n';
        return 1;
    }
    return 0;
}

#ifdef ZELMAR_PNG_HELPER
// The picture needs the Qt view; it is drawn by a helper program beside this
// one, so rxview itself starts without loading Qt. The helper reads the
// stream on its standard input and writes its messages to standard error.
int RunPngHelper(const std::string& input, const TOptions& o, std::ostream& err) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string helper = n > 0 ? std::string(self, std::size_t(n)) : std::string();
    helper = helper.substr(0, helper.rfind('/') + 1) + ZELMAR_PNG_HELPER;
    const std::string xlat = o.Xlat ? "--xlat=on" : "--xlat=off";
    const std::string font = "--font=" + std::to_string(o.Font);
    const std::string out = "--out=" + o.OutFile;
    const char* argv[] = {helper.c_str(), "--format=png", xlat.c_str(),
                          font.c_str(),   out.c_str(),    nullptr};
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        err << "rxview: cannot start " << helper << '\n';
        return 1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
    pid_t pid = 0;
    err.flush();
    const int rc =
        posix_spawn(&pid, helper.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[0]);
    if (rc != 0) {
        close(pipeFds[1]);
        err << "rxview: cannot start " << helper << ": " << std::strerror(rc) << '\n';
        return 1;
    }
    // A helper that stops reading ends the write with EPIPE, not a signal.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    for (std::size_t done = 0; done < input.size();) {
        const ssize_t w = write(pipeFds[1], input.data() + done, input.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += std::size_t(w);
    }
    close(pipeFds[1]);
    sigaction(SIGPIPE, &previous, nullptr);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
#endif

int RenderPng(const std::string& input, const TOptions& o, std::ostream& err) {
#ifdef ZELMAR_WITH_QT
    std::string error;
    const bool ok = emulvt::RenderAnsiPng(input, o.Xlat, o.Font, o.OutFile, error);
    if (!ok) err << "rxview: " << error << '\n';
    return ok ? 0 : 1;
#elif defined(ZELMAR_PNG_HELPER)
    return RunPngHelper(input, o, err);
#else
    (void)input;
    (void)o;
    err << "rxview: --format=png is not available in this build (no Qt)\n";
    return 1;
#endif
}

constexpr std::size_t kBlock = 1 << 16;

} // namespace

int RunAnsiView(const std::vector<std::string>& args, const std::string& input, std::ostream& out,
                std::ostream& err) {
    TOptions o;
    if (!ParseOptions(args, o, err)) return 2;
    TReportLines reports(err);
    if (o.Format == "png") return RenderPng(input, o, err);
    TClearedScreen screen(o.Xlat);
    for (std::size_t i = 0; i < input.size(); i += kBlock)
        screen.Feed(std::string_view(input).substr(i, kBlock));
    return PrintScreen(screen, o, out, err);
}

int RunAnsiView(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                std::ostream& err) {
    TOptions o;
    if (!ParseOptions(args, o, err)) return 2;
    TReportLines reports(err);
    std::vector<char> block(kBlock);
    const auto readBlock = [&]() -> std::string_view {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        return {block.data(), static_cast<std::size_t>(in.gcount())};
    };
    if (o.Format == "png") { // the picture is rendered from the whole stream
        std::string input;
        while (in)
            input += readBlock();
        if (in.bad()) {
            err << "rxview: read error\n";
            return 1;
        }
        return RenderPng(input, o, err);
    }
    // Block by block: a stream of any size passes in the same small memory.
    TClearedScreen screen(o.Xlat);
    while (in)
        screen.Feed(readBlock());
    if (in.bad()) {
        err << "rxview: read error\n";
        return 1;
    }
    return PrintScreen(screen, o, out, err);
}

} // namespace rxview
