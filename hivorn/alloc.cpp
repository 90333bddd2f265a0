#include "hivorn/alloc.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

hivornAllocFuncs hivornAllocFns = {malloc, calloc, realloc, strdup, free};

hivornAllocFuncs hivornSetAllocators(const hivornAllocFuncs *fns) {
    hivornAllocFuncs old = hivornAllocFns;
    hivornAllocFns = *fns;
    return old;
}

void hivornResetAllocators() {
    hivornAllocFns = {malloc, calloc, realloc, strdup, free};
}

void *hi_calloc(size_t nmemb, size_t size) {
    if (size != 0 && nmemb > SIZE_MAX / size) return nullptr;
    return hivornAllocFns.callocFn(nmemb, size);
}
