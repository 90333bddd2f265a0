// The incremental reply reader: bytes go in in arbitrary pieces, complete
// reply trees come out one at a time.
#pragma once

#include <cstddef>

#include "hivorn/sds.h"

#define VORN_OK 0
#define VORN_ERR -1

// Error codes shared by the reader and the connection context.
#define VORN_ERR_IO 1       // see errno
#define VORN_ERR_OTHER 2    // everything else
#define VORN_ERR_EOF 3      // end of file
#define VORN_ERR_PROTOCOL 4 // protocol error
#define VORN_ERR_OOM 5      // out of memory
#define VORN_ERR_TIMEOUT 6  // timed out

#define VORN_REPLY_STRING 1
#define VORN_REPLY_ARRAY 2
#define VORN_REPLY_INTEGER 3
#define VORN_REPLY_NIL 4
#define VORN_REPLY_STATUS 5
#define VORN_REPLY_ERROR 6
#define VORN_REPLY_DOUBLE 7
#define VORN_REPLY_BOOL 8
#define VORN_REPLY_MAP 9
#define VORN_REPLY_SET 10
#define VORN_REPLY_ATTR 11 // unassigned: no type byte produces it
#define VORN_REPLY_PUSH 12
#define VORN_REPLY_BIGNUM 13 // unassigned: no type byte produces it
#define VORN_REPLY_VERB 14

// An idle receive buffer with more free room than this is given back.
#define VORN_READER_MAX_BUF (1024 * 16)
// The largest aggregate count accepted by default.
#define VORN_READER_MAX_ARRAY_ELEMENTS ((1LL << 32) - 1)

struct vornReadTask {
    int type;
    long long elements;
    int idx;
    void *obj;
    vornReadTask *parent;
    void *privdata;
};

struct vornReplyObjectFunctions {
    void *(*createString)(const vornReadTask *, const char *, size_t);
    void *(*createArray)(const vornReadTask *, size_t);
    void *(*createInteger)(const vornReadTask *, long long);
    void *(*createDouble)(const vornReadTask *, double, const char *, size_t);
    void *(*createNil)(const vornReadTask *);
    void *(*createBool)(const vornReadTask *, int);
    void (*freeObject)(void *);
};

struct vornReader {
    int err;
    char errstr[128];
    hisds buf;
    size_t pos;
    size_t len;
    size_t maxbuf;
    long long maxelements;
    vornReadTask **task;
    int tasks;
    int ridx;
    void *reply;
    vornReplyObjectFunctions *fn;
    void *privdata;
};

vornReader *vornReaderCreateWithFunctions(vornReplyObjectFunctions *fn);
void vornReaderFree(vornReader *r);
int vornReaderFeed(vornReader *r, const char *buf, size_t len);
int vornReaderGetReply(vornReader *r, void **reply);

// Strict decimal integer: no sign but '-', no leading zeros, no blanks.
// Returns 1 and stores the value when the whole text is valid, else 0.
int string2ll(const char *s, size_t slen, long long *value);
