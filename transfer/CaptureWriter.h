// A channel's capture file: what the channel receives (and, in the two-way
// text form, what it sends) written to disk through a buffer, so the receive
// path only appends to memory and the disk sees large writes. The file is
// opened for append and never truncated unless the caller asked to replace it.
//
// A failed write (a full disk, a file that vanished) stops the capture for
// good: what reached the file stays there, later bytes are dropped, and Error()
// says why, once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

enum class TCaptureFormat : std::uint8_t {
    cfRaw,     // the received bytes exactly as they came
    cfText,    // received lines as the ASCII view forms them, each with a time stamp
    cfTextBoth // received and sent lines, each with a time stamp and RX or TX
};

struct TCaptureOptions {
    TCaptureFormat Format = TCaptureFormat::cfRaw;
    bool Replace = false;                          // empty an existing file first (else append)
    std::size_t BufferSize = std::size_t{1} << 20; // written out when this full
};

// Forms lines from bytes the way the ASCII view does: 60 characters at most,
// every second CR or LF ends a line, bytes below 32 show as ".". Each line
// carries the time its first character came.
class TLineFormer {
public:
    using TClock = std::chrono::system_clock;
    static constexpr std::size_t kLineWidth = 60;

    // Adds a byte; sink(line, began) takes each finished line (its bytes,
    // Windows-1252). The clock is asked only when a line gets its first
    // character, so the receive path does not pay for a time per byte.
    template <class TNow, class TSink>
    void Add(std::uint8_t b, const TNow& now, const TSink& sink) {
        // A line is stamped with the time of its first character (an empty
        // one with the time of the line end that ends it), not when the view
        // added it.
        auto finish = [&] {
            sink(std::string_view(FLine), FStamped ? FBegan : now());
            FLine.clear();
            FStamped = false;
        };
        if (!FOpen) {
            FOpen = true;
            FLineEnd = false;
            FLine.clear();
            FStamped = false;
        }
        if (FLine.size() == kLineWidth) finish();
        if (b == 13 || b == 10) {
            if (FLineEnd) {
                finish();
                FLineEnd = false;
            } else {
                FLineEnd = true;
            }
            return;
        }
        if (!FStamped) {
            FBegan = now();
            FStamped = true;
        }
        FLine.push_back(b < 32 ? '.' : static_cast<char>(b));
    }
    // The line begun but not ended (its text, and whether there is one).
    bool HasOpenLine() const { return FOpen && !FLine.empty(); }
    // Hands over the open line and starts afresh.
    void FlushOpen(const std::function<void(std::string_view, TClock::time_point)>& sink);

private:
    std::string FLine;
    TClock::time_point FBegan{};
    bool FStamped = false; // FBegan holds the open line's time
    bool FOpen = false;
    bool FLineEnd = false;
};

// "2026-12-06T15:08:05.123": local time with milliseconds.
std::string IsoLocalTime(std::chrono::system_clock::time_point t);
void AppendIsoLocalTime(std::string& out, std::chrono::system_clock::time_point t);

class TCaptureWriter {
public:
    using TClock = std::chrono::system_clock;

    TCaptureWriter();
    ~TCaptureWriter(); // Close
    TCaptureWriter(const TCaptureWriter&) = delete;
    TCaptureWriter& operator=(const TCaptureWriter&) = delete;

    // Opens (creates) the file; false with Error() set when it cannot.
    bool Open(const std::string& path, const TCaptureOptions& options);
    // Writes what is buffered (text forms keep a line until it ends) and ends
    // the capture when the file has been removed. False once the capture failed.
    bool Flush();
    // Writes the open lines and the buffer, then closes. False if anything failed.
    bool Close();

    void Rx(std::uint8_t b) {
        if (FFormat == TCaptureFormat::cfRaw) {
            if (FFd < 0) return;
            FBuffer.push_back(static_cast<char>(b));
            ++FBytesIn;
            if (FBuffer.size() >= FBufferSize) WriteOut();
        } else {
            TextByte(0, b);
        }
    }
    void Tx(std::string_view bytes); // only the two-way text form keeps them

    bool IsOpen() const { return FFd >= 0; }
    bool Failed() const { return !FError.empty(); }
    const std::string& Error() const { return FError; }
    const std::string& Path() const { return FPath; }
    TCaptureFormat Format() const { return FFormat; }
    std::uint64_t BytesIn() const { return FBytesIn; }           // bytes captured
    std::uint64_t BytesWritten() const { return FBytesWritten; } // file bytes written
    int Fd() const { return FFd; }

    // The clock of the time stamps (tests set a fixed one).
    std::function<TClock::time_point()> Now = [] { return TClock::now(); };

private:
    void TextByte(int dir, std::uint8_t b);
    void AppendLine(int dir, std::string_view line, TClock::time_point began);
    bool WriteOut();
    void Fail(const std::string& why);

    int FFd = -1;
    std::string FPath;
    std::string FError;
    TCaptureFormat FFormat = TCaptureFormat::cfRaw;
    std::size_t FBufferSize = std::size_t{1} << 20;
    std::string FBuffer;
    std::uint64_t FBytesIn = 0;
    std::uint64_t FBytesWritten = 0;
    TLineFormer FLines[2]; // received, sent
};
