// The profile-file service: sectioned settings files ("[Section]" lines
// followed by "Name=Value" lines), read and written one complete operation at a
// time. It stands in for the platform service the settings store was designed
// against, with the same results:
//
//  - 8-bit text; lines end in LF or CR LF when read; lines we add end as the
//    file's first line does (CR LF in a new file). A leading UTF-8 byte-order
//    mark is no part of the first line and stays where it is.
//  - Section and entry names compare without ASCII letter case; where a name
//    occurs twice the first occurrence counts (a repeated section is invisible).
//  - A value is the text after the first "=", blanks (space, tab) trimmed, one
//    pair of matching quotation marks (" or ') removed, cut at a NUL and to
//    ValueLimit characters.
//  - Strings passed in end at their first NUL (they were C strings) and names
//    are trimmed and cut to NameLimit characters.
//  - Lines that are neither section nor entry lines (comments: first non-blank
//    character ";" or "#"; blank lines, garbage, "=" without a name, "[" without
//    "]", lines longer than MaxLineLength) are ignored on reading and kept byte
//    for byte on rewriting.
//
// Bad files never fail a read: anything that is not a readable regular file
// reads as missing, and at most MaxFileSize bytes are ever looked at. Writes
// replace the file atomically (temporary file beside it, fsync, rename) and
// refuse, leaving the old file untouched, when the file is not a regular
// file, carries no write permission, cannot be read whole, is larger than
// MaxFileSize, or when the text given cannot be stored as one line.
//
// Several programs may share one file. Every change is one transaction
// (Update): the file is locked (flock, exclusive), read once, changed in
// memory and replaced once, so concurrent transactions never lose each
// other's changes. Reads take the lock shared. Temporary files of our naming
// that a killed writer left beside the file are removed by the next
// transaction.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace profile {

inline constexpr std::size_t NameLimit = 255;         // section and entry names
inline constexpr std::size_t ValueLimit = 255;        // values stored and read back
inline constexpr std::size_t ListBufferSize = 32000;  // the name lists
inline constexpr std::size_t MaxLineLength = 1 << 20; // longer lines are not settings
inline constexpr std::size_t MaxFileSize = 64u << 20; // reads stop here, writes refuse

// The value of the entry, or `def` when the file, the section or the entry is
// missing. The value is cut to bufferSize - 1 characters.
std::string GetString(const std::string& file, std::string_view section, std::string_view entry,
                      std::string_view def, std::size_t bufferSize = ValueLimit + 1);

// The entry names of the first section of that name, in file order, each name
// once; empty when the section is missing. Names no caller could ask for (with
// a NUL, longer than NameLimit) are left out. The list is cut where a buffer of
// bufferSize bytes holding the names NUL-separated (closed by a second NUL)
// would end, the last name possibly cut short.
std::vector<std::string> GetEntryNames(const std::string& file, std::string_view section,
                                       std::size_t bufferSize = ListBufferSize);

// The section names of the file in file order, each once, cut like
// GetEntryNames.
std::vector<std::string> GetSectionNames(const std::string& file,
                                         std::size_t bufferSize = ListBufferSize);

// Writes the entry: replaces the value of its first occurrence in the first
// section of that name, or adds the entry at the end of that section (after its
// last entry line), or adds the section with the entry at the end of the file;
// creates the file when missing. True when the file holds the entry afterwards.
bool WriteString(const std::string& file, std::string_view section, std::string_view entry,
                 std::string_view value);

// Removes every line of the entry from the first section of that name. True
// when the file holds no such entry afterwards (also when it had none).
bool DeleteEntry(const std::string& file, std::string_view section, std::string_view entry);

// Removes every occurrence of the section: its section line and its entry
// lines; other lines in it (comments, blank lines) stay. True when the file
// holds no such section afterwards.
bool DeleteSection(const std::string& file, std::string_view section);

// The text of a settings file in memory, with the operations above (same
// rules, same results) acting on it.
class Document {
public:
    Document() = default;
    explicit Document(std::string text) : text_(std::move(text)) {}

    std::string GetString(std::string_view section, std::string_view entry, std::string_view def,
                          std::size_t bufferSize = ValueLimit + 1) const;
    std::vector<std::string> GetEntryNames(std::string_view section,
                                           std::size_t bufferSize = ListBufferSize) const;
    std::vector<std::string> GetSectionNames(std::size_t bufferSize = ListBufferSize) const;
    bool WriteString(std::string_view section, std::string_view entry, std::string_view value);
    bool DeleteEntry(std::string_view section, std::string_view entry);
    bool DeleteSection(std::string_view section);

    const std::string& Text() const { return text_; }

private:
    std::string text_;
};

// The result of a transaction: empty `reason` on success, else why the file
// was left as it was (the system's error text where there is one).
struct Outcome {
    int error = 0; // errno value, or 0
    std::string reason;
    explicit operator bool() const { return reason.empty(); }
};

// One transaction: locks the file, reads it, lets `edit` change the text and
// replaces the file once when the text changed (a missing file is created
// then). An exception from `edit` leaves the file untouched and passes on.
Outcome Update(const std::string& file, const std::function<void(Document&)>& edit);

} // namespace profile
