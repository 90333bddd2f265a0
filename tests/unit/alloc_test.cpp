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
    // Sizes in MiB a block passes through, with the bytes checked at each.
    const size_t steps[] = {1, 8, 31, 32, 33, 64, 200, 48, 17, 2, 96, 1};
    char *p = static_cast<char *>(hi_malloc(MiB));
    ASSERT_NE(p, nullptr);
    size_t size = MiB;
    fill(p, size, 'a');
    for (size_t mib : steps) {
        SCOPED_TRACE(std::to_string(size / MiB) + " MiB to " + std::to_string(mib) + " MiB");
        size_t keep = std::min(size, mib * MiB);
        p = static_cast<char *>(hi_realloc(p, mib * MiB));
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(same(p, keep, 'a'));
        size = mib * MiB;
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
