// Session names and the port map as the settings file holds them.
//
// A session name is used as a section name and as an entry name of the
// "Sessions" section, so a name that the file cannot hold unchanged, or that
// would share a section with the global ones, is refused: the command line
// then falls back to "noname", the new-session dialog shows the problem.
#pragma once

#include "IniEditor.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace session {

inline constexpr const char* DefaultName = "noname";

// The session name the command-line arguments (without the program name) ask
// for: all arguments joined with blanks, blanks and control characters trimmed
// from both ends, then the file-name part (after the last "\", "/" or ":")
// without its extension (from the last "."). No arguments, or nothing but
// blanks: no name (std::nullopt). The result may be empty or unusable; check it
// with NameProblem.
std::optional<std::string> NameFromArguments(const std::vector<std::string>& args);

// Why `name` cannot be a session name ("" when it can): empty, longer than 255
// characters, control characters, a leading or trailing blank, "]" or "=" or a
// leading "[", or one of the global sections "Options", "Sessions", "Ports" in
// any letter case. The texts are short, in the style of "name too short".
std::string NameProblem(std::string_view name);
inline bool IsValidName(std::string_view name) {
    return NameProblem(name).empty();
}

// The session the program starts with: the command-line name when there is a
// usable one, else "noname". argv[0] is the program and is skipped.
std::string StartSessionName(const std::vector<std::string>& args);
std::string StartSessionName(int argc, const char* const* argv);

// The [Ports] section: entries "COM1".."COM8" (any letter case, first
// occurrence counts) whose value is usable as a device, keyed by port number.
// Usable: an absolute path ("/dev/ttyUSB0") or a null-modem end
// ("null-modem:<digits>a" or "...b"), without control characters. The program
// only reads this section.
inline constexpr const char* PortsSection = "Ports";
inline constexpr int PortCount = 8;
std::map<int, std::string> ReadPortMap(const TIniEditor& ini);
bool IsUsablePortTarget(std::string_view target);

} // namespace session
