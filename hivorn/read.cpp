// The incremental reply reader. A reply that is not complete yet stays
// half-built inside the reader: its finished nodes hang in the tree, a stack
// of tasks remembers where the next item goes, and the next call continues
// exactly there.
#include "hivorn/read.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "hivorn/alloc.h"
#include "hivorn/hivorn.h"
#include "reply_own.h"

namespace {

// Consumed input is dropped only once this much has piled up, so small
// replies cost no memory moves.
const size_t COMPACT_AFTER = 1024;
// Stack levels are added this many at a time.
const int TASK_GROWTH = 9;
// Smallest room reserved ahead of a bulk payload that has not fully arrived.
const size_t RESERVE_FLOOR = 64 * 1024;
// DOUBLE lines this long or longer are refused.
const size_t MAX_DOUBLE_LEN = 326;

// Releases the reply held by the reader. An item no builder made is held as
// its bare type code, a small integer that is no object to free.
void releaseReply(vornReader *r) {
    if (reinterpret_cast<uintptr_t>(r->reply) > VORN_REPLY_VERB && r->fn && r->fn->freeObject)
        r->fn->freeObject(r->reply);
    r->reply = nullptr;
}

void releaseDirect(vornReader *r) {
    hi_free(r->direct.str);
    r->direct = {};
}

void setError(vornReader *r, int type, const char *str) {
    releaseReply(r);
    releaseDirect(r);
    hi_sdsfree(r->buf);
    r->buf = nullptr;
    r->pos = r->len = 0;
    r->ridx = -1;
    r->err = type;
    size_t len = strlen(str);
    len = len < sizeof(r->errstr) - 1 ? len : sizeof(r->errstr) - 1;
    memcpy(r->errstr, str, len);
    r->errstr[len] = '\0';
}

void setErrorOOM(vornReader *r) {
    setError(r, VORN_ERR_OOM, "Out of memory");
}

// Renders one byte for an error message, quoted.
size_t chrtos(char *buf, size_t size, char byte) {
    switch (byte) {
    case '\\':
    case '"':
        return snprintf(buf, size, "\"\\%c\"", byte);
    case '\n':
        return snprintf(buf, size, "\"\\n\"");
    case '\r':
        return snprintf(buf, size, "\"\\r\"");
    case '\t':
        return snprintf(buf, size, "\"\\t\"");
    case '\a':
        return snprintf(buf, size, "\"\\a\"");
    case '\b':
        return snprintf(buf, size, "\"\\b\"");
    default:
        unsigned char c = static_cast<unsigned char>(byte);
        if (c >= 0x20 && c <= 0x7e) return snprintf(buf, size, "\"%c\"", byte);
        return snprintf(buf, size, "\"\\x%02x\"", c);
    }
}

void setErrorProtocolByte(vornReader *r, char byte) {
    char cbuf[8], sbuf[128];
    chrtos(cbuf, sizeof(cbuf), byte);
    snprintf(sbuf, sizeof(sbuf), "Protocol error, got %s as reply type byte", cbuf);
    setError(r, VORN_ERR_PROTOCOL, sbuf);
}

// Position of the first CR that is followed by LF, or null.
char *seekNewline(char *s, size_t len) {
    char *end = s + len;
    while (s < end) {
        char *cr = static_cast<char *>(memchr(s, '\r', end - s));
        if (cr == nullptr || cr + 1 >= end) return nullptr;
        if (cr[1] == '\n') return cr;
        s = cr + 1;
    }
    return nullptr;
}

// The line at pos: returns its start and length, and moves pos past it.
char *readLine(vornReader *r, size_t *_len) {
    char *p = r->buf + r->pos;
    char *s = seekNewline(p, r->len - r->pos);
    if (s == nullptr) return nullptr;
    *_len = static_cast<size_t>(s - p);
    r->pos += (s - p) + 2;
    return p;
}

void moveToNextTask(vornReader *r) {
    while (r->ridx >= 0) {
        if (r->ridx == 0) {
            r->ridx--;
            return;
        }
        vornReadTask *cur = r->task[r->ridx];
        vornReadTask *prv = r->task[r->ridx - 1];
        if (cur->idx == prv->elements - 1) {
            r->ridx--;
        } else {
            cur->type = -1;
            cur->elements = -1;
            cur->idx++;
            return;
        }
    }
}

int processLineItem(vornReader *r) {
    vornReadTask *cur = r->task[r->ridx];
    void *obj;
    char *p;
    size_t len;

    if ((p = readLine(r, &len)) == nullptr) return VORN_ERR;

    if (cur->type == VORN_REPLY_INTEGER) {
        long long v;
        if (string2ll(p, len, &v) == 0) {
            setError(r, VORN_ERR_PROTOCOL, "Bad integer value");
            return VORN_ERR;
        }
        obj = r->fn && r->fn->createInteger ? r->fn->createInteger(cur, v)
                                            : reinterpret_cast<void *>(VORN_REPLY_INTEGER);
    } else if (cur->type == VORN_REPLY_DOUBLE) {
        char buf[MAX_DOUBLE_LEN];
        double d;
        if (len >= MAX_DOUBLE_LEN) {
            setError(r, VORN_ERR_PROTOCOL, "Double value is too large");
            return VORN_ERR;
        }
        memcpy(buf, p, len);
        buf[len] = '\0';
        if (len == 3 && strcasecmp(buf, "inf") == 0) {
            d = INFINITY;
        } else if (len == 4 && strcasecmp(buf, "-inf") == 0) {
            d = -INFINITY;
        } else {
            char *eptr;
            d = strtod(buf, &eptr);
            // strtod stops at a NUL inside the line, which also fails here.
            if (buf[0] == '\0' || eptr != &buf[len] || std::isnan(d)) {
                setError(r, VORN_ERR_PROTOCOL, "Bad double value");
                return VORN_ERR;
            }
        }
        obj = r->fn && r->fn->createDouble ? r->fn->createDouble(cur, d, buf, len)
                                           : reinterpret_cast<void *>(VORN_REPLY_DOUBLE);
    } else if (cur->type == VORN_REPLY_NIL) {
        obj = r->fn && r->fn->createNil ? r->fn->createNil(cur)
                                        : reinterpret_cast<void *>(VORN_REPLY_NIL);
    } else if (cur->type == VORN_REPLY_BOOL) {
        int bval = len > 0 && (p[0] == 't' || p[0] == 'T');
        obj = r->fn && r->fn->createBool ? r->fn->createBool(cur, bval)
                                         : reinterpret_cast<void *>(VORN_REPLY_BOOL);
    } else {
        obj = r->fn && r->fn->createString
                  ? r->fn->createString(cur, p, len)
                  : reinterpret_cast<void *>(static_cast<intptr_t>(cur->type));
    }

    if (obj == nullptr) {
        setErrorOOM(r);
        return VORN_ERR;
    }
    if (r->ridx == 0) r->reply = obj;
    moveToNextTask(r);
    return VORN_OK;
}

// Room for a direct payload once `filled` of its `need` bytes are in: what
// has arrived plus at most as much again (or the floor), never more than the
// payload needs. This is the same bound the receive buffer keeps.
size_t directCapFor(size_t filled, size_t need) {
    size_t ahead = filled > RESERVE_FLOOR ? filled : RESERVE_FLOOR;
    return need - filled <= ahead ? need : filled + ahead;
}

// A payload large enough, for builders that can take a filled buffer over.
// A verbatim string switches over only once its well-formed type prefix is
// in (`held` bytes are at `data`): a malformed one fails on the usual path,
// once the whole item is there, as any other.
bool directEligible(const vornReader *r, int type, size_t len, const char *data, size_t held) {
    if (r->directmin == 0 || len < r->directmin || r->fn != &defaultFunctions) return false;
    return type != VORN_REPLY_VERB || (len >= 4 && held >= 4 && data[3] == ':');
}

// Switches the bulk item whose header has just been read to the direct path:
// `held` payload bytes at `data` are present, `len` are announced and not all
// there yet. Returns VORN_ERR, as the item is incomplete (or failed for
// lack of memory).
int startDirect(vornReader *r, const char *data, size_t held, size_t len) {
    vornReadTask *cur = r->task[r->ridx];
    size_t skip = 0;
    if (cur->type == VORN_REPLY_VERB) {
        memcpy(r->direct.vtype, data, 3);
        r->direct.vtype[3] = '\0';
        skip = 4;
    }
    // The string gets the payload and then its CR LF, whose first byte later
    // becomes the terminating NUL.
    size_t need = len - skip + 2;
    held -= skip;
    size_t cap = directCapFor(held, need);
    char *str = static_cast<char *>(hi_malloc(cap));
    if (str == nullptr) {
        setErrorOOM(r);
        return VORN_ERR;
    }
    memcpy(str, data + skip, held);
    r->direct.str = str;
    r->direct.filled = held;
    r->direct.cap = cap;
    r->direct.need = need;
    r->pos = r->len; // everything buffered belonged to the payload
    return VORN_ERR;
}

// Makes room for more of the direct payload when its string is full.
bool growDirect(vornReader *r) {
    if (r->direct.filled < r->direct.cap) return true;
    size_t cap = directCapFor(r->direct.filled, r->direct.need);
    char *grown = static_cast<char *>(hi_realloc(r->direct.str, cap));
    if (grown == nullptr) {
        setErrorOOM(r);
        return false;
    }
    r->direct.str = grown;
    r->direct.cap = cap;
    return true;
}

// Continues a direct payload: bytes fed through the buffer are moved into
// the string; once it is whole, the node takes it over.
int processDirectItem(vornReader *r) {
    vornReadTask *cur = r->task[r->ridx];
    while (r->direct.filled < r->direct.need && r->pos < r->len) {
        if (!growDirect(r)) return VORN_ERR;
        size_t n = r->direct.cap - r->direct.filled;
        if (n > r->len - r->pos) n = r->len - r->pos;
        memcpy(r->direct.str + r->direct.filled, r->buf + r->pos, n);
        r->direct.filled += n;
        r->pos += n;
    }
    if (r->direct.filled < r->direct.need) return VORN_ERR; // not all there yet

    size_t len = r->direct.need - 2;
    char *str = r->direct.str;
    str[len] = '\0';
    void *obj = createStringObjectFromBuffer(
        cur, str, len, cur->type == VORN_REPLY_VERB ? r->direct.vtype : nullptr);
    if (obj == nullptr) {
        setErrorOOM(r); // releases the string, still the reader's
        return VORN_ERR;
    }
    r->direct = {};
    if (r->ridx == 0) r->reply = obj;
    moveToNextTask(r);
    return VORN_OK;
}

int processBulkItem(vornReader *r) {
    vornReadTask *cur = r->task[r->ridx];
    void *obj = nullptr;
    char *p = r->buf + r->pos;
    char *s = seekNewline(p, r->len - r->pos);
    long long len;

    if (s == nullptr) return VORN_ERR;
    size_t bytelen = s - p + 2; // the header line and its CR LF
    if (string2ll(p, bytelen - 2, &len) == 0) {
        setError(r, VORN_ERR_PROTOCOL, "Bad bulk string length");
        return VORN_ERR;
    }
    if (len < -1) {
        setError(r, VORN_ERR_PROTOCOL, "Bulk string length out of range");
        return VORN_ERR;
    }

    bool success = false;
    if (len == -1) {
        obj = r->fn && r->fn->createNil ? r->fn->createNil(cur)
                                        : reinterpret_cast<void *>(VORN_REPLY_NIL);
        success = true;
    } else {
        size_t avail = r->len - r->pos;
        size_t need = static_cast<size_t>(len);
        if (need <= SIZE_MAX - bytelen - 2 && bytelen + need + 2 <= avail) {
            if (cur->type == VORN_REPLY_VERB && (len < 4 || p[bytelen + 3] != ':')) {
                setError(
                    r, VORN_ERR_PROTOCOL,
                    "Verbatim string 4 bytes of content type are missing or incorrectly encoded.");
                return VORN_ERR;
            }
            obj = r->fn && r->fn->createString
                      ? r->fn->createString(cur, s + 2, need)
                      : reinterpret_cast<void *>(static_cast<intptr_t>(cur->type));
            success = true;
            bytelen += need + 2;
        } else if (need <= SIZE_MAX - bytelen - 2 &&
                   directEligible(r, cur->type, need, p + bytelen, avail - bytelen)) {
            return startDirect(r, p + bytelen, avail - bytelen, need);
        } else if (r->buf != nullptr && need <= SIZE_MAX - bytelen - 2) {
            // Grow the buffer ahead of a large payload geometrically rather
            // than by a fixed step per piece, so it is copied few times. The
            // room asked for is at most what is already held (or a small
            // floor), so an announcement alone cannot make the reader
            // allocate much more than the peer has actually sent.
            size_t want = bytelen + need + 2 - avail;
            size_t cap = r->len > RESERVE_FLOOR ? r->len : RESERVE_FLOOR;
            if (want > cap) want = cap;
            if (hi_sdsavail(r->buf) < want) {
                hisds grown = hi_sdsMakeRoomFor(r->buf, want);
                if (grown == nullptr) {
                    setErrorOOM(r);
                    return VORN_ERR;
                }
                r->buf = grown;
            }
        }
    }

    if (!success) return VORN_ERR; // not all there yet
    if (obj == nullptr) {
        setErrorOOM(r);
        return VORN_ERR;
    }
    r->pos += bytelen;
    if (r->ridx == 0) r->reply = obj;
    moveToNextTask(r);
    return VORN_OK;
}

int vornReaderGrow(vornReader *r) {
    int newlen = r->tasks + TASK_GROWTH;
    vornReadTask **aux =
        static_cast<vornReadTask **>(hi_realloc(r->task, sizeof(*r->task) * newlen));
    if (aux == nullptr) {
        setErrorOOM(r);
        return VORN_ERR;
    }
    r->task = aux;
    for (; r->tasks < newlen; r->tasks++) {
        r->task[r->tasks] = static_cast<vornReadTask *>(hi_calloc(1, sizeof(**r->task)));
        if (r->task[r->tasks] == nullptr) {
            setErrorOOM(r);
            return VORN_ERR;
        }
    }
    return VORN_OK;
}

int processAggregateItem(vornReader *r) {
    vornReadTask *cur = r->task[r->ridx];
    bool root = r->ridx == 0;
    void *obj;
    char *p;
    long long elements;
    size_t len;

    if (r->ridx == r->tasks - 1) {
        if (vornReaderGrow(r) == VORN_ERR) return VORN_ERR;
    }

    if ((p = readLine(r, &len)) == nullptr) return VORN_ERR;
    if (string2ll(p, len, &elements) == 0) {
        setError(r, VORN_ERR_PROTOCOL, "Bad multi-bulk length");
        return VORN_ERR;
    }
    // Without a limit a map count must still survive being doubled below.
    if (elements < -1 || (r->maxelements > 0 && elements > r->maxelements) ||
        (cur->type == VORN_REPLY_MAP && elements > LLONG_MAX / 2)) {
        setError(r, VORN_ERR_PROTOCOL, "Multi-bulk length out of range");
        return VORN_ERR;
    }

    if (elements == -1) {
        obj = r->fn && r->fn->createNil ? r->fn->createNil(cur)
                                        : reinterpret_cast<void *>(VORN_REPLY_NIL);
        if (obj == nullptr) {
            setErrorOOM(r);
            return VORN_ERR;
        }
        moveToNextTask(r);
    } else {
        if (cur->type == VORN_REPLY_MAP) elements *= 2;
        obj = r->fn && r->fn->createArray
                  ? r->fn->createArray(cur, static_cast<size_t>(elements))
                  : reinterpret_cast<void *>(static_cast<intptr_t>(cur->type));
        if (obj == nullptr) {
            setErrorOOM(r);
            return VORN_ERR;
        }
        if (elements > 0) {
            cur->elements = elements;
            cur->obj = obj;
            r->ridx++;
            vornReadTask *next = r->task[r->ridx];
            next->type = -1;
            next->elements = -1;
            next->idx = 0;
            next->obj = nullptr;
            next->parent = cur;
            next->privdata = r->privdata;
        } else {
            moveToNextTask(r);
        }
    }

    if (root) r->reply = obj;
    return VORN_OK;
}

int processItem(vornReader *r) {
    vornReadTask *cur = r->task[r->ridx];
    if (r->direct.str != nullptr) return processDirectItem(r);

    if (cur->type < 0) {
        if (r->pos >= r->len) return VORN_ERR;
        char p = r->buf[r->pos];
        switch (p) {
        case '-':
            cur->type = VORN_REPLY_ERROR;
            break;
        case '+':
            cur->type = VORN_REPLY_STATUS;
            break;
        case ':':
            cur->type = VORN_REPLY_INTEGER;
            break;
        case ',':
            cur->type = VORN_REPLY_DOUBLE;
            break;
        case '_':
            cur->type = VORN_REPLY_NIL;
            break;
        case '$':
            cur->type = VORN_REPLY_STRING;
            break;
        case '*':
            cur->type = VORN_REPLY_ARRAY;
            break;
        case '%':
            cur->type = VORN_REPLY_MAP;
            break;
        case '~':
            cur->type = VORN_REPLY_SET;
            break;
        case '#':
            cur->type = VORN_REPLY_BOOL;
            break;
        case '=':
            cur->type = VORN_REPLY_VERB;
            break;
        case '>':
            cur->type = VORN_REPLY_PUSH;
            break;
        default:
            setErrorProtocolByte(r, p);
            return VORN_ERR;
        }
        r->pos++;
    }

    switch (cur->type) {
    case VORN_REPLY_ERROR:
    case VORN_REPLY_STATUS:
    case VORN_REPLY_INTEGER:
    case VORN_REPLY_DOUBLE:
    case VORN_REPLY_NIL:
    case VORN_REPLY_BOOL:
        return processLineItem(r);
    case VORN_REPLY_STRING:
    case VORN_REPLY_VERB:
        return processBulkItem(r);
    case VORN_REPLY_ARRAY:
    case VORN_REPLY_MAP:
    case VORN_REPLY_SET:
    case VORN_REPLY_PUSH:
        return processAggregateItem(r);
    }
    return VORN_ERR; // unreachable: every type byte above has a case
}

} // namespace

int string2ll(const char *s, size_t slen, long long *value) {
    const char *p = s;
    size_t plen = 0;
    int negative = 0;
    unsigned long long v;

    if (plen == slen) return 0;
    if (slen == 1 && p[0] == '0') {
        if (value != nullptr) *value = 0;
        return 1;
    }
    if (p[0] == '-') {
        negative = 1;
        p++;
        plen++;
        if (plen == slen) return 0;
    }
    if (p[0] >= '1' && p[0] <= '9') {
        v = p[0] - '0';
        p++;
        plen++;
    } else {
        return 0;
    }
    while (plen < slen && p[0] >= '0' && p[0] <= '9') {
        if (v > (ULLONG_MAX / 10)) return 0;
        v *= 10;
        if (v > (ULLONG_MAX - (p[0] - '0'))) return 0;
        v += p[0] - '0';
        p++;
        plen++;
    }
    if (plen < slen) return 0;

    if (negative) {
        if (v > (static_cast<unsigned long long>(-(LLONG_MIN + 1)) + 1)) return 0;
        if (value != nullptr) *value = static_cast<long long>(0ULL - v);
    } else {
        if (v > static_cast<unsigned long long>(LLONG_MAX)) return 0;
        if (value != nullptr) *value = static_cast<long long>(v);
    }
    return 1;
}

vornReader *vornReaderCreateWithFunctions(vornReplyObjectFunctions *fn) {
    vornReader *r = static_cast<vornReader *>(hi_calloc(1, sizeof(vornReader)));
    if (r == nullptr) return nullptr;
    r->buf = hi_sdsempty();
    if (r->buf == nullptr) goto oom;
    r->task = static_cast<vornReadTask **>(hi_calloc(TASK_GROWTH, sizeof(*r->task)));
    if (r->task == nullptr) goto oom;
    for (; r->tasks < TASK_GROWTH; r->tasks++) {
        r->task[r->tasks] = static_cast<vornReadTask *>(hi_calloc(1, sizeof(**r->task)));
        if (r->task[r->tasks] == nullptr) goto oom;
    }
    r->fn = fn;
    r->maxbuf = VORN_READER_MAX_BUF;
    r->maxelements = VORN_READER_MAX_ARRAY_ELEMENTS;
    r->directmin = VORN_READER_DIRECT_MIN;
    r->ridx = -1;
    return r;
oom:
    vornReaderFree(r);
    return nullptr;
}

void vornReaderFree(vornReader *r) {
    if (r == nullptr) return;
    releaseReply(r);
    releaseDirect(r);
    if (r->task) {
        for (int i = 0; i < r->tasks; i++)
            hi_free(r->task[i]);
        hi_free(r->task);
    }
    hi_sdsfree(r->buf);
    hi_free(r);
}

int vornReaderFeed(vornReader *r, const char *buf, size_t len) {
    if (r->err) return VORN_ERR;
    if (buf == nullptr || len == 0) return VORN_OK;

    // Give back the memory of a huge reply once it has been consumed.
    if (r->len == 0 && r->maxbuf != 0 && hi_sdsavail(r->buf) > r->maxbuf) {
        hi_sdsfree(r->buf);
        r->buf = hi_sdsempty();
        r->pos = 0;
        if (r->buf == nullptr) {
            setErrorOOM(r);
            return VORN_ERR;
        }
    }
    hisds newbuf = hi_sdscatlen(r->buf, buf, len);
    if (newbuf == nullptr) {
        setErrorOOM(r);
        return VORN_ERR;
    }
    r->buf = newbuf;
    r->len = hi_sdslen(r->buf);
    return VORN_OK;
}

int vornReaderGetReply(vornReader *r, void **reply) {
    if (reply != nullptr) *reply = nullptr;
    if (r->err) return VORN_ERR;
    if (r->len == 0 && r->direct.str == nullptr) return VORN_OK;

    if (r->ridx == -1) {
        r->task[0]->type = -1;
        r->task[0]->elements = -1;
        r->task[0]->idx = -1;
        r->task[0]->obj = nullptr;
        r->task[0]->parent = nullptr;
        r->task[0]->privdata = r->privdata;
        r->ridx = 0;
    }

    while (r->ridx >= 0)
        if (processItem(r) != VORN_OK) break;

    if (r->err) return VORN_ERR;

    if (r->pos >= COMPACT_AFTER) {
        if (hi_sdsrange(r->buf, r->pos, -1) < 0) return VORN_ERR;
        r->pos = 0;
        r->len = hi_sdslen(r->buf);
    }

    if (r->ridx == -1) {
        if (reply != nullptr) {
            *reply = r->reply;
            r->reply = nullptr;
        } else {
            releaseReply(r);
        }
    }
    return VORN_OK;
}

size_t vornReaderDirectRoom(vornReader *r, char **dst) {
    // Bytes still buffered come first; they go through vornReaderGetReply.
    if (r->err || r->direct.str == nullptr || r->direct.filled == r->direct.need || r->pos < r->len)
        return 0;
    if (!growDirect(r)) return 0;
    *dst = r->direct.str + r->direct.filled;
    return r->direct.cap - r->direct.filled;
}

void vornReaderDirectCommit(vornReader *r, size_t n) {
    if (r->direct.str == nullptr) return;
    size_t room = r->direct.cap - r->direct.filled;
    r->direct.filled += n < room ? n : room;
}
