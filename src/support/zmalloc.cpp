#include "support/zmalloc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// With USE_JEMALLOC the executable links jemalloc, which takes the place of
// malloc and friends for the whole process, so the plain names below already
// reach it; the sanitizer builds keep the system allocator.

namespace {

// A zero-byte request still gets a real block, so that a null result can only
// ever mean failure and callers may keep and later free what they were given.
size_t zmallocEffectiveSize(size_t size) {
    return size == 0 ? 8 : size;
}

} // namespace

void zmalloc_oom_handler(size_t size) {
    fprintf(stderr, "zmalloc: Out of memory trying to allocate %zu bytes\n", size);
    fflush(stderr);
    abort();
}

void *zmalloc(size_t size) {
    size = zmallocEffectiveSize(size);
    void *ptr = malloc(size);
    if (!ptr) zmalloc_oom_handler(size);
    return ptr;
}

void *zcalloc(size_t size) {
    size = zmallocEffectiveSize(size);
    void *ptr = calloc(1, size);
    if (!ptr) zmalloc_oom_handler(size);
    return ptr;
}

void *zrealloc(void *ptr, size_t size) {
    // realloc(p, 0) may free p and return null; keep the promise that a
    // returned block is always usable instead.
    size = zmallocEffectiveSize(size);
    void *newptr = realloc(ptr, size);
    if (!newptr) zmalloc_oom_handler(size);
    return newptr;
}

void zfree(void *ptr) {
    free(ptr);
}

char *zstrdup(const char *s) {
    size_t l = strlen(s) + 1;
    char *p = static_cast<char *>(zmalloc(l));
    memcpy(p, s, l);
    return p;
}
