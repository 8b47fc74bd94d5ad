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
// leading "[", a leading ";" or "#" (the entry would be a comment line), or one
// of the global sections "Options", "Sessions", "Ports" in any letter case. The
// texts are short, in the style of "name too short". Names the file holds that
// fail here are never listed, opened, saved or deleted as sessions.
std::string NameProblem(std::string_view name);
inline bool IsValidName(std::string_view name) {
    return NameProblem(name).empty();
}

// The session the program starts with: the command-line name when there is a
// usable one, else "noname". argv[0] is the program and is skipped.
std::string StartSessionName(const std::vector<std::string>& args);
std::string StartSessionName(int argc, const char* const* argv);

// The file is 8-bit text: names are shown as UTF-8 where their bytes are
// valid UTF-8 and as Windows-1252 otherwise. DisplayName gives the UTF-8 text.
std::string DisplayName(std::string_view stored);
// The bytes under which the file holds the session shown as `shown` (UTF-8):
// the first name of the session list, else of the file's sections, whose
// DisplayName is `shown`; `shown` itself when there is none. So a name read
// from the file is written back exactly as it was read.
std::string StoredName(const TIniEditor& ini, const std::string& shown);

// The [Ports] section: entries "COM1".."COM8" (any letter case, first
// occurrence counts) whose value is usable as a device, keyed by port number.
// Usable: an absolute path ("/dev/ttyUSB0"), a null-modem end
// ("null-modem:<digits>a" or "...b") or a remote port ("rfc2217://HOST:PORT",
// "tcp://HOST:PORT", an IPv6 HOST in brackets), without control characters. A relative
// path counts from the settings file's directory. Entries that are present
// but not usable go to `problems` (when given) with a short text for the
// user. The Ports dialog writes this section.
inline constexpr const char* PortsSection = "Ports";
inline constexpr int PortCount = 8;
std::map<int, std::string> ReadPortMap(const TIniEditor& ini,
                                       std::map<int, std::string>* problems = nullptr);
bool IsUsablePortTarget(std::string_view target);

} // namespace session
