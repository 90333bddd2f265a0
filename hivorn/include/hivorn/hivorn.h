// The protocol client library: reply objects, request encoding and the
// blocking connection context.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "hivorn/alloc.h"
#include "hivorn/read.h"
#include "hivorn/sds.h"

// One node of a decoded reply tree.
struct vornReply {
    int type;
    long long integer;
    double dval;
    size_t len;
    char *str;
    char vtype[4];
    size_t elements;
    vornReply **element;
};

// The reply builders every reader of the client uses.
extern vornReplyObjectFunctions defaultFunctions;

vornReader *vornReaderCreate();
void freeReplyObject(void *reply);

// Request encoding. vornvFormatCommand returns the request length, -1 when
// memory runs out or -2 for an invalid format; *target is then a plain
// allocation released with hi_free.
int vornvFormatCommand(char **target, const char *format, va_list ap);
int vornFormatCommand(char **target, const char *format, ...);
// Returns the request length, or -1 when memory runs out.
long long vornFormatSdsCommandArgv(hisds *target, int argc, const char **argv,
                                   const size_t *argvlen);
void vornFreeCommand(char *cmd);
void vornFreeSdsCommand(hisds cmd);

// ---- connection context ----
