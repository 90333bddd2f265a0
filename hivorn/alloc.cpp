#include "hivorn/alloc.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// Blocks this large are mapped by the library itself, so that growing one
// (a large payload received straight into its string, a receive buffer)
// moves its pages instead of copying them into fresh memory, and freeing it
// gives the memory back at once. Below this the process's allocator serves.
constexpr size_t kLargeBlock = 2u << 20;

// The mapped blocks and their mapped lengths. Few exist at any time; the
// count lets every other free skip the lock.
std::mutex largeLock;
std::vector<std::pair<void *, size_t>> largeBlocks;
std::atomic<size_t> largeCount{0};

size_t pageRound(size_t size) {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size > SIZE_MAX - page ? 0 : (size + page - 1) / page * page;
}

// The mapped length of p when the library mapped it, else 0.
size_t largeLength(void *p) {
    if (largeCount.load(std::memory_order_relaxed) == 0) return 0;
    std::lock_guard<std::mutex> g(largeLock);
    for (auto &b : largeBlocks)
        if (b.first == p) return b.second;
    return 0;
}

void *largeMap(size_t size) {
    size_t len = pageRound(size);
    if (len == 0) return nullptr;
    void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    std::lock_guard<std::mutex> g(largeLock);
    largeBlocks.emplace_back(p, len);
    largeCount.store(largeBlocks.size(), std::memory_order_relaxed);
    return p;
}

// Replaces the record of block p (mapped length len) by q and qlen, or drops
// it when q is null.
void largeRecord(void *p, void *q, size_t qlen) {
    std::lock_guard<std::mutex> g(largeLock);
    auto it = std::find_if(largeBlocks.begin(), largeBlocks.end(),
                           [p](const auto &b) { return b.first == p; });
    if (it == largeBlocks.end()) return;
    if (q != nullptr) {
        *it = {q, qlen};
    } else {
        *it = largeBlocks.back();
        largeBlocks.pop_back();
    }
    largeCount.store(largeBlocks.size(), std::memory_order_relaxed);
}

void *defaultMalloc(size_t size) {
    return size >= kLargeBlock ? largeMap(size) : malloc(size);
}

void *defaultCalloc(size_t nmemb, size_t size) {
    // Fresh mappings are zeroed already.
    if (size != 0 && nmemb >= kLargeBlock / size) return largeMap(nmemb * size);
    return calloc(nmemb, size);
}

void defaultFree(void *p) {
    if (p == nullptr) return;
    size_t len = largeLength(p);
    if (len == 0) return free(p);
    largeRecord(p, nullptr, 0);
    munmap(p, len);
}

void *defaultRealloc(void *p, size_t size) {
    if (p == nullptr) return defaultMalloc(size);
    size_t len = largeLength(p);
    if (len != 0 && size >= kLargeBlock / 2) {
        size_t newlen = pageRound(size);
        if (newlen == 0) return nullptr;
        if (newlen == len) return p;
        void *q = mremap(p, len, newlen, MREMAP_MAYMOVE);
        if (q == MAP_FAILED) return nullptr;
        largeRecord(p, q, newlen);
        return q;
    }
    if (len == 0 && size < kLargeBlock) return realloc(p, size);
    // Crossing the threshold: the block changes hands between the two.
    void *q = defaultMalloc(size);
    if (q == nullptr) return nullptr;
    size_t old = len != 0 ? len : malloc_usable_size(p);
    memcpy(q, p, std::min(old, size));
    defaultFree(p);
    return q;
}

constexpr hivornAllocFuncs kDefaultAllocators = {defaultMalloc, defaultCalloc, defaultRealloc,
                                                 strdup, defaultFree};

} // namespace

hivornAllocFuncs hivornAllocFns = kDefaultAllocators;

hivornAllocFuncs hivornSetAllocators(const hivornAllocFuncs *fns) {
    hivornAllocFuncs old = hivornAllocFns;
    hivornAllocFns = *fns;
    return old;
}

void hivornResetAllocators() {
    hivornAllocFns = kDefaultAllocators;
}

void *hi_calloc(size_t nmemb, size_t size) {
    if (size != 0 && nmemb > SIZE_MAX / size) return nullptr;
    return hivornAllocFns.callocFn(nmemb, size);
}
