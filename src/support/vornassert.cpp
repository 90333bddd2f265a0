#include "support/vornassert.h"

#include <cstdio>
#include <cstdlib>

void vornAssertFailed(const char *estr, const char *file, int line) {
    fprintf(stderr, "=== ASSERTION FAILED ===\n");
    fprintf(stderr, "==> %s:%d '%s' is not true\n", file, line, estr);
    fflush(stderr);
    abort();
}
