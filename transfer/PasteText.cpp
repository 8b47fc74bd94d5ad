#include "PasteText.h"

#include "Cp1252.h"

TPasteBytes PasteBytes(std::u32string_view text) {
    TPasteBytes out;
    out.Bytes.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t c = text[i];
        if (c == U'\r' || c == U'\n') {
            if (c == U'\r' && i + 1 < text.size() && text[i + 1] == U'\n') ++i;
            out.Bytes += "\r\n";
            continue;
        }
        const int b = cp1252::FromUnicode(c);
        if (b < 0)
            ++out.Refused;
        else
            out.Bytes.push_back(static_cast<char>(b));
    }
    return out;
}
