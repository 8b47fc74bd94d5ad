#include "Platform.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace platform {
namespace {
constexpr std::size_t kBeepRecord = 4096;
std::mutex g_mutex;
std::function<void(std::uint32_t)> g_beeper;
std::vector<std::uint32_t> g_beeps;
std::function<void(std::string_view)> g_debugSink;
std::function<void(const std::string&)> g_reporter;
} // namespace

void MessageBeep(std::uint32_t type) {
    std::function<void(std::uint32_t)> beeper;
    {
        std::lock_guard lock(g_mutex);
        // Only the latest beeps are kept: a stream full of bells must not grow memory.
        if (g_beeps.size() >= kBeepRecord)
            g_beeps.erase(g_beeps.begin(), g_beeps.begin() + kBeepRecord / 2);
        g_beeps.push_back(type);
        beeper = g_beeper;
    }
    if (beeper) beeper(type);
}

void SetBeeper(std::function<void(std::uint32_t)> beeper) {
    std::lock_guard lock(g_mutex);
    g_beeper = std::move(beeper);
}

std::vector<std::uint32_t> TakeBeeps() {
    std::lock_guard lock(g_mutex);
    return std::exchange(g_beeps, {});
}

void OutputDebugString(std::string_view text) {
    std::function<void(std::string_view)> sink;
    {
        std::lock_guard lock(g_mutex);
        sink = g_debugSink;
    }
    if (sink)
        sink(text);
    else
        std::fwrite(text.data(), 1, text.size(), stderr);
}

void SetDebugSink(std::function<void(std::string_view)> sink) {
    std::lock_guard lock(g_mutex);
    g_debugSink = std::move(sink);
}

void ReportError(const std::string& message) {
    std::function<void(const std::string&)> reporter;
    {
        std::lock_guard lock(g_mutex);
        reporter = g_reporter;
    }
    if (reporter) {
        try {
            reporter(message);
            return;
        } catch (...) {
            // a failing reporter must not hide the error: fall through to stderr
        }
    }
    std::fprintf(stderr, "%s\n", message.c_str());
}

void SetErrorReporter(std::function<void(const std::string&)> reporter) {
    std::lock_guard lock(g_mutex);
    g_reporter = std::move(reporter);
}

} // namespace platform
