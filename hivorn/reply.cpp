// Reply objects: the builders the reader calls, and their release.
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
    if (task->parent) {
        vornReply *parent = static_cast<vornReply *>(task->parent->obj);
        parent->element[task->idx] = r;
    }
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

void freeReplyObject(void *reply) {
    vornReply *r = static_cast<vornReply *>(reply);
    if (r == nullptr) return;
    switch (r->type) {
    case VORN_REPLY_INTEGER:
    case VORN_REPLY_NIL:
    case VORN_REPLY_BOOL:
        break;
    case VORN_REPLY_ARRAY:
    case VORN_REPLY_MAP:
    case VORN_REPLY_SET:
    case VORN_REPLY_PUSH:
        if (r->element != nullptr) {
            for (size_t j = 0; j < r->elements; j++)
                freeReplyObject(r->element[j]);
            hi_free(r->element);
        }
        break;
    case VORN_REPLY_ERROR:
    case VORN_REPLY_STATUS:
    case VORN_REPLY_STRING:
    case VORN_REPLY_DOUBLE:
    case VORN_REPLY_VERB:
        hi_free(r->str);
        break;
    }
    hi_free(r);
}
