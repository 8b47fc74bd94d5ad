#include "CaptureWriter.h"

#include "Cp1252.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string ErrnoText(int err) {
    return std::strerror(err);
}
} // namespace

void TLineFormer::FlushOpen(const std::function<void(std::string_view, TClock::time_point)>& sink) {
    if (HasOpenLine()) sink(FLine, FBegan);
    FLine.clear();
    FStamped = false;
    FOpen = false;
    FLineEnd = false;
}

void AppendIsoLocalTime(std::string& out, std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    long frac = static_cast<long>(ms % 1000);
    if (frac < 0) {
        frac += 1000;
        --secs;
    }
    // Lines come by the hundred thousand a second at full speed: the local
    // time of a second is worked out once.
    thread_local std::time_t cachedSecs = -1;
    thread_local char cached[32];
    thread_local std::size_t cachedLen = 0;
    if (secs != cachedSecs) {
        std::tm tm{};
        localtime_r(&secs, &tm);
        cachedLen = std::strftime(cached, sizeof cached, "%Y-%m-%dT%H:%M:%S", &tm);
        cachedSecs = secs;
    }
    out.append(cached, cachedLen);
    const char digits[4] = {'.', char('0' + frac / 100), char('0' + frac / 10 % 10),
                            char('0' + frac % 10)};
    out.append(digits, 4);
}

std::string IsoLocalTime(std::chrono::system_clock::time_point t) {
    std::string out;
    AppendIsoLocalTime(out, t);
    return out;
}

TCaptureWriter::TCaptureWriter() = default;

TCaptureWriter::~TCaptureWriter() {
    Close();
}

bool TCaptureWriter::Open(const std::string& path, const TCaptureOptions& options) {
    Close();
    FError.clear();
    FPath = path;
    FFormat = options.Format;
    FBufferSize = options.BufferSize > 0 ? options.BufferSize : 1;
    FBytesIn = FBytesWritten = 0;
    FLines[0] = TLineFormer{};
    FLines[1] = TLineFormer{};
    FBuffer.clear();
    FBuffer.reserve(FBufferSize);
    // Appending writes land at the end whatever else writes the file; the
    // descriptor does not leak into programs the terminal may start.
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY;
    if (options.Replace) flags |= O_TRUNC;
    FFd = ::open(path.c_str(), flags, 0644);
    if (FFd < 0) {
        FError = path + ": " + ErrnoText(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(FFd, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode) &&
        !S_ISCHR(st.st_mode)) {
        ::close(FFd);
        FFd = -1;
        FError = path + ": not a file";
        return false;
    }
    return true;
}

void TCaptureWriter::Tx(std::string_view bytes) {
    if (FFormat != TCaptureFormat::cfTextBoth) return;
    for (const char c : bytes)
        TextByte(1, static_cast<std::uint8_t>(c));
}

void TCaptureWriter::TextByte(int dir, std::uint8_t b) {
    if (FFd < 0) return;
    ++FBytesIn;
    FLines[dir].Add(b, Now, [this, dir](std::string_view line, TClock::time_point began) {
        AppendLine(dir, line, began);
    });
    if (FBuffer.size() >= FBufferSize) WriteOut();
}

void TCaptureWriter::AppendLine(int dir, std::string_view line, TClock::time_point began) {
    AppendIsoLocalTime(FBuffer, began);
    if (FFormat == TCaptureFormat::cfTextBoth) FBuffer += dir == 0 ? " RX" : " TX";
    FBuffer.push_back(' ');
    for (const char c : line)
        AppendUtf8(FBuffer, cp1252::ToUnicode(static_cast<std::uint8_t>(c)));
    FBuffer.push_back('\n');
}

bool TCaptureWriter::WriteOut() {
    std::size_t done = 0;
    while (done < FBuffer.size()) {
        const ssize_t n = ::write(FFd, FBuffer.data() + done, FBuffer.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            FBytesWritten += done;
            FBuffer.clear();
            Fail(FPath + ": " + ErrnoText(err));
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    FBytesWritten += done;
    FBuffer.clear();
    return true;
}

void TCaptureWriter::Fail(const std::string& why) {
    if (FError.empty()) FError = why;
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
}

bool TCaptureWriter::Flush() {
    if (FFd < 0) return !Failed();
    if (!FBuffer.empty() && !WriteOut()) return false;
    // A file whose name (or folder) was removed would swallow everything from
    // now on unseen: the capture ends instead.
    struct stat st {};
    if (::fstat(FFd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0) {
        Fail(FPath + ": the file was removed");
        return false;
    }
    return true;
}

bool TCaptureWriter::Close() {
    if (FFd < 0) return !Failed();
    if (FFormat != TCaptureFormat::cfRaw) {
        for (int dir = 0; dir < 2; ++dir)
            FLines[dir].FlushOpen([this, dir](std::string_view line, TClock::time_point began) {
                AppendLine(dir, line, began);
            });
    }
    bool ok = FBuffer.empty() || WriteOut();
    if (FFd >= 0) {
        if (::close(FFd) != 0 && ok) {
            FError = FPath + ": " + ErrnoText(errno);
            ok = false;
        }
        FFd = -1;
    }
    return ok;
}
