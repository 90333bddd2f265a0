// The library's default allocator table: very large blocks are mapped by the
// library and must keep their bytes through every kind of growth and
// shrinking, across the threshold in both directions, and go back whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "child_process.h"
#include "hivorn/alloc.h"

namespace {

const size_t MiB = 1u << 20;

void fill(char *p, size_t n, char seed) {
    for (size_t i = 0; i < n; i += 4093)
        p[i] = static_cast<char>(seed + i % 61);
}

bool same(const char *p, size_t n, char seed) {
    for (size_t i = 0; i < n; i += 4093)
        if (p[i] != static_cast<char>(seed + i % 61)) return false;
    return true;
}

TEST(Allocators, LargeBlocksKeepTheirBytesThroughGrowthAndShrinking) {
    hivornResetAllocators();
    // Sizes in KiB a block passes through, around the 2 MiB from which
    // blocks are mapped, with the bytes checked at each.
    const size_t steps[] = {1024, 8192, 1500, 3000, 700, 65536, 204800, 512, 100, 40000, 1, 2048};
    const size_t KiB = 1024;
    char *p = static_cast<char *>(hi_malloc(KiB));
    ASSERT_NE(p, nullptr);
    size_t size = KiB;
    fill(p, size, 'a');
    for (size_t kib : steps) {
        SCOPED_TRACE(std::to_string(size / KiB) + " KiB to " + std::to_string(kib) + " KiB");
        size_t keep = std::min(size, kib * KiB);
        p = static_cast<char *>(hi_realloc(p, kib * KiB));
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(same(p, keep, 'a'));
        size = kib * KiB;
        fill(p, size, 'a');
    }
    hi_free(p);
}

TEST(Allocators, LargeCallocIsZeroedAndMallocWritable) {
    hivornResetAllocators();
    char *z = static_cast<char *>(hi_calloc(40, MiB));
    ASSERT_NE(z, nullptr);
    for (size_t i = 0; i < 40 * MiB; i += 4096)
        ASSERT_EQ(z[i], 0) << i;
    char *m = static_cast<char *>(hi_malloc(64 * MiB));
    ASSERT_NE(m, nullptr);
    memset(m, 'm', 64 * MiB);
    hi_free(z);
    hi_free(m);
    hi_free(nullptr);
    // Sizes that cannot be mapped fail as allocations do.
    EXPECT_EQ(hi_malloc(SIZE_MAX - 10), nullptr);
    EXPECT_EQ(hi_calloc(SIZE_MAX / 2, 4), nullptr);
}

// A freed large block is kept for the next large allocation, which writes
// into pages it already has; only a calloc, which must see zeros, gets a
// fresh mapping. A kept block larger than asked for serves the growth of
// what took it, and shrinking to less than half gives the rest back.
TEST(Allocators, AFreedLargeBlockServesTheNextOne) {
    hivornResetAllocators();
    // Larger than any block freed before, so it is the one kept.
    char *kept = static_cast<char *>(hi_malloc(1024 * MiB));
    ASSERT_NE(kept, nullptr);
    memset(kept, 'k', 4 * MiB);
    hi_free(kept);

    char *z = static_cast<char *>(hi_calloc(4, MiB));
    ASSERT_NE(z, nullptr);
    EXPECT_NE(z, kept);
    EXPECT_TRUE(std::all_of(z, z + 4 * MiB, [](char c) { return c == 0; }));

    char *p = static_cast<char *>(hi_malloc(3 * MiB));
    EXPECT_EQ(p, kept);
    fill(p, 3 * MiB, 'p');
    p = static_cast<char *>(hi_realloc(p, 40 * MiB));
    EXPECT_EQ(p, kept);
    EXPECT_TRUE(same(p, 3 * MiB, 'p'));
    fill(p, 40 * MiB, 'q');
    p = static_cast<char *>(hi_realloc(p, 5 * MiB));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(same(p, 5 * MiB, 'q'));
    p = static_cast<char *>(hi_realloc(p, 64 * MiB));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(same(p, 5 * MiB, 'q'));
    hi_free(p);
    hi_free(z);
}

// The kept block goes back to the system when asked (before the shell
// waits for input), and by itself once allocations go on a while after it
// was freed.
TEST(Allocators, TheKeptBlockIsUnmappedWhenAskedAndAfterAWhile) {
    hivornResetAllocators();
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    unsigned char vec = 0;
    auto mapped = [&](void *p) { return mincore(p, page, &vec) == 0; };

    char *p = static_cast<char *>(hi_malloc(8 * MiB));
    ASSERT_NE(p, nullptr);
    p[0] = 'x';
    hi_free(p);
    EXPECT_TRUE(mapped(p));
    hivornReleaseKeptMemory();
    EXPECT_FALSE(mapped(p));

    p = static_cast<char *>(hi_malloc(8 * MiB));
    ASSERT_NE(p, nullptr);
    hi_free(p);
    hi_free(hi_malloc(16)); // right after: still kept
    EXPECT_TRUE(mapped(p));
    sleep(3);
    hi_free(hi_malloc(16));
    EXPECT_FALSE(mapped(p));
}

// Under an address-space limit the kept block gives way: to a larger block
// than it holds, to a zeroed one, which never takes it, and to another
// block's growth.
TEST(Allocators, TheKeptBlockGivesWayUnderAnAddressSpaceLimit) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit under an address-space limit";
#endif
    hivornResetAllocators();
    int status = runInChild([] {
        hi_free(hi_malloc(1024 * MiB));
        // 512 MiB above what is mapped, the kept 1 GiB included.
        if (!limitAddressSpace(512 * MiB)) return 3;
        char *z = static_cast<char *>(hi_calloc(1400, MiB));
        if (z == nullptr) return 1;
        z[1400 * MiB - 1] = 'z';
        hi_free(z); // kept in turn
        char *p = static_cast<char *>(hi_malloc(1500 * MiB));
        if (p == nullptr) return 2;
        p[1500 * MiB - 1] = 'x';
        // A block growing beside the kept one.
        char *q = static_cast<char *>(hi_malloc(4 * MiB));
        hi_free(p); // kept
        if (q == nullptr || (q = static_cast<char *>(hi_realloc(q, 1520 * MiB))) == nullptr)
            return 4;
        q[1520 * MiB - 1] = 'q';
        hi_free(q);
        return 0;
    });
    EXPECT_EQ(status, 0);
}

} // namespace
