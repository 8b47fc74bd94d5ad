// The memo views show and take bytes 128..255 as the Windows-1252 characters
// of those codes, so text typed or copied round-trips to the same bytes.
#pragma once

#include <cstdint>
#include <string>

namespace cp1252 {

// The character a byte stands for. The five codes the code page leaves
// undefined (81, 8D, 8F, 90, 9D) map to the C1 controls of the same value.
char32_t ToUnicode(std::uint8_t b);

// The byte of a character, or -1 when the code page has none for it.
int FromUnicode(char32_t c);

// Appends a character (up to U+FFFF, all these code pages need) as UTF-8.
void AppendUtf8(std::string& out, char32_t c);

} // namespace cp1252
