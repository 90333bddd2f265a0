// hisds: the library's binary-safe dynamic string. A hisds points at the
// first byte of a NUL-terminated array that may contain NUL bytes; its length
// and capacity live in a header just before that byte, sized to the length.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

typedef char *hisds;

// Header kinds, from the low three bits of the flags byte before the string.
#define HI_SDS_TYPE_5 0
#define HI_SDS_TYPE_8 1
#define HI_SDS_TYPE_16 2
#define HI_SDS_TYPE_32 3
#define HI_SDS_TYPE_64 4
#define HI_SDS_TYPE_MASK 7
#define HI_SDS_TYPE_BITS 3
#define HI_SDS_MAX_PREALLOC (1024 * 1024)

struct __attribute__((__packed__)) hisdshdr5 {
    unsigned char flags; // kind in the low 3 bits, length in the upper 5
    char buf[];
};
struct __attribute__((__packed__)) hisdshdr8 {
    uint8_t len;
    uint8_t alloc;
    unsigned char flags;
    char buf[];
};
struct __attribute__((__packed__)) hisdshdr16 {
    uint16_t len;
    uint16_t alloc;
    unsigned char flags;
    char buf[];
};
struct __attribute__((__packed__)) hisdshdr32 {
    uint32_t len;
    uint32_t alloc;
    unsigned char flags;
    char buf[];
};
struct __attribute__((__packed__)) hisdshdr64 {
    uint64_t len;
    uint64_t alloc;
    unsigned char flags;
    char buf[];
};

size_t hi_sdslen(const hisds s);
size_t hi_sdsavail(const hisds s);
size_t hi_sdsalloc(const hisds s);
void hi_sdssetlen(hisds s, size_t newlen);
void hi_sdsinclen(hisds s, size_t inc);
// Bytes the string occupies including its header.
size_t hi_sdsAllocSize(hisds s);

hisds hi_sdsnewlen(const void *init, size_t initlen);
hisds hi_sdsnew(const char *init);
hisds hi_sdsempty();
hisds hi_sdsdup(const hisds s);
void hi_sdsfree(hisds s);
void hi_sdsclear(hisds s);
hisds hi_sdsMakeRoomFor(hisds s, size_t addlen);
// Adjusts the length after writing into the free space (incr may be negative).
void hi_sdsIncrLen(hisds s, int incr);
hisds hi_sdsgrowzero(hisds s, size_t len);
hisds hi_sdscatlen(hisds s, const void *t, size_t len);
hisds hi_sdscat(hisds s, const char *t);
hisds hi_sdscatsds(hisds s, const hisds t);
hisds hi_sdscpylen(hisds s, const char *t, size_t len);
hisds hi_sdscpy(hisds s, const char *t);
hisds hi_sdscatvprintf(hisds s, const char *fmt, va_list ap);
hisds hi_sdscatprintf(hisds s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
hisds hi_sdscatfmt(hisds s, char const *fmt, ...);
hisds hi_sdsfromlonglong(long long value);
int hi_sdsrange(hisds s, ssize_t start, ssize_t end);
void hi_sdsupdatelen(hisds s);
void hi_sdstolower(hisds s);
void hi_sdstoupper(hisds s);
int hi_sdscmp(const hisds s1, const hisds s2);
hisds hi_sdscatrepr(hisds s, const char *p, size_t len);
hisds *hi_sdssplitargs(const char *line, int *argc);
void hi_sdsfreesplitres(hisds *tokens, int count);

// For callers that allocate arrays of strings themselves.
void *hi_sds_malloc(size_t size);
void *hi_sds_realloc(void *ptr, size_t size);
void hi_sds_free(void *ptr);
