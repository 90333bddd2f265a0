#include "lineedit/utf8.h"

#include <cstdint>

namespace lineedit::utf8 {

namespace {

// Decodes the character at `pos`; `len` receives its byte length. Malformed
// bytes decode as themselves, one byte each.
uint32_t decode(std::string_view s, size_t pos, size_t &len) {
    auto c = static_cast<unsigned char>(s[pos]);
    size_t n = sequenceLength(c);
    if (n == 1 || pos + n > s.size()) {
        len = 1;
        return c;
    }
    uint32_t cp = c & (0x7F >> n);
    for (size_t i = 1; i < n; i++) {
        auto b = static_cast<unsigned char>(s[pos + i]);
        if (!isContinuation(b)) {
            len = 1;
            return c;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    len = n;
    return cp;
}

int charWidth(uint32_t cp) {
    if ((cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x200B && cp <= 0x200F) ||
        (cp >= 0xFE00 && cp <= 0xFE0F))
        return 0; // combining marks, zero-width characters, variation selectors
    if ((cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF && cp != 0x303F) ||
        (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
        (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
        (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
        (cp >= 0x1F900 && cp <= 0x1F9FF) || (cp >= 0x20000 && cp <= 0x3FFFD))
        return 2; // East Asian wide and emoji
    return 1;
}

// Length of an escape sequence starting at `pos` (ESC [ params final), or 0.
size_t csiLength(std::string_view s, size_t pos) {
    if (s[pos] != '\x1b' || pos + 1 >= s.size() || s[pos + 1] != '[') return 0;
    for (size_t i = pos + 2; i < s.size(); i++) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x40 && c <= 0x7E) return i - pos + 1;
    }
    return 0;
}

} // namespace

size_t next(std::string_view s, size_t pos) {
    if (pos >= s.size()) return s.size();
    size_t len;
    decode(s, pos, len);
    return pos + len;
}

size_t prev(std::string_view s, size_t pos) {
    if (pos == 0) return 0;
    size_t p = pos - 1;
    // Step back over at most three continuation bytes, then check that the
    // lead byte found really spans up to `pos`.
    size_t lead = p;
    while (lead > 0 && pos - lead < 4 && isContinuation(static_cast<unsigned char>(s[lead])))
        lead--;
    if (next(s, lead) == pos) return lead;
    return p;
}

size_t width(std::string_view s) {
    size_t w = 0;
    for (size_t i = 0; i < s.size();) {
        if (size_t esc = csiLength(s, i)) {
            i += esc;
            continue;
        }
        size_t len;
        uint32_t cp = decode(s, i, len);
        w += charWidth(cp);
        i += len;
    }
    return w;
}

size_t count(std::string_view s) {
    size_t n = 0;
    for (size_t i = 0; i < s.size(); i = next(s, i))
        n++;
    return n;
}

std::string_view fitPrefix(std::string_view s, size_t cols) {
    size_t w = 0, i = 0;
    while (i < s.size()) {
        size_t len;
        uint32_t cp = decode(s, i, len);
        size_t cw = charWidth(cp);
        if (w + cw > cols) break;
        w += cw;
        i += len;
    }
    return s.substr(0, i);
}

} // namespace lineedit::utf8
