// The end-of-file mark of a snapshot transfer whose length is not announced:
// the 40 bytes that follow "$EOF:" in the announcement close the snapshot
// again, and are not part of it.
#pragma once

#include <cstddef>

#define VDB_EOF_MARK_SIZE 40

// Watches the bytes of one transfer go by and tells where its mark ends.
// `lastbytes` always holds the last 40 bytes seen (zero-filled before the
// first 40), so a mark split over any number of reads is still found.
struct vdbEofWindow {
    char eofmark[VDB_EOF_MARK_SIZE];
    char lastbytes[VDB_EOF_MARK_SIZE];
    unsigned long long seen; // bytes slid in so far

    // Starts a transfer closed by mark (VDB_EOF_MARK_SIZE bytes).
    void reset(const char *mark);

    // Slides the n bytes of buf in. Returns how many of them belong to the
    // transfer when the mark ends within them (the window then ends with the
    // mark), or npos when it does not. A mark followed by more bytes in the
    // same read counts too: those bytes are already the next thing on the
    // connection.
    size_t update(const char *buf, size_t n);

    static constexpr size_t npos = static_cast<size_t>(-1);
};
