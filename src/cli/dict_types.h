// Callbacks for the client's hash tables keyed on hisds strings: the hash and
// comparison cover every byte of the string (NUL bytes included), the
// destructors release a hisds and a list respectively.
#pragma once

#include <cstdint>

uint64_t dictSdsHash(const void *key);
int dictSdsKeyCompare(void *privdata, const void *key1, const void *key2);
void dictSdsDestructor(void *privdata, void *val);
void dictListDestructor(void *privdata, void *val);
