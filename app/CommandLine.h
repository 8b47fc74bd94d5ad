// The program's command line: options first, everything else is the session
// name. Parsed before anything is created, so a wrong option or a help request
// opens no window and writes no file. Standard library only.
#pragma once

#include <string>
#include <vector>

namespace cmdline {

enum class Action { Run, Help, Version, Error };

struct Parsed {
    Action What = Action::Run;
    std::vector<std::string> SessionArgs; // the arguments that name the session
    std::string BadOption;                // the refused argument (Action::Error)
};

// argv[0] is the program and is skipped. "-h"/"--help" and "--version" act when
// met; any other argument beginning with "-" is an error, unless it follows
// "--", which ends the options.
Parsed Parse(int argc, const char* const* argv);

// The text of --help; `settingsFile` is the settings file in use.
std::string Usage(const std::string& settingsFile);
// The text of --version.
std::string VersionText();

// Exit codes.
inline constexpr int ExitOk = 0;
inline constexpr int ExitStartFailed = 1;
inline constexpr int ExitUsage = 2;

} // namespace cmdline
