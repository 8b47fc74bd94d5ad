// Process-wide seams for the few platform services the whole program shares:
// the beep, the debug output and the application's error report. Each has a
// default and can be replaced, so tests can observe what sounded or was shown.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Beep with a sound type (0 default, 1 question, 0x40 information,
// 0xFFFF simple). Every beep is recorded (the latest few thousand) before
// the sound is made.
void MessageBeep(std::uint32_t type);
void SetBeeper(std::function<void(std::uint32_t)> beeper);
std::vector<std::uint32_t> TakeBeeps(); // returns and clears the record

// Debug output: standard error unless a sink is installed.
void OutputDebugString(std::string_view text);
void SetDebugSink(std::function<void(std::string_view)> sink);

// The application's error report (a message box in the program).
void ReportError(const std::string& message);
void SetErrorReporter(std::function<void(const std::string&)> reporter);

// Runs f and routes any exception to the error report, so nothing ever
// escapes into the event loop of the window system.
template <class F> void Guarded(F&& f) noexcept {
    try {
        f();
    } catch (const std::exception& e) {
        ReportError(e.what());
    } catch (...) {
        ReportError("Unknown error");
    }
}

} // namespace platform
