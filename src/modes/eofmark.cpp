#include "modes/eofmark.h"

#include <cstring>

namespace {

constexpr size_t kMark = VDB_EOF_MARK_SIZE;

} // namespace

void vdbEofWindow::reset(const char *mark) {
    memcpy(eofmark, mark, kMark);
    memset(lastbytes, 0, kMark);
    seen = 0;
}

// Makes the window end at byte `upto` of buf (the first upto bytes slid in).
static void slide(char *lastbytes, const char *buf, size_t upto) {
    if (upto >= kMark) {
        memcpy(lastbytes, buf + upto - kMark, kMark);
    } else {
        memmove(lastbytes, lastbytes + upto, kMark - upto);
        memcpy(lastbytes + kMark - upto, buf, upto);
    }
}

size_t vdbEofWindow::update(const char *buf, size_t n) {
    // A mark that begins in the window and ends within the first 39 bytes:
    // its last p bytes open buf, its first 40 - p bytes close the window.
    size_t found = npos;
    for (size_t p = 1; p < kMark && p <= n; p++) {
        if (seen + p < kMark) continue; // the stream is not 40 bytes long yet
        if (buf[p - 1] == eofmark[kMark - 1] && memcmp(buf, eofmark + kMark - p, p) == 0 &&
            memcmp(lastbytes + p, eofmark, kMark - p) == 0) {
            found = p;
            break;
        }
    }
    // Otherwise a mark that lies wholly in buf; checking the end first keeps
    // the usual case (the mark closes the read) at one comparison.
    if (found == npos && n >= kMark) {
        if (memcmp(buf + n - kMark, eofmark, kMark) == 0) {
            const void *at = memmem(buf, n, eofmark, kMark);
            found = static_cast<size_t>(static_cast<const char *>(at) - buf) + kMark;
        } else if (const void *at = memmem(buf, n - 1, eofmark, kMark)) {
            found = static_cast<size_t>(static_cast<const char *>(at) - buf) + kMark;
        }
    }
    size_t used = found == npos ? n : found;
    slide(lastbytes, buf, used);
    seen += used;
    return found;
}
