#include "ProfileFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace profile {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

// The text as the platform saw it: a C string copied into a buffer of limit + 1.
std::string_view CText(std::string_view s, std::size_t limit) {
    s = s.substr(0, s.find('\0'));
    return s.substr(0, limit);
}

std::string_view CName(std::string_view s) {
    return Trim(CText(s, NameLimit));
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

std::string LowerCopy(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = Lower(c);
    return r;
}

enum class Kind { Other, Section, Entry };

struct Line {
    Kind kind = Kind::Other;
    std::string_view name;
    std::string_view value; // raw text after the first "=" (entries only)
    std::size_t valueOffset = 0;
};

// `s` is one line without its line end.
Line Classify(std::string_view s) {
    Line l;
    if (s.size() > MaxLineLength) return l;
    std::size_t i = 0;
    while (i < s.size() && IsBlank(s[i]))
        ++i;
    if (i < s.size() && s[i] == '[') {
        std::size_t close = s.find(']', i + 1);
        if (close == std::string_view::npos) return l;
        l.kind = Kind::Section;
        l.name = Trim(s.substr(i + 1, close - i - 1));
        return l;
    }
    std::size_t eq = s.find('=', i);
    if (eq == std::string_view::npos) return l;
    std::string_view name = Trim(s.substr(i, eq - i));
    if (name.empty()) return l;
    l.kind = Kind::Entry;
    l.name = name;
    l.value = s.substr(eq + 1);
    l.valueOffset = eq + 1;
    return l;
}

bool IsSectionLine(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && IsBlank(s[i]))
        ++i;
    return i < s.size() && s[i] == '[' && Classify(s).kind == Kind::Section;
}

std::string ValueText(std::string_view raw, std::size_t bufferSize) {
    std::string_view v = Trim(raw);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    v = v.substr(0, v.find('\0'));
    return std::string(v.substr(0, bufferSize - 1));
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Opens a regular file for reading without ever blocking: FIFOs, devices and
// directories are refused before they are opened, and once more after opening
// in case the name was replaced in between.
int OpenForReading(const std::string& path, struct stat& st) {
    if (path.empty() || !IsRegularFile(path)) return -1;
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Streams the lines of a file so a read stops as soon as it has its answer.
// Never looks at more than MaxFileSize bytes; a line longer than MaxLineLength
// comes back empty (it is no settings line) and never occupies more memory.
class LineReader {
public:
    explicit LineReader(const std::string& path) {
        struct stat st {};
        fd_ = OpenForReading(path, st);
        // A small file needs no full chunk (one byte more to see its end).
        if (fd_ >= 0) {
            std::size_t size = static_cast<std::size_t>(std::max<off_t>(st.st_size, 0));
            cap_ = std::min(ChunkSize, size + 1);
            buf_.reset(new char[cap_]);
        }
    }
    ~LineReader() {
        if (fd_ >= 0) ::close(fd_);
    }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next line without its line end; false at the end of the file.
    bool Next(std::string_view& line) {
        if (fd_ < 0) return false;
        for (;;) {
            if (pos_ < len_) {
                const char* start = buf_.get() + pos_;
                const void* nl = std::memchr(start, '\n', len_ - pos_);
                if (nl) {
                    std::size_t n = static_cast<const char*>(nl) - start;
                    pos_ += n + 1;
                    if (carry_.empty() && !overlong_) {
                        line = StripCR(std::string_view(start, n));
                    } else {
                        Carry(start, n);
                        line = Finish();
                    }
                    return true;
                }
                Carry(start, len_ - pos_);
                pos_ = len_;
            }
            if (!Fill()) {
                if (atEnd_ && (!carry_.empty() || overlong_)) {
                    line = Finish();
                    return true;
                }
                return false;
            }
        }
    }

private:
    static constexpr std::size_t ChunkSize = 64 * 1024;

    static std::string_view StripCR(std::string_view s) {
        if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
        return s;
    }

    void Carry(const char* p, std::size_t n) {
        if (overlong_) return;
        if (carry_.size() + n > MaxLineLength + 1) { // +1: room for a CR
            overlong_ = true;
            carry_.clear();
            carry_.shrink_to_fit();
            return;
        }
        carry_.append(p, n);
    }

    std::string_view Finish() {
        line_.swap(carry_);
        carry_.clear();
        bool over = overlong_;
        overlong_ = false;
        if (over) return {};
        return StripCR(line_);
    }

    // False when nothing more can be read. atEnd_ tells a real end of the file
    // (the last line without line end still counts) from a read error or the
    // size cap (a line cut there is incomplete and dropped).
    bool Fill() {
        pos_ = len_ = 0;
        if (total_ >= MaxFileSize) return false;
        std::size_t want = std::min(cap_, MaxFileSize - total_);
        for (;;) {
            ssize_t n = ::read(fd_, buf_.get(), want);
            if (n > 0) {
                len_ = static_cast<std::size_t>(n);
                total_ += len_;
                return true;
            }
            if (n == 0) atEnd_ = true;
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
    }

    int fd_ = -1;
    std::unique_ptr<char[]> buf_;
    std::size_t cap_ = 0, pos_ = 0, len_ = 0, total_ = 0;
    std::string carry_, line_;
    bool overlong_ = false, atEnd_ = false;
};

// The names as the platform hands them over: NUL-closed one after another in a
// buffer of `size` bytes, the whole closed by a second NUL; what does not fit is
// cut off. Returns false once the buffer is full.
class NameBuffer {
public:
    explicit NameBuffer(std::size_t size) : size_(size) {}
    bool Add(std::string_view name) {
        // Names no caller could ask for are left out: a NUL would cut them
        // short, an empty one would end the list, a longer one is beyond the limit.
        if (name.empty() || name.size() > NameLimit || name.find('\0') != name.npos || full_)
            return !full_;
        if (!seen_.insert(LowerCopy(name)).second) return true;
        // Room for the name, its NUL and the closing NUL.
        if (used_ + name.size() + 2 <= size_) {
            names_.emplace_back(name);
            used_ += name.size() + 1;
            return true;
        }
        // Cut: the data ends two bytes before the buffer's end.
        full_ = true;
        if (size_ >= 2 && used_ < size_ - 2) names_.emplace_back(name.substr(0, size_ - 2 - used_));
        return false;
    }
    std::vector<std::string> Take() { return std::move(names_); }

private:
    std::size_t size_, used_ = 0;
    bool full_ = false;
    std::vector<std::string> names_;
    std::unordered_set<std::string> seen_;
};

// ---- writing ----------------------------------------------------------------

struct Loaded {
    std::string target; // the path that is replaced (a symbolic link resolved)
    bool exists = false;
    struct stat st {};
    std::string content;
};

bool ReadWhole(const std::string& path, const struct stat& expected, std::string& out) {
    struct stat st {};
    int fd = OpenForReading(path, st);
    if (fd < 0) return false;
    bool ok = st.st_ino == expected.st_ino && st.st_dev == expected.st_dev;
    std::size_t used = 0;
    // One byte more than the size, so the end shows without a second pass.
    out.resize(std::min<std::size_t>(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)),
                                     MaxFileSize) +
               1);
    while (ok) {
        if (used == out.size()) {
            if (used > MaxFileSize) { // the file grew past the limit
                ok = false;
                break;
            }
            out.resize(std::min(used * 2, MaxFileSize + 1));
        }
        ssize_t n = ::read(fd, out.data() + used, out.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        used += static_cast<std::size_t>(n);
    }
    if (used > MaxFileSize) ok = false;
    out.resize(used);
    ::close(fd);
    return ok;
}

// Loads the file for a read-modify-replace. False when the file exists but must
// not or cannot be replaced: not a regular file, read-only (no write permission
// bit at all: the read-only attribute, which also binds root), no write access,
// unreadable, or too large to be a settings file.
bool Load(const std::string& path, Loaded& out) {
    if (path.empty() || path.back() == '/') return false;
    out.target = path;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) return false;
        out.exists = false;
        return true;
    }
    if (S_ISLNK(st.st_mode)) {
        // Replace the file the link points to, not the link.
        char* real = ::realpath(path.c_str(), nullptr);
        if (!real) return false;
        out.target = real;
        std::free(real);
        if (::stat(out.target.c_str(), &st) != 0) return false;
    }
    if (!S_ISREG(st.st_mode)) return false;
    if ((st.st_mode & 0222) == 0) return false;
    if (::faccessat(AT_FDCWD, out.target.c_str(), W_OK, AT_EACCESS) != 0) return false;
    if (static_cast<unsigned long long>(st.st_size) > MaxFileSize) return false;
    out.exists = true;
    out.st = st;
    return ReadWhole(out.target, st, out.content);
}

bool WriteAll(int fd, const std::string& data) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string TempSuffix() {
    static std::atomic<unsigned> counter{0};
    unsigned long long x = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    x ^= (static_cast<unsigned long long>(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B9u);
    char buf[32];
    std::snprintf(buf, sizeof buf, ".tmp%08llx", x & 0xFFFFFFFFull);
    return buf;
}

// Replaces the file with `content` so that it is always either the old or the
// new file, whole: a temporary file beside it, flushed to disk, renamed over it.
bool Store(const Loaded& f, const std::string& content) {
    if (f.exists && content == f.content) return true;
    std::size_t slash = f.target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : f.target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? f.target : f.target.substr(slash + 1);
    if (dir.empty()) dir = "/";
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        tmp = (dir == "." ? std::string() : dir) + "." + base.substr(0, 200) + TempSuffix();
        // New files get the usual 0666 less umask; a replaced file gets its old mode below.
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                    f.exists ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    bool ok = true;
    if (f.exists) {
        if (f.st.st_uid != ::geteuid() || f.st.st_gid != ::getegid())
            (void)!::fchown(fd, f.st.st_uid, f.st.st_gid); // only root may; best effort
        ok = ::fchmod(fd, f.st.st_mode & 07777) == 0;
    }
    ok = ok && WriteAll(fd, content) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tmp.c_str(), f.target.c_str()) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    // Make the rename itself durable; the file is complete either way.
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

// One line of a loaded file: [begin, end) is its text without line end, next is
// where the following line starts.
struct Span {
    std::size_t begin, end, next;
    bool hasEol;
};

template <class F> void ForEachLine(const std::string& s, F&& f) {
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::size_t nl = s.find('\n', pos);
        Span sp{};
        sp.begin = pos;
        sp.hasEol = nl != std::string::npos;
        sp.next = sp.hasEol ? nl + 1 : s.size();
        sp.end = sp.hasEol ? nl : s.size();
        if (sp.end > sp.begin && s[sp.end - 1] == '\r') --sp.end;
        if (!f(sp, Classify(std::string_view(s).substr(sp.begin, sp.end - sp.begin)))) return;
        pos = sp.next;
    }
}

constexpr const char* Eol = "\r\n";

// The line end to add before appending at `pos`, where the last line has none:
// a CR there already is half of one.
const char* EolBefore(const std::string& s, std::size_t pos) {
    return pos > 0 && s[pos - 1] == '\r' ? "\n" : Eol;
}

bool StorableSection(std::string_view s) {
    return !s.empty() && s.find_first_of("\r\n]") == std::string_view::npos;
}
bool StorableEntry(std::string_view e) {
    return !e.empty() && e.front() != '[' && e.find_first_of("\r\n=") == std::string_view::npos;
}

} // namespace

std::string GetString(const std::string& file, std::string_view section, std::string_view entry,
                      std::string_view def, std::size_t bufferSize) {
    section = CName(section);
    entry = CName(entry);
    if (bufferSize == 0) return {};
    if (section.empty() || entry.empty()) return std::string(def);
    LineReader in(file);
    std::string_view text;
    bool inside = false;
    while (in.Next(text)) {
        if (IsSectionLine(text)) {
            if (inside) break; // the first occurrence of the section ended
            inside = SameName(Classify(text).name, section);
            continue;
        }
        if (!inside) continue;
        Line l = Classify(text);
        if (l.kind == Kind::Entry && SameName(l.name, entry)) return ValueText(l.value, bufferSize);
    }
    return std::string(def);
}

std::vector<std::string> GetEntryNames(const std::string& file, std::string_view section,
                                       std::size_t bufferSize) {
    section = CName(section);
    NameBuffer names(bufferSize);
    if (section.empty()) return {};
    LineReader in(file);
    std::string_view text;
    bool inside = false;
    while (in.Next(text)) {
        if (IsSectionLine(text)) {
            if (inside) break;
            inside = SameName(Classify(text).name, section);
            continue;
        }
        if (!inside) continue;
        Line l = Classify(text);
        if (l.kind == Kind::Entry && !names.Add(l.name)) break;
    }
    return names.Take();
}

std::vector<std::string> GetSectionNames(const std::string& file, std::size_t bufferSize) {
    NameBuffer names(bufferSize);
    LineReader in(file);
    std::string_view text;
    while (in.Next(text)) {
        if (!IsSectionLine(text)) continue;
        if (!names.Add(Classify(text).name)) break;
    }
    return names.Take();
}

bool WriteString(const std::string& file, std::string_view section, std::string_view entry,
                 std::string_view value) {
    section = CName(section);
    entry = CName(entry);
    value = CText(value, ValueLimit);
    if (!StorableSection(section) || !StorableEntry(entry) ||
        value.find_first_of("\r\n") != std::string_view::npos)
        return false;
    Loaded f;
    if (!Load(file, f)) return false;
    const std::string& s = f.content;

    bool found = false, inside = false, done = false;
    std::size_t insertAt = 0;
    bool insertNeedsEol = false;
    std::string out;
    ForEachLine(s, [&](const Span& sp, const Line& l) {
        if (l.kind == Kind::Section) {
            if (inside) return false;
            if (!found && SameName(l.name, section)) {
                found = inside = true;
                insertAt = sp.next;
                insertNeedsEol = !sp.hasEol;
            }
            return true;
        }
        if (inside && l.kind == Kind::Entry) {
            if (SameName(l.name, entry)) {
                // Replace the value in its line; name and line end stay as they are.
                std::size_t v = sp.begin + l.valueOffset;
                out.reserve(s.size() + value.size() + 2);
                out.append(s, 0, v).append(value).append(s, sp.end, std::string::npos);
                done = true;
                return false;
            }
            insertAt = sp.next;
            insertNeedsEol = !sp.hasEol;
        }
        return true;
    });
    if (!done) {
        std::string add;
        if (found) {
            if (insertNeedsEol) add += EolBefore(s, insertAt);
            add.append(entry).append("=").append(value).append(Eol);
            out.reserve(s.size() + add.size());
            out.append(s, 0, insertAt).append(add).append(s, insertAt, std::string::npos);
        } else {
            out.reserve(s.size() + section.size() + entry.size() + value.size() + 8);
            out = s;
            if (!out.empty() && out.back() != '\n') out += EolBefore(s, s.size());
            out.append("[").append(section).append("]").append(Eol);
            out.append(entry).append("=").append(value).append(Eol);
        }
    }
    return Store(f, out);
}

bool DeleteEntry(const std::string& file, std::string_view section, std::string_view entry) {
    section = CName(section);
    entry = CName(entry);
    if (section.empty() || entry.empty()) return false;
    Loaded f;
    if (!Load(file, f)) return false;
    if (!f.exists) return true;
    const std::string& s = f.content;
    std::string out;
    out.reserve(s.size());
    bool found = false, inside = false;
    std::size_t copied = 0;
    ForEachLine(s, [&](const Span& sp, const Line& l) {
        if (l.kind == Kind::Section) {
            if (inside) return false;
            if (!found && SameName(l.name, section)) found = inside = true;
        } else if (inside && l.kind == Kind::Entry && SameName(l.name, entry)) {
            out.append(s, copied, sp.begin - copied);
            copied = sp.next;
        }
        return true;
    });
    out.append(s, copied, std::string::npos);
    return Store(f, out);
}

bool DeleteSection(const std::string& file, std::string_view section) {
    section = CName(section);
    if (section.empty()) return false;
    Loaded f;
    if (!Load(file, f)) return false;
    if (!f.exists) return true;
    const std::string& s = f.content;
    std::string out;
    out.reserve(s.size());
    bool inside = false;
    std::size_t copied = 0;
    ForEachLine(s, [&](const Span& sp, const Line& l) {
        bool drop = false;
        if (l.kind == Kind::Section) {
            inside = SameName(l.name, section);
            drop = inside;
        } else {
            drop = inside && l.kind == Kind::Entry;
        }
        if (drop) {
            out.append(s, copied, sp.begin - copied);
            copied = sp.next;
        }
        return true;
    });
    out.append(s, copied, std::string::npos);
    return Store(f, out);
}

} // namespace profile
