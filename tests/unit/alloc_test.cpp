// The library's default allocator table: very large blocks are mapped by the
// library and must keep their bytes through every kind of growth and
// shrinking, across the threshold in both directions, and go back whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

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

} // namespace
