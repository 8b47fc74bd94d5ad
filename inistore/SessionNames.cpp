#include "SessionNames.h"

#include "Cp1252.h"
#include "ProfileFile.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace session {
namespace {

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

std::string Lower(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
}

bool IsValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t n = (c & 0xE0) == 0xC0   ? 1
                        : (c & 0xF0) == 0xE0 ? 2
                        : (c & 0xF8) == 0xF0 ? 3
                                             : 0;
        if (n == 0 || i + n >= s.size()) return false;
        std::uint32_t cp = c & (0x3F >> n);
        for (std::size_t k = 1; k <= n; ++k) {
            unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are no UTF-8.
        static const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

} // namespace

std::string DisplayName(std::string_view stored) {
    if (IsValidUtf8(stored)) return std::string(stored);
    std::string out;
    out.reserve(stored.size() * 2);
    for (char ch : stored) {
        unsigned char c = static_cast<unsigned char>(ch);
        cp1252::AppendUtf8(out, cp1252::ToUnicode(c));
    }
    return out;
}

std::string StoredName(const TIniEditor& ini, const std::string& shown) {
    std::vector<std::string> names;
    for (const char* section : {"Sessions", ""}) {
        ini.ReadSection(section, names);
        for (const std::string& n : names)
            if (n != shown && DisplayName(n) == shown) return n;
    }
    return shown;
}

std::optional<std::string> NameFromArguments(const std::vector<std::string>& args) {
    if (args.empty()) return std::nullopt;
    std::string joined;
    for (const std::string& a : args)
        joined += a + ' ';
    // Blanks and control characters both go from the ends.
    std::size_t b = 0, e = joined.size();
    while (b < e && static_cast<unsigned char>(joined[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(joined[e - 1]) <= ' ')
        --e;
    if (b == e) return std::nullopt;
    std::string_view path = std::string_view(joined).substr(b, e - b);
    std::size_t sep = path.find_last_of("\\/:");
    std::string_view name = sep == std::string_view::npos ? path : path.substr(sep + 1);
    std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos) name = name.substr(0, dot);
    return std::string(name);
}

std::string NameProblem(std::string_view name) {
    if (name.empty()) return "name is empty";
    if (name.size() > profile::NameLimit) return "name too long";
    for (char c : name)
        if (IsControl(static_cast<unsigned char>(c))) return "name with control characters";
    if (name.front() == ' ' || name.back() == ' ') return "name begins or ends with a blank";
    if (name.find_first_of("]=") != std::string_view::npos || name.front() == '[')
        return "name with [, ] or =";
    if (name.front() == ';' || name.front() == '#') return "name begins with ; or #";
    std::string lower = Lower(name);
    if (lower == "options" || lower == "sessions" || lower == "ports") return "name is reserved";
    return {};
}

std::string StartSessionName(const std::vector<std::string>& args) {
    std::optional<std::string> name = NameFromArguments(args);
    return name && IsValidName(*name) ? *name : DefaultName;
}

std::string StartSessionName(int argc, const char* const* argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i] ? argv[i] : "");
    return StartSessionName(args);
}

namespace {

bool StartsNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    return true;
}

// "rfc2217://HOST:PORT" or "tcp://HOST:PORT" (IPv6 in brackets), any scheme case.
bool IsRemoteTarget(std::string_view target) {
    std::string_view rest;
    if (StartsNoCase(target, "rfc2217://"))
        rest = target.substr(10);
    else if (StartsNoCase(target, "tcp://"))
        rest = target.substr(6);
    else
        return false;
    std::size_t colon;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos || close < 3 || close + 1 >= rest.size() ||
            rest[close + 1] != ':' || rest.substr(1, close - 1).find(':') == std::string_view::npos)
            return false;
        colon = close + 1;
    } else {
        colon = rest.find(':');
        if (colon == 0 || colon == std::string_view::npos || rest.rfind(':') != colon) return false;
        for (char c : rest.substr(0, colon))
            if (c == ' ' || c == '/' || c == '@' || c == '[' || c == ']') return false;
    }
    const std::string_view port = rest.substr(colon + 1);
    if (port.empty() || port.size() > 5) return false;
    unsigned value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

} // namespace

bool IsUsablePortTarget(std::string_view target) {
    for (char c : target)
        if (IsControl(static_cast<unsigned char>(c))) return false;
    if (IsRemoteTarget(target)) return true;
    if (target.size() >= 2 && target.front() == '/' && target.back() != '/') return true;
    constexpr std::string_view prefix = "null-modem:";
    if (target.substr(0, prefix.size()) != prefix) return false;
    std::string_view end = target.substr(prefix.size());
    if (end.size() < 2 || end.size() > 10) return false;
    for (char c : end.substr(0, end.size() - 1))
        if (c < '0' || c > '9') return false;
    char side = end.back();
    return side == 'a' || side == 'b' || side == 'A' || side == 'B';
}

namespace {

// The directory of the settings file, absolute and ending in "/".
std::string SettingsDirectory(const TIniEditor& ini) {
    std::string file = ini.FullFileName();
    std::size_t slash = file.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
    if (dir.empty() || dir.front() != '/') {
        char cwd[PATH_MAX];
        if (!::getcwd(cwd, sizeof cwd)) return {};
        std::string base = cwd;
        if (base.back() != '/') base += '/';
        dir = base + dir;
    }
    return dir;
}

bool IsNullModemName(std::string_view target) {
    constexpr std::string_view prefix = "null-modem:";
    return target.substr(0, prefix.size()) == prefix;
}

// The target as the user may read it in a status line: control characters shown as "?".
std::string Printable(std::string_view target) {
    std::string out(target.substr(0, 80));
    for (char& c : out)
        if (IsControl(static_cast<unsigned char>(c))) c = '?';
    return DisplayName(out) + (target.size() > 80 ? "..." : "");
}

} // namespace

std::map<int, std::string> ReadPortMap(const TIniEditor& ini,
                                       std::map<int, std::string>* problems) {
    std::map<int, std::string> ports;
    for (int n = 1; n <= PortCount; ++n) {
        const std::string name = "COM" + std::to_string(n);
        const std::string entry = ini.ReadStr(PortsSection, name, "");
        if (entry.empty()) continue; // no entry: the default device
        std::string target = entry;
        if (target.front() != '/' && !IsNullModemName(target) &&
            !StartsNoCase(target, "rfc2217://") && !StartsNoCase(target, "tcp://")) {
            std::string dir = SettingsDirectory(ini);
            if (!dir.empty()) target = dir + target;
        }
        if (IsUsablePortTarget(target))
            ports[n] = target;
        else if (problems)
            (*problems)[n] = name + ": [Ports] entry \"" + Printable(entry) + "\" not usable";
    }
    return ports;
}

} // namespace session
