// Helpers shared by the emulator tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Platform.h"
#include "Screen.h"

namespace emulvt::test {

// "^[" stands for ESC, so sequences read as they are written on paper.
inline std::string E(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '^' && i + 1 < s.size() && s[i + 1] == '[') {
            out += '\x1b';
            ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Collects the debug output for the lifetime of the object.
class TDebugCapture {
public:
    TDebugCapture() {
        platform::SetDebugSink([this](std::string_view t) { Calls.emplace_back(t); });
        platform::TakeBeeps();
    }
    ~TDebugCapture() { platform::SetDebugSink(nullptr); }
    // The messages alone (every second call carries the counter).
    std::vector<std::string> Messages() const {
        std::vector<std::string> m;
        for (std::size_t i = 1; i < Calls.size(); i += 2)
            m.push_back(Calls[i]);
        return m;
    }
    std::vector<std::string> Calls;
};

inline std::string RowText(const TScreen& s, int row, int from, int count) {
    const TLine& line = s.RowAt(row);
    return std::string(line.Chars.begin() + from, line.Chars.begin() + from + count);
}

} // namespace emulvt::test
