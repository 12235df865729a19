#include "text.h"

#include <cstdio>

std::string text_escape(std::string_view text, size_t max) {
    std::string out;
    out.reserve(text.size() < max ? text.size() : max);
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        char esc[5] = {'\\', 0, 0, 0, 0};
        if (c == '\n') {
            esc[1] = 'n';
        } else if (c == '\r') {
            esc[1] = 'r';
        } else if (c == '\t') {
            esc[1] = 't';
        } else if (u < 0x20 || u == 0x7f) {
            snprintf(esc, sizeof esc, "\\x%02x", u);
        } else {
            if (out.size() + 1 >= max) break;
            out.push_back(c);
            continue;
        }
        const std::string_view piece(esc);
        if (out.size() + piece.size() >= max) break;
        out.append(piece);
    }
    return out;
}

size_t text_utf8_fit(std::string_view text, size_t max) {
    if (text.size() <= max) return text.size();
    // The byte after the cut continues a character: back off to the byte
    // that starts it (a character has at most three continuation bytes).
    size_t n = max;
    for (int back = 0; back < 3 && n > 0 && (static_cast<unsigned char>(text[n]) & 0xc0) == 0x80; ++back) --n;
    return (static_cast<unsigned char>(text[n]) & 0xc0) == 0x80 ? max : n;
}
