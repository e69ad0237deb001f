#include "json.hpp"

#include <cstdio>

namespace ql5::cli {

namespace {

// The length of the valid UTF-8 sequence at s[i], 0 if there is none.
std::size_t utf8Length(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    std::size_t n = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;  // overlong
        if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;  // overlong
        if (c == 0xF4) hi = 0x8F;  // past U+10FFFF
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const unsigned char lower = k == 1 ? lo : 0x80;
        const unsigned char upper = k == 1 ? hi : 0xBF;
        if (b(i + k) < lower || b(i + k) > upper) return 0;
    }
    return n;
}

}  // namespace

std::string jsonString(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04X", c);
            out += esc;
        } else if (c >= 0x80) {
            const std::size_t n = utf8Length(s, i);
            if (n == 0) {
                out += "\xEF\xBF\xBD";
                ++i;
            } else {
                out.append(s.substr(i, n));
                i += n;
            }
            continue;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
    return out;
}

}  // namespace ql5::cli
