// Reply objects: the builders the reader calls, and their release.
#include <cstdint>
#include <cstring>

#include "hivorn/hivorn.h"
#include "reply_own.h"

namespace {

vornReply *createReplyObject(int type) {
    vornReply *r = static_cast<vornReply *>(hi_calloc(1, sizeof(*r)));
    if (r == nullptr) return nullptr;
    r->type = type;
    return r;
}

// Child arrays start this small and double as children arrive, so that an
// announced count alone (up to 2^32 - 1 by default) reserves nothing much:
// what the array holds stays proportional to what has been received.
const size_t ELEMENTS_FLOOR = 8;

// Hangs a new node into its parent's child array, where the task says,
// growing the array first when the node falls beyond it. While children are
// still arriving the parent's elements counts the slots allocated so far
// (those not yet filled are null); once the last child is in, it is the
// announced count. Returns false when memory runs out.
bool attach(const vornReadTask *task, vornReply *r) {
    if (task->parent == nullptr) return true;
    vornReply *parent = static_cast<vornReply *>(task->parent->obj);
    // A parent no builder made is only a bare type code (a reader whose
    // table lacks createArray): there is nothing to attach to.
    if (reinterpret_cast<uintptr_t>(parent) <= VORN_REPLY_VERB) return true;
    size_t idx = static_cast<size_t>(task->idx);
    if (idx >= parent->elements) {
        size_t announced = static_cast<size_t>(task->parent->elements);
        size_t cap = parent->elements * 2 > idx + 1 ? parent->elements * 2 : idx + 1;
        if (cap > announced) cap = announced;
        if (cap > SIZE_MAX / sizeof(vornReply *)) return false;
        auto *grown =
            static_cast<vornReply **>(hi_realloc(parent->element, cap * sizeof(vornReply *)));
        if (grown == nullptr) return false;
        memset(grown + parent->elements, 0, (cap - parent->elements) * sizeof(vornReply *));
        parent->element = grown;
        parent->elements = cap;
    }
    parent->element[idx] = r;
    return true;
}

// Attaches a new node, or releases it when that fails.
void *attached(const vornReadTask *task, vornReply *r) {
    if (attach(task, r)) return r;
    freeReplyObject(r);
    return nullptr;
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
    return attached(task, r);
}

void *createArrayObject(const vornReadTask *task, size_t elements) {
    vornReply *r = createReplyObject(task->type);
    if (r == nullptr) return nullptr;
    if (elements > 0) {
        size_t slots = elements < ELEMENTS_FLOOR ? elements : ELEMENTS_FLOOR;
        r->element = static_cast<vornReply **>(hi_calloc(slots, sizeof(vornReply *)));
        if (r->element == nullptr) {
            hi_free(r);
            return nullptr;
        }
        r->elements = slots;
    }
    return attached(task, r);
}

void *createIntegerObject(const vornReadTask *task, long long value) {
    vornReply *r = createReplyObject(VORN_REPLY_INTEGER);
    if (r == nullptr) return nullptr;
    r->integer = value;
    return attached(task, r);
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
    return attached(task, r);
}

void *createNilObject(const vornReadTask *task) {
    vornReply *r = createReplyObject(VORN_REPLY_NIL);
    if (r == nullptr) return nullptr;
    return attached(task, r);
}

void *createBoolObject(const vornReadTask *task, int bval) {
    vornReply *r = createReplyObject(VORN_REPLY_BOOL);
    if (r == nullptr) return nullptr;
    r->integer = bval != 0;
    return attached(task, r);
}

} // namespace

void *createStringObjectFromBuffer(const vornReadTask *task, char *buf, size_t len,
                                   const char *vtype) {
    vornReply *r = createReplyObject(task->type);
    if (r == nullptr) return nullptr;
    if (vtype != nullptr) {
        memcpy(r->vtype, vtype, 3);
        r->vtype[3] = '\0';
    }
    r->str = buf;
    r->len = len;
    if (attach(task, r)) return r;
    hi_free(r); // buf stays the caller's
    return nullptr;
}

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
