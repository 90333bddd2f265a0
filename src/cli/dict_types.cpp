#include "cli/dict_types.h"

#include <cstring>

#include "hivorn/sds.h"
#include "support/adlist.h"
#include "support/dict.h"

uint64_t dictSdsHash(const void *key) {
    hisds s = static_cast<hisds>(const_cast<void *>(key));
    return dictGenHashFunction(s, hi_sdslen(s));
}

int dictSdsKeyCompare(void *, const void *key1, const void *key2) {
    hisds a = static_cast<hisds>(const_cast<void *>(key1));
    hisds b = static_cast<hisds>(const_cast<void *>(key2));
    size_t l1 = hi_sdslen(a);
    return l1 == hi_sdslen(b) && memcmp(a, b, l1) == 0;
}

void dictSdsDestructor(void *, void *val) { hi_sdsfree(static_cast<hisds>(val)); }

void dictListDestructor(void *, void *val) { listRelease(static_cast<list *>(val)); }
