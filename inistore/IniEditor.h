// TIniEditor: typed access to the entries of one settings file. It keeps no
// copy of the file: every call composes the full file name anew and performs
// one complete operation of the profile-file service, so a write is on disk
// when the call returns and a read sees the file as it is now. No single
// operation reports an error: reads fall back to the caller's default, failed
// writes change nothing. Update groups operations into one transaction and
// tells whether its changes reached the file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Where the settings file lies.
enum TFileLocation : std::uint8_t {
    ApplicationPath, // beside the running program
    WindowsPath,     // the user's configuration directory ($XDG_CONFIG_HOME or ~/.config)
    PathInFileName,  // FileName as it is (relative names from the working directory)
};

namespace profile {
class Document;
}

class TIniEditor {
public:
    TIniEditor() = default;
    TIniEditor(const TIniEditor&) = delete;
    TIniEditor& operator=(const TIniEditor&) = delete;

    const std::string& FileName() const { return FFileName; }
    // Stores the name only; the directory stays what FileLocation made it.
    void SetFileName(const std::string& Value);

    TFileLocation FileLocation() const { return FFileLocation; }
    // Stores the value and always recomputes LocationDir, also for the same value.
    void SetFileLocation(TFileLocation Value);

    // The directory FileLocation stands for, ending in "/"; empty until
    // FileLocation is assigned.
    const std::string& LocationDir() const { return FLocationDir; }

    // The file every operation uses, composed from LocationDir and FileName;
    // "\" and "/" both separate directories.
    std::string FullFileName() const;

    void WriteBool(const std::string& Section, const std::string& Entry, bool Value);
    void WriteChar(const std::string& Section, const std::string& Entry, char Value);
    void WriteInt(const std::string& Section, const std::string& Entry, std::int32_t Value);
    void WriteReal(const std::string& Section, const std::string& Entry, long double Value);
    void WriteStr(const std::string& Section, const std::string& Entry, const std::string& Value);

    bool ReadBool(const std::string& Section, const std::string& Entry, bool Default) const;
    char ReadChar(const std::string& Section, const std::string& Entry, char Default) const;
    std::int32_t ReadInt(const std::string& Section, const std::string& Entry,
                         std::int32_t Default) const;
    long double ReadReal(const std::string& Section, const std::string& Entry,
                         long double Default) const;
    std::string ReadStr(const std::string& Section, const std::string& Entry,
                        const std::string& Default) const;

    // Clears List, then appends the entry names of Section in file order, or
    // with an empty Section the names of all sections.
    void ReadSection(const std::string& Section, std::vector<std::string>& List) const;
    // Clears List, then appends the values of the entries of Section in file order.
    void ReadValues(const std::string& Section, std::vector<std::string>& List);
    // Clears List, then appends the names of all sections in file order.
    void ReadAllSections(std::vector<std::string>& List) const;

    void InitEntry(const std::string& Section, const std::string& Entry); // value becomes empty
    void InitSection(const std::string& Section);                         // removes the section
    void EraseSection(const std::string& Section);
    void EraseEntry(const std::string& Section, const std::string& Entry);

    // Runs Edit as one transaction on the file: every read and write of this
    // editor inside it acts on the file's text as read once under the lock, and
    // the file is replaced once at the end (other programs' transactions wait).
    // Nested calls join the outer transaction. False when the changes could not
    // be stored; LastError() then tells the file and the reason.
    bool Update(const std::function<void()>& Edit);
    const std::string& LastError() const { return FLastError; }

private:
    std::string FFileName;
    std::string FLastError;
    profile::Document* FDoc = nullptr; // the text of the running transaction
    std::string FLocationDir;
    TFileLocation FFileLocation = ApplicationPath;
    std::vector<std::string> KeyList; // scratch list of ReadValues
};

// The text forms of the typed values, shared by the reads and writes above.
namespace initext {

// The decimal separator of the user's locale (of the C library's current locale).
char DecimalSeparator();

// General decimal form with 15 significant digits: "0", "-2.5", "0.00001",
// "123456789012345", "1.5E15", "1E-6", "NAN", "INF", "-INF".
std::string FormatReal(long double Value, char Separator);
// The text as a number written in that form (blanks around it allowed); false
// when it does not convert.
bool ParseReal(std::string_view Text, char Separator, long double& Value);

// Optional blanks, one optional "+" or "-", then decimal digits or "$" and
// hexadecimal digits (at most 32 bits, taken as the two's-complement pattern:
// "$FFFFFFFF" is -1); false for anything else and for decimal overflow.
bool ParseInt(std::string_view Text, std::int32_t& Value);

} // namespace initext

// Directory of the running program ("/" at the end), from /proc/self/exe.
std::string ApplicationDirectory();
// The user's configuration directory ("/" at the end): $XDG_CONFIG_HOME when it
// is an absolute path, else $HOME/.config (home from the password database
// when HOME is unset); empty when none is known.
std::string ConfigDirectory();
