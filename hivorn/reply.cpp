// Reply objects: the builders the reader calls, and their release.
#include <cstdint>
#include <cstring>

#include "hivorn/hivorn.h"

namespace {

vornReply *createReplyObject(int type) {
    vornReply *r = static_cast<vornReply *>(hi_calloc(1, sizeof(*r)));
    if (r == nullptr) return nullptr;
    r->type = type;
    return r;
}

// Hangs a new node into its parent's child array, where the task says.
void attach(const vornReadTask *task, vornReply *r) {
    if (task->parent == nullptr) return;
    vornReply *parent = static_cast<vornReply *>(task->parent->obj);
    // A parent no builder made is only a bare type code (a reader whose
    // table lacks createArray): there is nothing to attach to.
    if (reinterpret_cast<uintptr_t>(parent) <= VORN_REPLY_VERB) return;
    parent->element[task->idx] = r;
}

void *createStringObject(const vornReadTask *task, const char *str, size_t len) {
    vornReply *r = createReplyObject(task->type);
    if (r == nullptr) return nullptr;
    // A verbatim string keeps its three-byte content type apart.
    if (task->type == VORN_REPLY_VERB) {
        memcpy(r->vtype, str, 3);
        r->vtype[3] = '\0';
        str += 4;
        len -= 4;
    }
    char *buf = static_cast<char *>(hi_malloc(len + 1));
    if (buf == nullptr) {
        hi_free(r);
        return nullptr;
    }
    memcpy(buf, str, len);
    buf[len] = '\0';
    r->str = buf;
    r->len = len;
    attach(task, r);
    return r;
}

void *createArrayObject(const vornReadTask *task, size_t elements) {
    vornReply *r = createReplyObject(task->type);
    if (r == nullptr) return nullptr;
    if (elements > 0) {
        r->element = static_cast<vornReply **>(hi_calloc(elements, sizeof(vornReply *)));
        if (r->element == nullptr) {
            hi_free(r);
            return nullptr;
        }
    }
    r->elements = elements;
    attach(task, r);
    return r;
}

void *createIntegerObject(const vornReadTask *task, long long value) {
    vornReply *r = createReplyObject(VORN_REPLY_INTEGER);
    if (r == nullptr) return nullptr;
    r->integer = value;
    attach(task, r);
    return r;
}

void *createDoubleObject(const vornReadTask *task, double value, const char *str, size_t len) {
    vornReply *r = createReplyObject(VORN_REPLY_DOUBLE);
    if (r == nullptr) return nullptr;
    r->dval = value;
    // The text is kept exactly as received; len stays unset.
    r->str = static_cast<char *>(hi_malloc(len + 1));
    if (r->str == nullptr) {
        hi_free(r);
        return nullptr;
    }
    memcpy(r->str, str, len);
    r->str[len] = '\0';
    attach(task, r);
    return r;
}

void *createNilObject(const vornReadTask *task) {
    vornReply *r = createReplyObject(VORN_REPLY_NIL);
    if (r == nullptr) return nullptr;
    attach(task, r);
    return r;
}

void *createBoolObject(const vornReadTask *task, int bval) {
    vornReply *r = createReplyObject(VORN_REPLY_BOOL);
    if (r == nullptr) return nullptr;
    r->integer = bval != 0;
    attach(task, r);
    return r;
}

} // namespace

vornReplyObjectFunctions defaultFunctions = {
    createStringObject, createArrayObject, createIntegerObject, createDoubleObject,
    createNilObject,    createBoolObject,  freeReplyObject};

vornReader *vornReaderCreate() {
    return vornReaderCreateWithFunctions(&defaultFunctions);
}

namespace {

bool isAggregate(const vornReply *r) {
    return r->type == VORN_REPLY_ARRAY || r->type == VORN_REPLY_MAP || r->type == VORN_REPLY_SET ||
           r->type == VORN_REPLY_PUSH;
}

} // namespace

// Iterative, so that a tree nested a million levels deep (a few megabytes of
// a hostile stream) cannot exhaust the call stack. Aggregates waiting for
// their children to be released are chained through their unused str field.
void freeReplyObject(void *reply) {
    vornReply *r = static_cast<vornReply *>(reply);
    if (r == nullptr) return;
    vornReply *pending = nullptr;
    auto release = [&pending](vornReply *n) {
        if (isAggregate(n)) {
            n->str = reinterpret_cast<char *>(pending);
            pending = n;
            return;
        }
        switch (n->type) {
        case VORN_REPLY_ERROR:
        case VORN_REPLY_STATUS:
        case VORN_REPLY_STRING:
        case VORN_REPLY_DOUBLE:
        case VORN_REPLY_VERB:
            hi_free(n->str);
            break;
        default: // INTEGER, NIL, BOOL and unknown types own nothing more
            break;
        }
        hi_free(n);
    };
    release(r);
    while (pending != nullptr) {
        vornReply *n = pending;
        pending = reinterpret_cast<vornReply *>(n->str);
        if (n->element != nullptr) {
            for (size_t j = 0; j < n->elements; j++)
                if (n->element[j] != nullptr) release(n->element[j]);
            hi_free(n->element);
        }
        hi_free(n);
    }
}
