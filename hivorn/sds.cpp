// The dynamic string of the library. Growth doubles the capacity below 1 MiB
// and adds 1 MiB above, so building large buffers costs few reallocations.
#include "hivorn/sds.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hivorn/alloc.h"

namespace {

int hdrSize(char type) {
    switch (type & HI_SDS_TYPE_MASK) {
    case HI_SDS_TYPE_5:
        return sizeof(hisdshdr5);
    case HI_SDS_TYPE_8:
        return sizeof(hisdshdr8);
    case HI_SDS_TYPE_16:
        return sizeof(hisdshdr16);
    case HI_SDS_TYPE_32:
        return sizeof(hisdshdr32);
    case HI_SDS_TYPE_64:
        return sizeof(hisdshdr64);
    }
    return 0;
}

char reqType(size_t size) {
    if (size < 32) return HI_SDS_TYPE_5;
    if (size < 0xff) return HI_SDS_TYPE_8;
    if (size < 0xffff) return HI_SDS_TYPE_16;
    if (size < 0xffffffffULL) return HI_SDS_TYPE_32;
    return HI_SDS_TYPE_64;
}

template <typename H> H *hdr(const hisds s) {
    return reinterpret_cast<H *>(s - sizeof(H));
}

unsigned char flagsOf(const hisds s) {
    return static_cast<unsigned char>(s[-1]);
}

void setAlloc(hisds s, size_t newlen) {
    switch (flagsOf(s) & HI_SDS_TYPE_MASK) {
    case HI_SDS_TYPE_5:
        break; // the short header has no capacity field
    case HI_SDS_TYPE_8:
        hdr<hisdshdr8>(s)->alloc = static_cast<uint8_t>(newlen);
        break;
    case HI_SDS_TYPE_16:
        hdr<hisdshdr16>(s)->alloc = static_cast<uint16_t>(newlen);
        break;
    case HI_SDS_TYPE_32:
        hdr<hisdshdr32>(s)->alloc = static_cast<uint32_t>(newlen);
        break;
    case HI_SDS_TYPE_64:
        hdr<hisdshdr64>(s)->alloc = newlen;
        break;
    }
}

// Writes a header of the given kind in front of buf.
void writeHeader(char *base, char type, size_t len, size_t alloc) {
    char *s = base + hdrSize(type);
    unsigned char *fp = reinterpret_cast<unsigned char *>(s) - 1;
    switch (type) {
    case HI_SDS_TYPE_5:
        *fp = static_cast<unsigned char>(type | (len << HI_SDS_TYPE_BITS));
        return;
    case HI_SDS_TYPE_8: {
        auto *h = hdr<hisdshdr8>(s);
        h->len = static_cast<uint8_t>(len);
        h->alloc = static_cast<uint8_t>(alloc);
        break;
    }
    case HI_SDS_TYPE_16: {
        auto *h = hdr<hisdshdr16>(s);
        h->len = static_cast<uint16_t>(len);
        h->alloc = static_cast<uint16_t>(alloc);
        break;
    }
    case HI_SDS_TYPE_32: {
        auto *h = hdr<hisdshdr32>(s);
        h->len = static_cast<uint32_t>(len);
        h->alloc = static_cast<uint32_t>(alloc);
        break;
    }
    case HI_SDS_TYPE_64: {
        auto *h = hdr<hisdshdr64>(s);
        h->len = len;
        h->alloc = alloc;
        break;
    }
    }
    *fp = static_cast<unsigned char>(type);
}

} // namespace

size_t hi_sdslen(const hisds s) {
    unsigned char flags = flagsOf(s);
    switch (flags & HI_SDS_TYPE_MASK) {
    case HI_SDS_TYPE_5:
        return flags >> HI_SDS_TYPE_BITS;
    case HI_SDS_TYPE_8:
        return hdr<hisdshdr8>(s)->len;
    case HI_SDS_TYPE_16:
        return hdr<hisdshdr16>(s)->len;
    case HI_SDS_TYPE_32:
        return hdr<hisdshdr32>(s)->len;
    case HI_SDS_TYPE_64:
        return hdr<hisdshdr64>(s)->len;
    }
    return 0;
}

size_t hi_sdsalloc(const hisds s) {
    unsigned char flags = flagsOf(s);
    switch (flags & HI_SDS_TYPE_MASK) {
    case HI_SDS_TYPE_5:
        return flags >> HI_SDS_TYPE_BITS;
    case HI_SDS_TYPE_8:
        return hdr<hisdshdr8>(s)->alloc;
    case HI_SDS_TYPE_16:
        return hdr<hisdshdr16>(s)->alloc;
    case HI_SDS_TYPE_32:
        return hdr<hisdshdr32>(s)->alloc;
    case HI_SDS_TYPE_64:
        return hdr<hisdshdr64>(s)->alloc;
    }
    return 0;
}

size_t hi_sdsavail(const hisds s) {
    return hi_sdsalloc(s) - hi_sdslen(s);
}

void hi_sdssetlen(hisds s, size_t newlen) {
    unsigned char flags = flagsOf(s);
    switch (flags & HI_SDS_TYPE_MASK) {
    case HI_SDS_TYPE_5:
        s[-1] = static_cast<char>(HI_SDS_TYPE_5 | (newlen << HI_SDS_TYPE_BITS));
        break;
    case HI_SDS_TYPE_8:
        hdr<hisdshdr8>(s)->len = static_cast<uint8_t>(newlen);
        break;
    case HI_SDS_TYPE_16:
        hdr<hisdshdr16>(s)->len = static_cast<uint16_t>(newlen);
        break;
    case HI_SDS_TYPE_32:
        hdr<hisdshdr32>(s)->len = static_cast<uint32_t>(newlen);
        break;
    case HI_SDS_TYPE_64:
        hdr<hisdshdr64>(s)->len = newlen;
        break;
    }
}

void hi_sdsinclen(hisds s, size_t inc) {
    hi_sdssetlen(s, hi_sdslen(s) + inc);
}

size_t hi_sdsAllocSize(hisds s) {
    return hdrSize(static_cast<char>(flagsOf(s))) + hi_sdsalloc(s) + 1;
}

hisds hi_sdsnewlen(const void *init, size_t initlen) {
    char type = reqType(initlen);
    // Empty strings are usually created to be appended to: give them a header
    // that can record capacity.
    if (type == HI_SDS_TYPE_5 && initlen == 0) type = HI_SDS_TYPE_8;
    int hlen = hdrSize(type);
    if (initlen > SIZE_MAX - hlen - 1) return nullptr;
    char *sh = static_cast<char *>(hi_malloc(hlen + initlen + 1));
    if (sh == nullptr) return nullptr;
    if (init == nullptr) memset(sh, 0, hlen + initlen + 1);
    writeHeader(sh, type, initlen, initlen);
    hisds s = sh + hlen;
    if (initlen && init) memcpy(s, init, initlen);
    s[initlen] = '\0';
    return s;
}

hisds hi_sdsempty() {
    return hi_sdsnewlen("", 0);
}

hisds hi_sdsnew(const char *init) {
    return hi_sdsnewlen(init, init == nullptr ? 0 : strlen(init));
}

hisds hi_sdsdup(const hisds s) {
    return hi_sdsnewlen(s, hi_sdslen(s));
}

void hi_sdsfree(hisds s) {
    if (s == nullptr) return;
    hi_free(s - hdrSize(static_cast<char>(flagsOf(s))));
}

void hi_sdsupdatelen(hisds s) {
    hi_sdssetlen(s, strlen(s));
}

void hi_sdsclear(hisds s) {
    hi_sdssetlen(s, 0);
    s[0] = '\0';
}

hisds hi_sdsMakeRoomFor(hisds s, size_t addlen) {
    if (hi_sdsavail(s) >= addlen) return s;
    size_t len = hi_sdslen(s);
    char oldtype = static_cast<char>(flagsOf(s) & HI_SDS_TYPE_MASK);
    char *sh = s - hdrSize(oldtype);
    if (addlen > SIZE_MAX - len) return nullptr;
    size_t newlen = len + addlen;
    if (newlen < HI_SDS_MAX_PREALLOC)
        newlen *= 2;
    else if (newlen <= SIZE_MAX - HI_SDS_MAX_PREALLOC)
        newlen += HI_SDS_MAX_PREALLOC;

    char type = reqType(newlen);
    // The short header cannot remember free space: never grow into it.
    if (type == HI_SDS_TYPE_5) type = HI_SDS_TYPE_8;
    int hlen = hdrSize(type);
    if (newlen > SIZE_MAX - hlen - 1) return nullptr;
    if (oldtype == type) {
        char *newsh = static_cast<char *>(hi_realloc(sh, hlen + newlen + 1));
        if (newsh == nullptr) return nullptr;
        s = newsh + hlen;
    } else {
        char *newsh = static_cast<char *>(hi_malloc(hlen + newlen + 1));
        if (newsh == nullptr) return nullptr;
        memcpy(newsh + hlen, s, len + 1);
        hi_free(sh);
        writeHeader(newsh, type, len, newlen);
        s = newsh + hlen;
    }
    setAlloc(s, newlen);
    return s;
}

void hi_sdsIncrLen(hisds s, int incr) {
    size_t len = hi_sdslen(s);
    size_t newlen = static_cast<size_t>(static_cast<long long>(len) + incr);
    hi_sdssetlen(s, newlen);
    s[newlen] = '\0';
}

hisds hi_sdsgrowzero(hisds s, size_t len) {
    size_t curlen = hi_sdslen(s);
    if (len <= curlen) return s;
    s = hi_sdsMakeRoomFor(s, len - curlen);
    if (s == nullptr) return nullptr;
    memset(s + curlen, 0, len - curlen + 1);
    hi_sdssetlen(s, len);
    return s;
}

hisds hi_sdscatlen(hisds s, const void *t, size_t len) {
    size_t curlen = hi_sdslen(s);
    s = hi_sdsMakeRoomFor(s, len);
    if (s == nullptr) return nullptr;
    if (len) memcpy(s + curlen, t, len);
    hi_sdssetlen(s, curlen + len);
    s[curlen + len] = '\0';
    return s;
}

hisds hi_sdscat(hisds s, const char *t) {
    return hi_sdscatlen(s, t, strlen(t));
}

hisds hi_sdscatsds(hisds s, const hisds t) {
    return hi_sdscatlen(s, t, hi_sdslen(t));
}

hisds hi_sdscpylen(hisds s, const char *t, size_t len) {
    if (hi_sdsalloc(s) < len) {
        s = hi_sdsMakeRoomFor(s, len - hi_sdslen(s));
        if (s == nullptr) return nullptr;
    }
    memmove(s, t, len);
    s[len] = '\0';
    hi_sdssetlen(s, len);
    return s;
}

hisds hi_sdscpy(hisds s, const char *t) {
    return hi_sdscpylen(s, t, strlen(t));
}

hisds hi_sdscatvprintf(hisds s, const char *fmt, va_list ap) {
    char staticbuf[1024];
    char *buf = staticbuf;
    size_t buflen = strlen(fmt) * 2;
    if (buflen > sizeof(staticbuf)) {
        buf = static_cast<char *>(hi_malloc(buflen));
        if (buf == nullptr) return nullptr;
    } else {
        buflen = sizeof(staticbuf);
    }

    // Format again into a doubled buffer while the output may have been cut.
    while (true) {
        va_list cpy;
        va_copy(cpy, ap);
        buf[buflen - 2] = '\0';
        vsnprintf(buf, buflen, fmt, cpy);
        va_end(cpy);
        if (buf[buflen - 2] != '\0') {
            if (buf != staticbuf) hi_free(buf);
            buflen *= 2;
            buf = static_cast<char *>(hi_malloc(buflen));
            if (buf == nullptr) return nullptr;
            continue;
        }
        break;
    }

    hisds t = hi_sdscat(s, buf);
    if (buf != staticbuf) hi_free(buf);
    return t;
}

hisds hi_sdscatprintf(hisds s, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    hisds t = hi_sdscatvprintf(s, fmt, ap);
    va_end(ap);
    return t;
}

namespace {

// Decimal text of v into buf (at least 21 bytes); returns its length.
int ull2str(char *buf, unsigned long long v) {
    char *p = buf;
    do {
        *p++ = static_cast<char>('0' + (v % 10));
        v /= 10;
    } while (v);
    int l = static_cast<int>(p - buf);
    *p = '\0';
    for (char *a = buf, *b = p - 1; a < b; a++, b--) {
        char aux = *a;
        *a = *b;
        *b = aux;
    }
    return l;
}

int ll2str(char *buf, long long value) {
    if (value >= 0) return ull2str(buf, static_cast<unsigned long long>(value));
    // Negate in unsigned arithmetic so the most negative value is exact.
    buf[0] = '-';
    return 1 + ull2str(buf + 1, 0ULL - static_cast<unsigned long long>(value));
}

} // namespace

hisds hi_sdsfromlonglong(long long value) {
    char buf[24];
    int len = ll2str(buf, value);
    return hi_sdsnewlen(buf, len);
}

hisds hi_sdscatfmt(hisds s, char const *fmt, ...) {
    const char *f = fmt;
    va_list ap;
    va_start(ap, fmt);
    size_t i = hi_sdslen(s);
    char buf[24];

    while (*f) {
        char next;
        const char *str;
        size_t l;
        if (hi_sdsavail(s) == 0) {
            hisds grown = hi_sdsMakeRoomFor(s, 1);
            if (grown == nullptr) {
                va_end(ap);
                return nullptr;
            }
            s = grown;
        }
        if (*f == '%') {
            next = *(f + 1);
            if (next == '\0') break; // a lone trailing '%' is not a directive
            f++;
            switch (next) {
            case 's':
            case 'S':
                str = va_arg(ap, char *);
                l = (next == 's') ? strlen(str) : hi_sdslen(const_cast<char *>(str));
                break;
            case 'i':
                l = ll2str(buf, va_arg(ap, int));
                str = buf;
                break;
            case 'I':
                l = ll2str(buf, va_arg(ap, long long));
                str = buf;
                break;
            case 'u':
                l = ull2str(buf, va_arg(ap, unsigned int));
                str = buf;
                break;
            case 'U':
                l = ull2str(buf, va_arg(ap, unsigned long long));
                str = buf;
                break;
            default:
                str = nullptr;
                l = 0;
                break;
            }
            if (str != nullptr) {
                if (hi_sdsavail(s) < l) {
                    hisds grown = hi_sdsMakeRoomFor(s, l);
                    if (grown == nullptr) {
                        va_end(ap);
                        return nullptr;
                    }
                    s = grown;
                }
                memcpy(s + i, str, l);
                hi_sdsinclen(s, l);
                i += l;
            } else {
                s[i++] = next;
                hi_sdsinclen(s, 1);
            }
        } else {
            s[i++] = *f;
            hi_sdsinclen(s, 1);
        }
        f++;
    }
    va_end(ap);
    s[i] = '\0';
    return s;
}

int hi_sdsrange(hisds s, ssize_t start, ssize_t end) {
    size_t oldlen = hi_sdslen(s);
    if (oldlen == 0) return 0;
    if (oldlen > static_cast<size_t>(SSIZE_MAX)) return -1;
    ssize_t len = static_cast<ssize_t>(oldlen);
    if (start < 0) {
        start = len + start;
        if (start < 0) start = 0;
    }
    if (end < 0) {
        end = len + end;
        if (end < 0) end = 0;
    }
    ssize_t newlen = (start > end) ? 0 : (end - start) + 1;
    if (newlen != 0) {
        if (start >= len) {
            newlen = 0;
        } else if (end >= len) {
            end = len - 1;
            newlen = (start > end) ? 0 : (end - start) + 1;
        }
    } else {
        start = 0;
    }
    if (start && newlen) memmove(s, s + start, newlen);
    s[newlen] = '\0';
    hi_sdssetlen(s, newlen);
    return 0;
}

void hi_sdstolower(hisds s) {
    size_t len = hi_sdslen(s);
    for (size_t j = 0; j < len; j++)
        s[j] = static_cast<char>(tolower(static_cast<unsigned char>(s[j])));
}

void hi_sdstoupper(hisds s) {
    size_t len = hi_sdslen(s);
    for (size_t j = 0; j < len; j++)
        s[j] = static_cast<char>(toupper(static_cast<unsigned char>(s[j])));
}

int hi_sdscmp(const hisds s1, const hisds s2) {
    size_t l1 = hi_sdslen(s1), l2 = hi_sdslen(s2);
    size_t minlen = (l1 < l2) ? l1 : l2;
    int cmp = memcmp(s1, s2, minlen);
    if (cmp == 0) return static_cast<int>(l1 - l2);
    return cmp;
}

hisds hi_sdscatrepr(hisds s, const char *p, size_t len) {
    static const char hex[] = "0123456789abcdef";
    // One reservation for the common case of printable bytes.
    hisds t = hi_sdsMakeRoomFor(s, len + 2);
    if (t == nullptr) return nullptr;
    s = t;
    s = hi_sdscatlen(s, "\"", 1);
    while (len-- && s != nullptr) {
        unsigned char c = static_cast<unsigned char>(*p++);
        switch (c) {
        case '\\':
        case '"': {
            char esc[2] = {'\\', static_cast<char>(c)};
            s = hi_sdscatlen(s, esc, 2);
            break;
        }
        case '\n':
            s = hi_sdscatlen(s, "\\n", 2);
            break;
        case '\r':
            s = hi_sdscatlen(s, "\\r", 2);
            break;
        case '\t':
            s = hi_sdscatlen(s, "\\t", 2);
            break;
        case '\a':
            s = hi_sdscatlen(s, "\\a", 2);
            break;
        case '\b':
            s = hi_sdscatlen(s, "\\b", 2);
            break;
        default:
            if (c >= 0x20 && c <= 0x7e) {
                char ch = static_cast<char>(c);
                s = hi_sdscatlen(s, &ch, 1);
            } else {
                char esc[4] = {'\\', 'x', hex[c >> 4], hex[c & 0xf]};
                s = hi_sdscatlen(s, esc, 4);
            }
            break;
        }
    }
    if (s == nullptr) return nullptr;
    return hi_sdscatlen(s, "\"", 1);
}

namespace {

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexDigitToInt(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

bool isSplitSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

hisds *hi_sdssplitargs(const char *line, int *argc) {
    const char *p = line;
    hisds current = nullptr;
    hisds *vector = nullptr;

    *argc = 0;
    while (true) {
        while (*p && isSplitSpace(*p))
            p++;
        if (*p == '\0') {
            // An empty line still gives a valid (empty) array.
            if (vector == nullptr) vector = static_cast<hisds *>(hi_malloc(sizeof(void *)));
            return vector;
        }
        bool inq = false;  // inside "double quotes"
        bool insq = false; // inside 'single quotes'
        bool done = false;
        current = hi_sdsempty();
        if (current == nullptr) goto err;
        while (!done) {
            hisds next = current;
            if (inq) {
                if (*p == '\\' && *(p + 1) == 'x' && isHexDigit(*(p + 2)) && isHexDigit(*(p + 3))) {
                    char byte =
                        static_cast<char>(hexDigitToInt(*(p + 2)) * 16 + hexDigitToInt(*(p + 3)));
                    next = hi_sdscatlen(current, &byte, 1);
                    p += 3;
                } else if (*p == '\\' && *(p + 1)) {
                    char c;
                    p++;
                    switch (*p) {
                    case 'n':
                        c = '\n';
                        break;
                    case 'r':
                        c = '\r';
                        break;
                    case 't':
                        c = '\t';
                        break;
                    case 'b':
                        c = '\b';
                        break;
                    case 'a':
                        c = '\a';
                        break;
                    default:
                        c = *p;
                        break;
                    }
                    next = hi_sdscatlen(current, &c, 1);
                } else if (*p == '"') {
                    // A closing quote must be followed by a blank or the end.
                    if (*(p + 1) && !isSplitSpace(*(p + 1))) goto err;
                    done = true;
                } else if (*p == '\0') {
                    goto err; // unterminated quotes
                } else {
                    next = hi_sdscatlen(current, p, 1);
                }
            } else if (insq) {
                if (*p == '\\' && *(p + 1) == '\'') {
                    p++;
                    next = hi_sdscatlen(current, "'", 1);
                } else if (*p == '\'') {
                    if (*(p + 1) && !isSplitSpace(*(p + 1))) goto err;
                    done = true;
                } else if (*p == '\0') {
                    goto err;
                } else {
                    next = hi_sdscatlen(current, p, 1);
                }
            } else {
                switch (*p) {
                case ' ':
                case '\n':
                case '\r':
                case '\t':
                case '\0':
                    done = true;
                    break;
                case '"':
                    inq = true;
                    break;
                case '\'':
                    insq = true;
                    break;
                default:
                    next = hi_sdscatlen(current, p, 1);
                    break;
                }
            }
            if (next == nullptr) goto err;
            current = next;
            if (*p) p++;
        }
        hisds *grown = static_cast<hisds *>(hi_realloc(vector, ((*argc) + 1) * sizeof(char *)));
        if (grown == nullptr) goto err;
        vector = grown;
        vector[*argc] = current;
        (*argc)++;
        current = nullptr;
    }

err:
    while ((*argc)--)
        hi_sdsfree(vector[*argc]);
    hi_free(vector);
    hi_sdsfree(current);
    *argc = 0;
    return nullptr;
}

void hi_sdsfreesplitres(hisds *tokens, int count) {
    if (tokens == nullptr) return;
    while (count--)
        hi_sdsfree(tokens[count]);
    hi_free(tokens);
}

void *hi_sds_malloc(size_t size) {
    return hi_malloc(size);
}
void *hi_sds_realloc(void *ptr, size_t size) {
    return hi_realloc(ptr, size);
}
void hi_sds_free(void *ptr) {
    hi_free(ptr);
}
