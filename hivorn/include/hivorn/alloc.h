// The allocator table every allocation of the library goes through, so that
// an embedding program (or a test) can replace it.
#pragma once

#include <cstddef>

struct hivornAllocFuncs {
    void *(*mallocFn)(size_t);
    void *(*callocFn)(size_t, size_t);
    void *(*reallocFn)(void *, size_t);
    char *(*strdupFn)(const char *);
    void (*freeFn)(void *);
};

extern hivornAllocFuncs hivornAllocFns;

// Installs a new table and returns the previous one.
hivornAllocFuncs hivornSetAllocators(const hivornAllocFuncs *fns);
// Restores the default table: the process's malloc family, with very large
// blocks mapped by the library itself.
void hivornResetAllocators();
// Unmaps the large block the default table keeps for a while after it is
// freed (see alloc.cpp), for a program about to sit idle.
void hivornReleaseKeptMemory();

inline void *hi_malloc(size_t size) {
    return hivornAllocFns.mallocFn(size);
}
inline void *hi_realloc(void *ptr, size_t size) {
    return hivornAllocFns.reallocFn(ptr, size);
}
inline char *hi_strdup(const char *str) {
    return hivornAllocFns.strdupFn(str);
}
inline void hi_free(void *ptr) {
    hivornAllocFns.freeFn(ptr);
}

// calloc with an overflow check of its own, since a replaced allocator may
// not have one.
void *hi_calloc(size_t nmemb, size_t size);
