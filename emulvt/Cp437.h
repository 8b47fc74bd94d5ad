// Code page 437 glyphs as Unicode: how a cell's byte looks on screen.
#pragma once

#include <cstdint>
#include <string>

namespace emulvt {

// The Unicode code point of the code page 437 glyph of a byte; 0x00 is a
// blank and 0x01..0x1F, 0x7F are the pictographs of the code page.
char32_t Cp437ToUnicode(std::uint8_t b);

// Appends the UTF-8 form of the glyph of b to out.
void AppendCp437Utf8(std::string& out, std::uint8_t b);

} // namespace emulvt
