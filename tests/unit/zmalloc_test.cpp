#include "support/zmalloc.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <malloc.h>

#include <gtest/gtest.h>

#ifdef USE_JEMALLOC
extern "C" int mallctl(const char *name, void *oldp, size_t *oldlenp, void *newp, size_t newlen);
#endif

namespace {

TEST(Zmalloc, ZeroByteRequestsGetARealBlock) {
    void *a = zmalloc(0);
    void *b = zcalloc(0);
    void *c = zrealloc(zmalloc(16), 0);
    for (void *p : {a, b, c}) {
        ASSERT_NE(p, nullptr);
        EXPECT_GE(malloc_usable_size(p), 8u);
        memset(p, 0xab, 8); // ASan reports a write beyond a smaller block
    }
    EXPECT_EQ(0, memcmp(b, "\xab\xab\xab\xab\xab\xab\xab\xab", 8));
    zfree(a);
    zfree(b);
    zfree(c);
    zfree(nullptr);
}

TEST(Zmalloc, CallocZeroesAndReallocKeepsContents) {
    auto *p = static_cast<unsigned char *>(zcalloc(4096));
    for (int i = 0; i < 4096; i++)
        ASSERT_EQ(p[i], 0) << i;
    for (int i = 0; i < 4096; i++)
        p[i] = static_cast<unsigned char>(i);
    p = static_cast<unsigned char *>(zrealloc(p, 1 << 20));
    for (int i = 0; i < 4096; i++)
        ASSERT_EQ(p[i], static_cast<unsigned char>(i)) << i;
    p = static_cast<unsigned char *>(zrealloc(p, 100));
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(p[i], static_cast<unsigned char>(i)) << i;
    zfree(p);

    void *fresh = zrealloc(nullptr, 32); // acts as an allocation
    ASSERT_NE(fresh, nullptr);
    zfree(fresh);

    char *dup = zstrdup("copy me");
    EXPECT_STREQ(dup, "copy me");
    zfree(dup);
}

#ifdef USE_JEMALLOC
// The allocations must really come from jemalloc, not from the C library.
TEST(Zmalloc, AllocatesThroughJemalloc) {
    uint64_t before = 0, after = 0;
    size_t len = sizeof(before);
    ASSERT_EQ(mallctl("thread.allocated", &before, &len, nullptr, 0), 0);
    void *p = zmalloc(1 << 16);
    ASSERT_EQ(mallctl("thread.allocated", &after, &len, nullptr, 0), 0);
    EXPECT_GE(after - before, uint64_t(1) << 16);
    zfree(p);
}
#endif

TEST(ZmallocDeathTest, OutOfMemoryReportsSizeAndAborts) {
    // Threadsafe death tests re-execute the binary, so the child sees the
    // environment set here: under AddressSanitizer, let oversized requests
    // fail with null as the normal allocator does, instead of the sanitizer
    // reporting them itself.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char *old = getenv("ASAN_OPTIONS");
    std::string saved = old ? old : "";
    setenv("ASAN_OPTIONS", (saved + (old ? ":" : "") + "allocator_may_return_null=1").c_str(), 1);

    EXPECT_DEATH(zmalloc_oom_handler(12345),
                 "^zmalloc: Out of memory trying to allocate 12345 bytes\n$");
    const size_t huge = SIZE_MAX / 2;
    std::string msg =
        "zmalloc: Out of memory trying to allocate " + std::to_string(huge) + " bytes";
    EXPECT_DEATH(zmalloc(huge), msg);
    EXPECT_DEATH(zcalloc(huge), msg);
    EXPECT_DEATH(zfree(zrealloc(zmalloc(8), huge)), msg);

    if (old)
        setenv("ASAN_OPTIONS", saved.c_str(), 1);
    else
        unsetenv("ASAN_OPTIONS");
}

} // namespace
