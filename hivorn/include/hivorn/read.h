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
// Bulk payloads of at least this many bytes that have not fully arrived are
// received straight into the reply's own string (see vornReaderDirectRoom).
#define VORN_READER_DIRECT_MIN (256 * 1024)

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
    // Payloads of at least this many bytes take the direct path; 0 turns it
    // off. Only readers with the default builders use it.
    size_t directmin;
    // The large payload being received: its future string (the payload,
    // after a verbatim string's type prefix, then room for the CR LF),
    // filled so far, allocated, and needed in all.
    struct {
        char *str;
        size_t filled;
        size_t cap;
        size_t need;
        char vtype[4];
    } direct;
};

vornReader *vornReaderCreateWithFunctions(vornReplyObjectFunctions *fn);
void vornReaderFree(vornReader *r);
int vornReaderFeed(vornReader *r, const char *buf, size_t len);
int vornReaderGetReply(vornReader *r, void **reply);

// The direct path for a large bulk payload. While one is being received,
// vornReaderDirectRoom returns how many of its next bytes may be written at
// *dst (never more than the payload and its CR LF still need, and never more
// room than what has already arrived, or a small floor, reserved ahead);
// otherwise 0. The caller writes up to that many bytes there and reports how
// many with vornReaderDirectCommit; vornReaderGetReply then completes the
// reply as if the bytes had been fed. A failed allocation returns 0 and puts
// the reader in error.
size_t vornReaderDirectRoom(vornReader *r, char **dst);
void vornReaderDirectCommit(vornReader *r, size_t n);

// Strict decimal integer: no sign but '-', no leading zeros, no blanks.
// Returns 1 and stores the value when the whole text is valid, else 0.
int string2ll(const char *s, size_t slen, long long *value);
