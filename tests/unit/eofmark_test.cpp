// The end-of-file mark of a snapshot transfer must be found wherever the
// reads cut the stream, and only where the stream really ends with it.
#include "modes/eofmark.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const std::string kMark = "0f1e2d3c4b5a69788796a5b4c3d2e1f0abcdef12";

// Feeds stream in reads of the given sizes (the last size repeats). Returns
// the stream offset just past the mark, or -1 when it was not found.
long long feed(const std::string &stream, std::vector<size_t> sizes) {
    vdbEofWindow w;
    w.reset(kMark.data());
    size_t pos = 0, i = 0;
    while (pos < stream.size()) {
        size_t n = std::min(sizes[std::min(i++, sizes.size() - 1)], stream.size() - pos);
        size_t end = w.update(stream.data() + pos, n);
        if (end != vdbEofWindow::npos) {
            EXPECT_LE(end, n);
            EXPECT_EQ(std::string(w.lastbytes, 40), kMark) << "the window ends with the mark";
            EXPECT_EQ(w.seen, pos + end);
            return static_cast<long long>(pos + end);
        }
        pos += n;
    }
    return -1;
}

} // namespace

TEST(EofMark, FoundWhateverTheReadsCutTheStream) {
    const std::string data(5000, 'x');
    struct Row {
        const char *what;
        std::string stream;
        std::vector<size_t> sizes;
        long long want;
    } rows[] = {
        {"one read", data + kMark, {1 << 20}, 5040},
        {"4096-byte reads", data + kMark, {4096}, 5040},
        {"mark split 25 + 15", data + kMark, {5025, 15}, 5040},
        {"mark split 1 + 39", data + kMark, {5001, 39}, 5040},
        {"mark split 39 + 1", data + kMark, {5039, 1}, 5040},
        {"byte by byte", data.substr(0, 100) + kMark, {1}, 140},
        {"mark over three reads", data + kMark, {5010, 20, 10}, 5040},
        {"empty snapshot", kMark, {7}, 40},
        {"empty snapshot, one read", kMark, {40}, 40},
        {"stream after the mark, same read",
         data + kMark + "*1\r\n$4\r\nPING\r\n",
         {1 << 20},
         5040},
        {"stream after a split mark", data + kMark + "+OK\r\n", {5030, 4096}, 5040},
        {"first of two marks", data + kMark + data + kMark, {4096}, 5040},
        {"no mark", data + data, {4096}, -1},
        {"most of a mark only", data + kMark.substr(0, 39), {4096}, -1},
        {"mark with one byte changed",
         data + kMark.substr(0, 20) + "#" + kMark.substr(21),
         {4096},
         -1},
    };
    for (const Row &r : rows)
        EXPECT_EQ(feed(r.stream, r.sizes), r.want) << r.what;
}

TEST(EofMark, ZeroFilledWindowIsNotTakenForStreamBytes) {
    // A mark of zero bytes must not match the zero-filled start of the
    // window: only 40 bytes that were really received count.
    const std::string zeros(40, '\0');
    vdbEofWindow w;
    w.reset(zeros.data());
    EXPECT_EQ(w.update("\0\0\0\0\0", 5), vdbEofWindow::npos);
    EXPECT_EQ(w.update(zeros.data(), 34), vdbEofWindow::npos);
    EXPECT_EQ(w.update(zeros.data(), 1), 1u);
}

TEST(EofMark, ResetStartsAFreshTransfer) {
    vdbEofWindow w;
    w.reset(kMark.data());
    std::string half = kMark.substr(0, 20);
    EXPECT_EQ(w.update(half.data(), half.size()), vdbEofWindow::npos);
    w.reset(kMark.data());
    // The first half seen before the reset does not complete a mark now.
    std::string rest = kMark.substr(20);
    EXPECT_EQ(w.update(rest.data(), rest.size()), vdbEofWindow::npos);
    EXPECT_EQ(w.seen, 20u);
}
