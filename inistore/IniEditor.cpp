#include "IniEditor.h"

#include "ProfileFile.h"

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace {

bool EndsInSeparator(const std::string& s) {
    return !s.empty() && (s.back() == '/' || s.back() == '\\');
}

bool Has(const std::string& Section, const std::string& Entry, const std::string& File) {
    return !Section.empty() && !Entry.empty() && !File.empty();
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

} // namespace

std::string ApplicationDirectory() {
    std::string buf(4096, '\0');
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return {};
        if (static_cast<std::size_t>(n) < buf.size()) {
            buf.resize(static_cast<std::size_t>(n));
            break;
        }
        buf.resize(buf.size() * 2);
    }
    std::size_t last = buf.find_last_of("/\\");
    return last == std::string::npos ? std::string() : buf.substr(0, last + 1);
}

std::string ConfigDirectory() {
    std::string dir;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') {
        dir = xdg;
    } else {
        const char* home = std::getenv("HOME");
        std::string h = home ? home : "";
        if (h.empty()) {
            struct passwd pw {};
            struct passwd* res = nullptr;
            std::vector<char> buf(16384);
            if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &res) == 0 && res &&
                res->pw_dir)
                h = res->pw_dir;
        }
        if (h.empty()) return {};
        dir = h + (EndsInSeparator(h) ? "" : "/") + ".config";
    }
    if (!EndsInSeparator(dir)) dir += '/';
    return dir;
}

void TIniEditor::SetFileName(const std::string& Value) {
    if (Value != FFileName) FFileName = Value;
}

void TIniEditor::SetFileLocation(TFileLocation Value) {
    FFileLocation = Value;
    switch (Value) {
    case ApplicationPath:
        FLocationDir = ApplicationDirectory();
        break;
    case WindowsPath:
        FLocationDir = ConfigDirectory();
        break;
    default:
        FLocationDir.clear();
        break;
    }
}

std::string TIniEditor::FullFileName() const {
    std::string full;
    const std::string& f = FFileName;
    if (FLocationDir.empty() || (f.size() >= 2 && f[1] == ':') || (!f.empty() && f[0] == '/'))
        full = f;
    else if (!f.empty() && f[0] == '\\')
        full = FLocationDir + f.substr(1);
    else
        full = FLocationDir + f;
    if (full.find('.') == std::string::npos) full += ".INI";
    for (char& c : full)
        if (c == '\\') c = '/';
    return full;
}

// ---- text forms ---------------------------------------------------------------

namespace initext {

char DecimalSeparator() {
    const std::lconv* lc = std::localeconv();
    return (lc && lc->decimal_point && lc->decimal_point[0]) ? lc->decimal_point[0] : '.';
}

std::string FormatReal(long double Value, char Separator) {
    if (std::isnan(Value)) return "NAN";
    if (std::isinf(Value)) return Value < 0 ? "-INF" : "INF";
    if (Value == 0) return "0";
    char buf[64];
    // d.dddddddddddddde[+-]x: 15 significant digits, correctly rounded.
    std::snprintf(buf, sizeof buf, "%.14Le", Value);
    std::string_view s(buf);
    bool negative = s.front() == '-';
    if (negative) s.remove_prefix(1);
    std::string digits;
    std::size_t e = s.find('e');
    for (char c : s.substr(0, e))
        if (c != '.') digits += c;
    int exponent = std::atoi(std::string(s.substr(e + 1)).c_str());
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();

    std::string out = negative ? "-" : "";
    if (exponent >= 15 || exponent < -5) {
        out += digits[0];
        if (digits.size() > 1) out.append(1, Separator).append(digits, 1, std::string::npos);
        out += 'E';
        out += std::to_string(exponent);
    } else if (exponent >= 0) {
        std::size_t intDigits = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= intDigits) {
            out += digits;
            out.append(intDigits - digits.size(), '0');
        } else {
            out.append(digits, 0, intDigits).append(1, Separator).append(digits, intDigits);
        }
    } else {
        out.append("0").append(1, Separator).append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    }
    return out;
}

bool ParseReal(std::string_view Text, char Separator, long double& Value) {
    std::string_view s = TrimBlanks(Text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    std::string u = Upper(std::string(s));
    if (u == "INF") {
        Value = negative ? -HUGE_VALL : HUGE_VALL;
        return true;
    }
    if (u == "NAN") {
        Value = NAN;
        return true;
    }
    // [digits][sep digits][E[sign]digits], at least one mantissa digit.
    std::string norm;
    std::size_t i = 0, mantissaDigits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9')
        norm += s[i++], ++mantissaDigits;
    if (i < s.size() && s[i] == Separator) {
        norm += '.';
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            norm += s[i++], ++mantissaDigits;
    }
    if (mantissaDigits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        norm += 'e';
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) norm += s[i++];
        std::size_t expDigits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            norm += s[i++], ++expDigits;
        if (expDigits == 0) return false;
    }
    if (i != s.size()) return false;
    long double v = 0;
    auto [end, ec] = std::from_chars(norm.data(), norm.data() + norm.size(), v);
    if (ec != std::errc() || end != norm.data() + norm.size()) return false;
    Value = negative ? -v : v;
    return true;
}

bool ParseInt(std::string_view Text, std::int32_t& Value) {
    std::size_t i = 0;
    while (i < Text.size() && (Text[i] == ' ' || Text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < Text.size() && (Text[i] == '+' || Text[i] == '-')) negative = Text[i++] == '-';
    std::int64_t v = 0;
    if (i < Text.size() && Text[i] == '$') {
        ++i;
        std::size_t start = i;
        for (; i < Text.size(); ++i) {
            char c = Text[i];
            int d = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
            if (d < 0) return false;
            v = v * 16 + d;
            if (v > 0xFFFFFFFFLL) return false;
        }
        if (i == start) return false;
        // The 32-bit pattern, then the sign, both modulo 2^32.
        std::uint32_t bits = static_cast<std::uint32_t>(v);
        if (negative) bits = 0u - bits;
        Value = static_cast<std::int32_t>(bits);
        return true;
    }
    std::size_t start = i;
    for (; i < Text.size(); ++i) {
        char c = Text[i];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
        if (v > 2147483648LL) return false;
    }
    if (i == start) return false;
    if (negative) v = -v;
    if (v > 2147483647LL) return false;
    Value = static_cast<std::int32_t>(v);
    return true;
}

} // namespace initext

// ---- operations -----------------------------------------------------------------

void TIniEditor::WriteBool(const std::string& Section, const std::string& Entry, bool Value) {
    WriteStr(Section, Entry, Value ? "True" : "False");
}

void TIniEditor::WriteChar(const std::string& Section, const std::string& Entry, char Value) {
    WriteStr(Section, Entry, std::string(1, Value));
}

void TIniEditor::WriteInt(const std::string& Section, const std::string& Entry,
                          std::int32_t Value) {
    WriteStr(Section, Entry, std::to_string(Value));
}

void TIniEditor::WriteReal(const std::string& Section, const std::string& Entry,
                           long double Value) {
    WriteStr(Section, Entry, initext::FormatReal(Value, initext::DecimalSeparator()));
}

void TIniEditor::WriteStr(const std::string& Section, const std::string& Entry,
                          const std::string& Value) {
    if (!Has(Section, Entry, FFileName)) return;
    if (FDoc) {
        (void)FDoc->WriteString(Section, Entry, Value);
        return;
    }
    // Failures are not reported; the old file stays as it was.
    (void)profile::WriteString(FullFileName(), Section, Entry, Value);
}

bool TIniEditor::Update(const std::function<void()>& Edit) {
    if (FDoc || FFileName.empty()) {
        Edit();
        return true;
    }
    const std::string file = FullFileName();
    profile::Outcome result = profile::Update(file, [&](profile::Document& doc) {
        struct Scope {
            profile::Document*& slot;
            ~Scope() { slot = nullptr; }
        } scope{FDoc};
        FDoc = &doc;
        Edit();
    });
    FLastError = result ? std::string() : file + ": " + result.reason;
    return static_cast<bool>(result);
}

bool TIniEditor::ReadBool(const std::string& Section, const std::string& Entry,
                          bool Default) const {
    std::string t = ReadStr(Section, Entry, Default ? "True" : "False");
    std::string u = Upper(t);
    return u == "TRUE" || u == "YES" || t == "1";
}

char TIniEditor::ReadChar(const std::string& Section, const std::string& Entry,
                          char Default) const {
    std::string t = ReadStr(Section, Entry, std::string(1, Default));
    return t.empty() ? Default : t[0];
}

std::int32_t TIniEditor::ReadInt(const std::string& Section, const std::string& Entry,
                                 std::int32_t Default) const {
    std::int32_t v = 0;
    return initext::ParseInt(ReadStr(Section, Entry, std::to_string(Default)), v) ? v : Default;
}

long double TIniEditor::ReadReal(const std::string& Section, const std::string& Entry,
                                 long double Default) const {
    char sep = initext::DecimalSeparator();
    long double v = 0;
    return initext::ParseReal(ReadStr(Section, Entry, initext::FormatReal(Default, sep)), sep, v)
               ? v
               : Default;
}

std::string TIniEditor::ReadStr(const std::string& Section, const std::string& Entry,
                                const std::string& Default) const {
    if (!Has(Section, Entry, FFileName)) return Default;
    if (FDoc) return FDoc->GetString(Section, Entry, Default);
    return profile::GetString(FullFileName(), Section, Entry, Default);
}

void TIniEditor::ReadSection(const std::string& Section, std::vector<std::string>& List) const {
    List.clear();
    // Without a file name there is no file to list (the program always sets one).
    if (FFileName.empty()) return;
    if (FDoc)
        List = Section.empty() ? FDoc->GetSectionNames() : FDoc->GetEntryNames(Section);
    else
        List = Section.empty() ? profile::GetSectionNames(FullFileName())
                               : profile::GetEntryNames(FullFileName(), Section);
}

void TIniEditor::ReadValues(const std::string& Section, std::vector<std::string>& List) {
    KeyList.clear();
    List.clear();
    if (FFileName.empty() || Section.empty()) return;
    KeyList = FDoc ? FDoc->GetEntryNames(Section) : profile::GetEntryNames(FullFileName(), Section);
    for (const std::string& name : KeyList)
        List.push_back(ReadStr(Section, name, ""));
}

void TIniEditor::ReadAllSections(std::vector<std::string>& List) const {
    List.clear();
    if (FFileName.empty()) return;
    List = FDoc ? FDoc->GetSectionNames() : profile::GetSectionNames(FullFileName());
}

void TIniEditor::InitEntry(const std::string& Section, const std::string& Entry) {
    WriteStr(Section, Entry, "");
}

void TIniEditor::InitSection(const std::string& Section) {
    // Issues the section removal and nothing more.
    EraseSection(Section);
}

void TIniEditor::EraseSection(const std::string& Section) {
    if (Section.empty() || FFileName.empty()) return;
    if (FDoc)
        (void)FDoc->DeleteSection(Section);
    else
        (void)profile::DeleteSection(FullFileName(), Section);
}

void TIniEditor::EraseEntry(const std::string& Section, const std::string& Entry) {
    // Without an entry name the platform removal would take the whole section.
    if (!Has(Section, Entry, FFileName)) return;
    if (FDoc)
        (void)FDoc->DeleteEntry(Section, Entry);
    else
        (void)profile::DeleteEntry(FullFileName(), Section, Entry);
}
