#include "ProfileFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
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

constexpr std::string_view Bom = "\xEF\xBB\xBF";

bool IsComment(char c) {
    return c == ';' || c == '#';
}

// `s` is one line without its line end (and without a byte-order mark).
Line Classify(std::string_view s) {
    Line l;
    if (s.size() > MaxLineLength) return l;
    std::size_t i = 0;
    while (i < s.size() && IsBlank(s[i]))
        ++i;
    if (i < s.size() && IsComment(s[i])) return l;
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

// How long a transaction waits for another one before it gives up. Reads wait
// as long and then read without the lock (a replaced file is always whole).
constexpr auto LockPatience = std::chrono::seconds(10);

// Takes the flock (LOCK_SH or LOCK_EX) without waiting forever on a stuck
// holder. True when locked, or when the file system has no locks to offer.
bool Lock(int fd, int op) {
    const auto deadline = std::chrono::steady_clock::now() + LockPatience;
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        if (::flock(fd, op | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) // no locks on this file system: go on without
            return errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP || errno == EBADF;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(20));
    }
}

// A transaction replaces the file, so a lock taken on a file that was replaced
// meanwhile guards nothing: the name must still lead to the locked file.
bool StillCurrent(const std::string& path, int fd) {
    struct stat a {
    }, b{};
    return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
           a.st_dev == b.st_dev;
}

// OpenForReading under the shared lock, on the file the name leads to now.
int OpenLockedForReading(const std::string& path, struct stat& st) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = OpenForReading(path, st);
        if (fd < 0) return fd;
        if (!Lock(fd, LOCK_SH) || StillCurrent(path, fd)) return fd;
        ::close(fd);
    }
    return OpenForReading(path, st);
}

// Streams the lines of a file so a read stops as soon as it has its answer.
// Never looks at more than MaxFileSize bytes; a line longer than MaxLineLength
// comes back empty (it is no settings line) and never occupies more memory.
class LineReader {
public:
    explicit LineReader(const std::string& path) {
        struct stat st {};
        fd_ = OpenLockedForReading(path, st);
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
        if (!NextRaw(line)) return false;
        if (first_ && line.substr(0, Bom.size()) == Bom) line.remove_prefix(Bom.size());
        first_ = false;
        return true;
    }

private:
    bool NextRaw(std::string_view& line) {
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
    bool overlong_ = false, atEnd_ = false, first_ = true;
};

// The lines of a text in memory, as LineReader gives those of a file.
class TextLines {
public:
    explicit TextLines(std::string_view text) : s_(text) {
        if (s_.substr(0, Bom.size()) == Bom) s_.remove_prefix(Bom.size());
    }
    bool Next(std::string_view& line) {
        if (s_.empty()) return false;
        std::size_t nl = s_.find('\n');
        line = s_.substr(0, nl);
        s_.remove_prefix(nl == std::string_view::npos ? s_.size() : nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() > MaxLineLength) line = {};
        return true;
    }

private:
    std::string_view s_;
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

// ---- reading, from a file or from memory ------------------------------------

template <class Lines>
std::string FindValue(Lines& in, std::string_view section, std::string_view entry,
                      std::string_view def, std::size_t bufferSize) {
    section = CName(section);
    entry = CName(entry);
    if (bufferSize == 0) return {};
    if (section.empty() || entry.empty()) return std::string(def);
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

template <class Lines>
std::vector<std::string> ListEntries(Lines& in, std::string_view section, std::size_t bufferSize) {
    section = CName(section);
    NameBuffer names(bufferSize);
    if (section.empty()) return {};
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

template <class Lines> std::vector<std::string> ListSections(Lines& in, std::size_t bufferSize) {
    NameBuffer names(bufferSize);
    std::string_view text;
    while (in.Next(text)) {
        if (!IsSectionLine(text)) continue;
        if (!names.Add(Classify(text).name)) break;
    }
    return names.Take();
}

// ---- editing in memory --------------------------------------------------------

// One line of a text: [begin, end) is its text without line end (and without
// a byte-order mark), next is where the following line starts.
struct Span {
    std::size_t begin, end, next;
    bool hasEol;
};

std::size_t TextStart(const std::string& s) {
    return s.compare(0, Bom.size(), Bom) == 0 ? Bom.size() : 0;
}

// Where the line of the first section of that name starts; npos when there is
// none. Jumps from "[" to "[" instead of looking at every line.
std::size_t FirstSectionLine(const std::string& s, std::string_view section) {
    const std::size_t start = TextStart(s);
    std::size_t pos = start;
    while ((pos = s.find('[', pos)) != std::string::npos) {
        std::size_t nl = pos > start ? s.rfind('\n', pos - 1) : std::string::npos;
        std::size_t begin = nl == std::string::npos || nl < start ? start : nl + 1;
        std::size_t eol = s.find('\n', pos);
        std::size_t end = eol == std::string::npos ? s.size() : eol;
        bool blanksOnly = true;
        for (std::size_t i = begin; i < pos && blanksOnly; ++i)
            blanksOnly = IsBlank(s[i]);
        if (blanksOnly) {
            if (end > begin && s[end - 1] == '\r') --end;
            Line l = Classify(std::string_view(s).substr(begin, end - begin));
            if (l.kind == Kind::Section && SameName(l.name, section)) return begin;
        }
        if (eol == std::string::npos) break;
        pos = eol + 1;
    }
    return std::string::npos;
}

template <class F> void ForEachLine(const std::string& s, F&& f, std::size_t from = 0) {
    std::size_t pos = std::max(from, TextStart(s));
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

// The line end of the text: that of its first line, CR LF when it has none.
const char* EolOf(const std::string& s) {
    std::size_t nl = s.find('\n');
    return nl != std::string::npos && (nl == 0 || s[nl - 1] != '\r') ? "\n" : "\r\n";
}

// The line end to add before appending at `pos`, where the last line has none:
// a CR there already is half of one.
const char* EolBefore(const std::string& s, std::size_t pos, const char* eol) {
    return pos > 0 && s[pos - 1] == '\r' ? "\n" : eol;
}

bool StorableSection(std::string_view s) {
    return !s.empty() && s.find_first_of("\r\n]") == std::string_view::npos;
}
bool StorableEntry(std::string_view e) {
    return !e.empty() && e.front() != '[' && !IsComment(e.front()) &&
           e.find_first_of("\r\n=") == std::string_view::npos;
}

// ---- the file -------------------------------------------------------------------

std::string Reason(int error) {
    return error == 0 ? std::string("unknown error") : std::string(std::strerror(error));
}

Outcome Failed(int error, std::string reason = {}) {
    Outcome o;
    o.error = error;
    o.reason = reason.empty() ? Reason(error) : std::move(reason);
    return o;
}

// Closes a descriptor (and so drops its lock) at the end of a scope.
struct Fd {
    int fd = -1;
    ~Fd() { Close(); }
    void Close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

bool ReadAll(int fd, const struct stat& st, std::string& out) {
    std::size_t used = 0;
    // One byte more than the size, so the end shows without a second pass.
    out.resize(std::min<std::size_t>(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)),
                                     MaxFileSize) +
               1);
    for (;;) {
        if (used == out.size()) {
            if (used > MaxFileSize) { // the file grew past the limit
                errno = EFBIG;
                return false;
            }
            out.resize(std::min(used * 2, MaxFileSize + 1));
        }
        ssize_t n = ::pread(fd, out.data() + used, out.size() - used, static_cast<off_t>(used));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    out.resize(used);
    errno = EFBIG;
    return used <= MaxFileSize;
}

bool WriteAll(int fd, const std::string& data) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = ENOSPC;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

constexpr std::string_view TempMark = ".tmp";
constexpr std::size_t TempDigits = 8;

std::string TempSuffix() {
    static std::atomic<unsigned> counter{0};
    unsigned long long x = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    x ^= (static_cast<unsigned long long>(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B9u);
    char buf[32];
    std::snprintf(buf, sizeof buf, ".tmp%08llx", x & 0xFFFFFFFFull);
    return buf;
}

struct Place {
    std::string dir;  // "." or ending in "/"
    std::string stem; // "." + file name (cut): temporaries are stem + TempSuffix()
};

Place PlaceOf(const std::string& target) {
    std::size_t slash = target.rfind('/');
    Place p;
    p.dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    p.stem = "." + (slash == std::string::npos ? target : target.substr(slash + 1)).substr(0, 200);
    return p;
}

bool IsOurTemporary(std::string_view name, std::string_view stem) {
    if (name.size() != stem.size() + TempMark.size() + TempDigits) return false;
    if (name.substr(0, stem.size()) != stem) return false;
    if (name.substr(stem.size(), TempMark.size()) != TempMark) return false;
    for (char c : name.substr(stem.size() + TempMark.size()))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// Only a writer holding the lock has a temporary file, so under the lock every
// temporary of our naming is one a killed writer left behind.
void RemoveStaleTemporaries(const Place& p) {
    DIR* d = ::opendir(p.dir.c_str());
    if (!d) return;
    std::vector<std::string> stale;
    while (dirent* e = ::readdir(d))
        if (IsOurTemporary(e->d_name, p.stem)) stale.emplace_back(e->d_name);
    for (const std::string& name : stale)
        ::unlinkat(::dirfd(d), name.c_str(), 0);
    ::closedir(d);
}

// Replaces the file with `content` so that it is always either the old or the
// new file, whole: a temporary file beside it, flushed to disk, renamed over
// it. Returns 0 or the errno of the step that failed.
int Store(const std::string& target, const struct stat& st, const std::string& content) {
    Place p = PlaceOf(target);
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        tmp = (p.dir == "." ? std::string() : p.dir) + p.stem + TempSuffix();
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 && errno != EEXIST) return errno;
    }
    if (fd < 0) return EEXIST;
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid())
        (void)!::fchown(fd, st.st_uid, st.st_gid); // only root may; best effort
    int error = 0;
    auto step = [&error](bool ok) {
        if (!ok && error == 0) error = errno ? errno : EIO;
    };
    step(::fchmod(fd, st.st_mode & 07777) == 0);
    if (!error) step(WriteAll(fd, content));
    if (!error) step(::fsync(fd) == 0);
    step(::close(fd) == 0);
    if (!error) step(::rename(tmp.c_str(), target.c_str()) == 0);
    if (error) {
        ::unlink(tmp.c_str());
        return error;
    }
    // Make the rename itself durable; the file is complete either way.
    int dfd = ::open(p.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return 0;
}

// Why an existing file must not be replaced ("" when it may): not a regular
// file, read-only (no write permission bit at all: the read-only attribute,
// which also binds root), no write access, or too large for a settings file.
Outcome Replaceable(const std::string& target, const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return Failed(S_ISDIR(st.st_mode) ? EISDIR : 0, "not a regular file");
    if ((st.st_mode & 0222) == 0) return Failed(EACCES);
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return Failed(errno);
    if (static_cast<unsigned long long>(st.st_size) > MaxFileSize) return Failed(EFBIG);
    return {};
}

} // namespace

// ---- the operations ---------------------------------------------------------------

std::string GetString(const std::string& file, std::string_view section, std::string_view entry,
                      std::string_view def, std::size_t bufferSize) {
    if (bufferSize == 0) return {};
    if (CName(section).empty() || CName(entry).empty()) return std::string(def);
    LineReader in(file);
    return FindValue(in, section, entry, def, bufferSize);
}

std::vector<std::string> GetEntryNames(const std::string& file, std::string_view section,
                                       std::size_t bufferSize) {
    if (CName(section).empty()) return {};
    LineReader in(file);
    return ListEntries(in, section, bufferSize);
}

std::vector<std::string> GetSectionNames(const std::string& file, std::size_t bufferSize) {
    LineReader in(file);
    return ListSections(in, bufferSize);
}

bool WriteString(const std::string& file, std::string_view section, std::string_view entry,
                 std::string_view value) {
    bool done = false;
    return Update(file, [&](Document& d) { done = d.WriteString(section, entry, value); }) && done;
}

bool DeleteEntry(const std::string& file, std::string_view section, std::string_view entry) {
    bool done = false;
    return Update(file, [&](Document& d) { done = d.DeleteEntry(section, entry); }) && done;
}

bool DeleteSection(const std::string& file, std::string_view section) {
    bool done = false;
    return Update(file, [&](Document& d) { done = d.DeleteSection(section); }) && done;
}

std::string Document::GetString(std::string_view section, std::string_view entry,
                                std::string_view def, std::size_t bufferSize) const {
    TextLines in(text_);
    return FindValue(in, section, entry, def, bufferSize);
}

std::vector<std::string> Document::GetEntryNames(std::string_view section,
                                                 std::size_t bufferSize) const {
    TextLines in(text_);
    return ListEntries(in, section, bufferSize);
}

std::vector<std::string> Document::GetSectionNames(std::size_t bufferSize) const {
    TextLines in(text_);
    return ListSections(in, bufferSize);
}

bool Document::WriteString(std::string_view section, std::string_view entry,
                           std::string_view value) {
    section = CName(section);
    entry = CName(entry);
    value = CText(value, ValueLimit);
    if (!StorableSection(section) || !StorableEntry(entry) ||
        value.find_first_of("\r\n") != std::string_view::npos)
        return false;
    const std::string& s = text_;
    const char* eol = EolOf(s);

    bool found = false, inside = false;
    std::size_t insertAt = 0, valueAt = std::string::npos, valueEnd = 0;
    bool insertNeedsEol = false;
    const std::size_t from = FirstSectionLine(s, section);
    if (from != std::string::npos)
        ForEachLine(
            s,
            [&](const Span& sp, const Line& l) {
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
                        valueAt = sp.begin + l.valueOffset;
                        valueEnd = sp.end;
                        return false;
                    }
                    insertAt = sp.next;
                    insertNeedsEol = !sp.hasEol;
                }
                return true;
            },
            from);
    // Edited in place: a large file is not copied once per change.
    if (valueAt != std::string::npos) {
        // Replace the value in its line; name and line end stay as they are.
        text_.replace(valueAt, valueEnd - valueAt, value);
    } else if (found) {
        std::string add;
        if (insertNeedsEol) add += EolBefore(s, insertAt, eol);
        add.append(entry).append("=").append(value).append(eol);
        text_.insert(insertAt, add);
    } else {
        bool onlyBom = text_.size() == Bom.size() && text_ == Bom;
        if (!text_.empty() && text_.back() != '\n' && !onlyBom)
            text_ += EolBefore(s, s.size(), eol);
        text_.append("[").append(section).append("]").append(eol);
        text_.append(entry).append("=").append(value).append(eol);
    }
    return true;
}

bool Document::DeleteEntry(std::string_view section, std::string_view entry) {
    section = CName(section);
    entry = CName(entry);
    if (section.empty() || entry.empty()) return false;
    const std::string& s = text_;
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
    if (copied == 0) return true;
    out.append(s, copied, std::string::npos);
    text_ = std::move(out);
    return true;
}

bool Document::DeleteSection(std::string_view section) {
    section = CName(section);
    if (section.empty()) return false;
    const std::string& s = text_;
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
    if (copied == 0) return true;
    out.append(s, copied, std::string::npos);
    text_ = std::move(out);
    return true;
}

Outcome Update(const std::string& file, const std::function<void(Document&)>& edit) {
    if (file.empty() || file.back() == '/') return Failed(EISDIR, "not a file name");
    // A symbolic link stays: the file it points to is replaced.
    std::string target = file;
    struct stat st {};
    if (::lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = ::realpath(file.c_str(), nullptr);
        if (!real) return Failed(errno);
        target = real;
        std::free(real);
    }

    Fd fd;
    bool created = false;
    for (int attempt = 0;; ++attempt) {
        if (attempt == 100) return Failed(EAGAIN, "the file keeps changing");
        fd.Close();
        created = false;
        if (::stat(target.c_str(), &st) != 0) {
            if (errno != ENOENT) return Failed(errno);
            // A file to lock: created empty, and removed again when nothing is written.
            fd.fd =
                ::open(target.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
            if (fd.fd < 0 && errno == EEXIST) continue;
            if (fd.fd < 0) {
                // Where no file can be made, a transaction that writes nothing still succeeds.
                int error = errno;
                Document empty;
                edit(empty);
                return empty.Text().empty() ? Outcome{} : Failed(error);
            }
            created = true;
        } else {
            if (Outcome why = Replaceable(target, st); !why) return why;
            // Open for writing: where flock is emulated (NFS) an exclusive lock needs it.
            fd.fd = ::open(target.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
            if (fd.fd < 0 && errno == ENOENT) continue;
            if (fd.fd < 0) return Failed(errno);
        }
        if (!Lock(fd.fd, LOCK_EX)) return Failed(EWOULDBLOCK, "locked by another program");
        if (StillCurrent(target, fd.fd)) break;
    }
    struct Undo { // a file made only to be locked goes again unless it was written
        bool armed;
        const std::string& path;
        ~Undo() {
            if (armed) ::unlink(path.c_str());
        }
    } undo{created, target};
    // What holds now, under the lock.
    if (::fstat(fd.fd, &st) != 0) return Failed(errno);
    if (Outcome why = Replaceable(target, st); !why) return why;

    RemoveStaleTemporaries(PlaceOf(target));
    std::string before;
    if (!ReadAll(fd.fd, st, before)) return Failed(errno);
    Document doc(before);
    edit(doc);
    if (doc.Text() == before) return {};
    if (int error = Store(target, st, doc.Text())) return Failed(error);
    undo.armed = false;
    return {};
}

} // namespace profile
