#include "SessionNames.h"

#include "ProfileFile.h"

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

} // namespace

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

bool IsUsablePortTarget(std::string_view target) {
    for (char c : target)
        if (IsControl(static_cast<unsigned char>(c))) return false;
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

std::map<int, std::string> ReadPortMap(const TIniEditor& ini) {
    std::map<int, std::string> ports;
    for (int n = 1; n <= PortCount; ++n) {
        std::string target = ini.ReadStr(PortsSection, "COM" + std::to_string(n), "");
        if (IsUsablePortTarget(target)) ports[n] = target;
    }
    return ports;
}

} // namespace session
