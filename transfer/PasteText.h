// Pasted text as the bytes a channel sends: each character as its
// Windows-1252 byte, every line end (CR LF, LF or CR alone) as CR LF as the
// Enter key sends it. Characters the code page has no byte for are left out
// and counted.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct TPasteBytes {
    std::string Bytes;
    std::size_t Refused = 0; // characters without a byte, not sent
};

TPasteBytes PasteBytes(std::u32string_view text);
