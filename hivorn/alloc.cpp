#include "hivorn/alloc.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <malloc.h>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// Blocks this large are mapped by the library itself, so that growing one
// (a large payload received straight into its string, a receive buffer)
// moves its pages instead of copying them into fresh memory. Below this the
// process's allocator serves.
constexpr size_t kLargeBlock = 2u << 20;

// A mapped block: its mapped length, and the size last asked for, which may
// be less (a kept block handed out again is used from its start).
struct LargeBlock {
    void *p;
    size_t mapped, used;
};

// The mapped blocks in use. Few exist at any time; the count lets every
// other free skip the lock.
std::mutex largeLock;
std::vector<LargeBlock> largeBlocks;
std::atomic<size_t> largeCount{0};

// The last large block freed, kept for the next large allocation for a
// short while: a program that receives large values one after another then
// writes each into pages it already has, instead of faulting fresh ones in
// one by one, which on a virtual machine costs several times the copy
// itself. The pages stay as they are (handing them back lazily would make
// every first write to them fault again), so the block is kept only while
// allocations go on: it is unmapped by the first call through the table
// more than kSpareSeconds after it was freed, by hivornReleaseKeptMemory
// (the shell calls it before it waits for input), or when an allocation
// needs more than it holds.
// The block and its length change under largeLock; spareSince is read
// without it, so that while a block is kept an allocation only reads the
// clock before it knows there is nothing to do.
constexpr int64_t kSpareSeconds = 2;
void *spareBlock = nullptr;
size_t spareMapped = 0;
std::atomic<int64_t> spareSince{0};
std::atomic<bool> spareHeld{false};

int64_t coarseSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return ts.tv_sec;
}

size_t pageRound(size_t size) {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size > SIZE_MAX - page ? 0 : (size + page - 1) / page * page;
}

// The record of p when the library mapped it, else null. Under largeLock.
LargeBlock *largeFind(void *p) {
    for (auto &b : largeBlocks)
        if (b.p == p) return &b;
    return nullptr;
}

// The record of p (copied) when the library mapped it, else {}.
LargeBlock largeLookup(void *p) {
    if (largeCount.load(std::memory_order_relaxed) == 0) return {};
    std::lock_guard<std::mutex> g(largeLock);
    LargeBlock *b = largeFind(p);
    return b != nullptr ? *b : LargeBlock{};
}

// Records a new block in use. Under largeLock.
void largeAdd(void *p, size_t mapped, size_t used) {
    largeBlocks.push_back({p, mapped, used});
    largeCount.store(largeBlocks.size(), std::memory_order_relaxed);
}

// Makes p (mapped length mapped) the kept block, or none when p is null.
// Under largeLock.
void setSpare(void *p, size_t mapped) {
    spareBlock = p;
    spareMapped = mapped;
    spareSince.store(coarseSeconds(), std::memory_order_relaxed);
    spareHeld.store(p != nullptr, std::memory_order_relaxed);
}

// Gives the kept block back to the system. Under largeLock.
void dropSpare() {
    if (spareBlock != nullptr) munmap(spareBlock, spareMapped);
    setSpare(nullptr, 0);
}

// Takes the kept block when it is at least len bytes long; otherwise drops
// it, as what is asked for would only be mapped beside it. Null when there
// is none to take. Under largeLock.
void *takeSpare(size_t len, size_t *mapped) {
    if (spareBlock == nullptr) return nullptr;
    if (spareMapped < len) {
        dropSpare();
        return nullptr;
    }
    void *p = spareBlock;
    *mapped = spareMapped;
    setSpare(nullptr, 0);
    return p;
}

// Drops the kept block once it has waited too long; a relaxed load when
// there is none.
void expireSpare() {
    if (!spareHeld.load(std::memory_order_relaxed) ||
        coarseSeconds() - spareSince.load(std::memory_order_relaxed) <= kSpareSeconds)
        return;
    std::lock_guard<std::mutex> g(largeLock);
    if (coarseSeconds() - spareSince.load(std::memory_order_relaxed) > kSpareSeconds) dropSpare();
}

// A block of at least size bytes. Zeroed blocks are always fresh mappings;
// others may be the kept block.
void *largeMap(size_t size, bool zeroed) {
    size_t len = pageRound(size);
    if (len == 0) return nullptr;
    std::lock_guard<std::mutex> g(largeLock);
    size_t mapped = len;
    void *p = zeroed ? nullptr : takeSpare(len, &mapped);
    if (p == nullptr) {
        p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED && spareBlock != nullptr) {
            // The kept block (a zeroed one never takes it) may be what
            // stands in the way.
            dropSpare();
            p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        }
        if (p == MAP_FAILED) return nullptr;
    }
    largeAdd(p, mapped, size);
    return p;
}

// Stops using block p, which becomes the kept block; false when the library
// did not map p.
bool largeRelease(void *p) {
    if (largeCount.load(std::memory_order_relaxed) == 0) return false;
    std::lock_guard<std::mutex> g(largeLock);
    LargeBlock *b = largeFind(p);
    if (b == nullptr) return false;
    size_t mapped = b->mapped;
    *b = largeBlocks.back();
    largeBlocks.pop_back();
    largeCount.store(largeBlocks.size(), std::memory_order_relaxed);
    dropSpare();
    setSpare(p, mapped);
    return true;
}

// Resizes mapped block b to size bytes: within its mapped length when it
// fits, except that a block shrunk to less than half of it gives the rest
// back; else by moving its pages to a larger mapping. Null when that fails.
void *largeResize(const LargeBlock &b, size_t size) {
    size_t newlen = pageRound(size);
    if (newlen == 0) return nullptr;
    void *q = b.p;
    size_t mapped = b.mapped;
    if (newlen > b.mapped || (size < b.used && newlen < b.mapped / 2)) {
        q = mremap(b.p, b.mapped, newlen, MREMAP_MAYMOVE);
        if (q == MAP_FAILED && spareHeld.load(std::memory_order_relaxed)) {
            // The kept block may be what stands in the way.
            hivornReleaseKeptMemory();
            q = mremap(b.p, b.mapped, newlen, MREMAP_MAYMOVE);
        }
        if (q == MAP_FAILED) return nullptr;
        mapped = newlen;
    }
    std::lock_guard<std::mutex> g(largeLock);
    LargeBlock *rec = largeFind(b.p);
    if (rec != nullptr) *rec = {q, mapped, size};
    return q;
}

void *defaultMalloc(size_t size) {
    expireSpare();
    return size >= kLargeBlock ? largeMap(size, false) : malloc(size);
}

void *defaultCalloc(size_t nmemb, size_t size) {
    expireSpare();
    // Fresh mappings are zeroed already.
    if (size != 0 && nmemb >= kLargeBlock / size) return largeMap(nmemb * size, true);
    return calloc(nmemb, size);
}

void defaultFree(void *p) {
    expireSpare();
    if (p != nullptr && !largeRelease(p)) free(p);
}

void *defaultRealloc(void *p, size_t size) {
    if (p == nullptr) return defaultMalloc(size);
    expireSpare();
    LargeBlock b = largeLookup(p);
    if (b.p != nullptr && size >= kLargeBlock / 2) return largeResize(b, size);
    if (b.p == nullptr && size < kLargeBlock) return realloc(p, size);
    // Crossing the threshold: the block changes hands between the two.
    void *q = defaultMalloc(size);
    if (q == nullptr) return nullptr;
    size_t old = b.p != nullptr ? b.used : malloc_usable_size(p);
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

void hivornReleaseKeptMemory() {
    std::lock_guard<std::mutex> g(largeLock);
    dropSpare();
}

void hivornResetAllocators() {
    hivornAllocFns = kDefaultAllocators;
}

void *hi_calloc(size_t nmemb, size_t size) {
    if (size != 0 && nmemb > SIZE_MAX / size) return nullptr;
    return hivornAllocFns.callocFn(nmemb, size);
}
