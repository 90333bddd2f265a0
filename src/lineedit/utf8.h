// Character boundaries and display widths of UTF-8 text. The editor keeps its
// line as bytes but moves, deletes and measures whole characters, so that a
// multi-byte character is never split by the cursor.
#pragma once

#include <cstddef>
#include <string_view>

namespace lineedit::utf8 {

inline bool isContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Length of the sequence a lead byte announces (1 for ASCII and stray bytes).
inline size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    return 1;
}

// Byte index of the character boundary after / before `pos`.
size_t next(std::string_view s, size_t pos);
size_t prev(std::string_view s, size_t pos);
// Terminal columns taken by the text; ANSI CSI sequences take none.
size_t width(std::string_view s);
// Number of characters (for masked display).
size_t count(std::string_view s);
// The longest prefix of `s` that fits into `cols` columns.
std::string_view fitPrefix(std::string_view s, size_t cols);

} // namespace lineedit::utf8
