// What a file send or a paste hands to the channel's send queue, piece by
// piece: a file read in blocks (never whole into memory) or bytes held in
// memory, cut so that the caller can pause after each character and after
// each line end for devices that have no flow control.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class TSendPacer {
public:
    TSendPacer() = default;
    ~TSendPacer();
    TSendPacer(const TSendPacer&) = delete;
    TSendPacer& operator=(const TSendPacer&) = delete;

    // Sends a file's bytes; false with error set when it cannot be read.
    bool OpenFile(const std::string& path, std::string& error);
    // Sends these bytes.
    void SetBytes(std::string bytes);
    // Pauses in milliseconds after each byte and after each line end (LF, or
    // a CR not followed by LF); 0 for none. Negative values count as 0.
    void SetDelays(int charMs, int lineMs);

    bool Paced() const { return FCharMs > 0 || FLineMs > 0; }
    std::uint64_t Total() const { return FTotal; } // the file's size as opened
    std::uint64_t Taken() const { return FTaken; } // bytes handed out so far
    bool AtEnd();

    // The next bytes (at most max, at least one unless at the end) and the
    // pause to keep after they have gone. Throws std::runtime_error when the
    // file cannot be read any more.
    std::string Next(std::size_t max, int& pauseMs);

private:
    // At least want bytes buffered after FPos, unless the file ends first;
    // compact lets it drop the bytes before FPos.
    bool Fill(std::size_t want, bool compact = true);
    bool LineEndAt(std::size_t i);

    int FFd = -1;
    bool FEof = true;
    std::string FBuf;
    std::size_t FPos = 0;
    std::uint64_t FTotal = 0;
    std::uint64_t FTaken = 0;
    int FCharMs = 0;
    int FLineMs = 0;
    std::string FPath;
};
