#include "SendPacer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr std::size_t kBlock = 256 * 1024;
}

TSendPacer::~TSendPacer() {
    if (FFd >= 0) ::close(FFd);
}

bool TSendPacer::OpenFile(const std::string& path, std::string& error) {
    if (FFd >= 0) ::close(FFd);
    FFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (FFd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(FFd, &st) != 0 || S_ISDIR(st.st_mode)) {
        error = path + ": " + (S_ISDIR(st.st_mode) ? "a folder, not a file" : std::strerror(errno));
        ::close(FFd);
        FFd = -1;
        return false;
    }
    FPath = path;
    FTotal = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    FTaken = 0;
    FBuf.clear();
    FPos = 0;
    FEof = false;
    return true;
}

void TSendPacer::SetBytes(std::string bytes) {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
    FEof = true;
    FBuf = std::move(bytes);
    FPos = 0;
    FTotal = FBuf.size();
    FTaken = 0;
}

void TSendPacer::SetDelays(int charMs, int lineMs) {
    FCharMs = std::max(0, charMs);
    FLineMs = std::max(0, lineMs);
}

bool TSendPacer::Fill(std::size_t want, bool compact) {
    if (FBuf.size() - FPos >= want) return true;
    if (compact && FPos > 0) {
        FBuf.erase(0, FPos);
        FPos = 0;
    }
    while (!FEof && FBuf.size() < want) {
        const std::size_t old = FBuf.size();
        FBuf.resize(old + kBlock);
        const ssize_t n = ::read(FFd, FBuf.data() + old, kBlock);
        if (n < 0) {
            FBuf.resize(old);
            if (errno == EINTR) continue;
            throw std::runtime_error(FPath + ": " + std::strerror(errno));
        }
        FBuf.resize(old + static_cast<std::size_t>(n));
        if (n == 0) {
            FEof = true;
            ::close(FFd);
            FFd = -1;
        }
    }
    // A file that grew or shrank while it was sent counts what was read.
    if (FEof) FTotal = FTaken + (FBuf.size() - FPos);
    return FBuf.size() - FPos >= want;
}

bool TSendPacer::AtEnd() {
    return !Fill(1);
}

bool TSendPacer::LineEndAt(std::size_t i) {
    const char c = FBuf[i];
    if (c == '\n') return true;
    if (c != '\r') return false;
    // A CR followed by LF: the pair ends the line after the LF. The look
    // ahead reads on without moving the buffer, so i stays valid.
    Fill(i - FPos + 2, false);
    return !(i + 1 < FBuf.size() && FBuf[i + 1] == '\n');
}

std::string TSendPacer::Next(std::size_t max, int& pauseMs) {
    pauseMs = 0;
    max = std::max<std::size_t>(max, 1);
    if (!Fill(std::min(max, kBlock))) {
        if (FBuf.size() == FPos) return {};
    }
    std::size_t n = std::min(max, FBuf.size() - FPos);
    if (FCharMs > 0) {
        n = 1;
        pauseMs = FCharMs;
        if (FLineMs > 0 && LineEndAt(FPos)) pauseMs += FLineMs;
    } else if (FLineMs > 0) {
        for (std::size_t i = 0; i < n; ++i) {
            if (LineEndAt(FPos + i)) {
                n = i + 1;
                pauseMs = FLineMs;
                break;
            }
        }
    }
    std::string out = FBuf.substr(FPos, n);
    FPos += n;
    FTaken += n;
    return out;
}
