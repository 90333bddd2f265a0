// The memory wrapper of the client's own code. Allocation never fails from
// the caller's point of view: running out of memory ends the process.
#pragma once

#include <cstddef>

void *zmalloc(size_t size);
void *zcalloc(size_t size);
void *zrealloc(void *ptr, size_t size);
void zfree(void *ptr);
char *zstrdup(const char *s);

// What an allocation failure does: reports the size on standard error and
// aborts. Exposed so that the report itself can be checked.
[[noreturn]] void zmalloc_oom_handler(size_t size);
