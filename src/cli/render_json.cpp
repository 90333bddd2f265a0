// The JSON output form.
//
// Like the other forms it walks the reply tree with an explicit stack, so a
// hostile server cannot overflow ours with a deeply nested reply.
#include "cli/render_json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

[[noreturn]] void unknownReplyType(int type) {
    fprintf(stderr, "Unknown reply type: %d\n", type);
    exit(1);
}

// Length of the valid UTF-8 sequence at s (at most n bytes), or 0 when the
// bytes there are not one: overlong forms, surrogates and code points above
// U+10FFFF are refused, so every accepted sequence decodes unambiguously.
size_t utf8SequenceLength(const unsigned char *s, size_t n) {
    unsigned char b = s[0];
    size_t len;
    unsigned char lo = 0x80, hi = 0xbf; // range of the second byte
    if (b >= 0xc2 && b <= 0xdf) {
        len = 2;
    } else if (b >= 0xe0 && b <= 0xef) {
        len = 3;
        if (b == 0xe0) lo = 0xa0;
        if (b == 0xed) hi = 0x9f;
    } else if (b >= 0xf0 && b <= 0xf4) {
        len = 4;
        if (b == 0xf0) lo = 0x90;
        if (b == 0xf4) hi = 0x8f;
    } else {
        return 0;
    }
    if (n < len || s[1] < lo || s[1] > hi) return 0;
    for (size_t i = 2; i < len; i++)
        if ((s[i] & 0xc0) != 0x80) return 0;
    return len;
}

// JSON's number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool isJsonNumber(const char *s, size_t len) {
    size_t i = 0;
    auto digitsFrom = [&](size_t from) {
        size_t j = from;
        while (j < len && s[j] >= '0' && s[j] <= '9')
            j++;
        return j;
    };
    if (i < len && s[i] == '-') i++;
    if (i >= len) return false;
    if (s[i] == '0') {
        i++;
    } else if (s[i] >= '1' && s[i] <= '9') {
        i = digitsFrom(i);
    } else {
        return false;
    }
    if (i < len && s[i] == '.') {
        size_t j = digitsFrom(i + 1);
        if (j == i + 1) return false;
        i = j;
    }
    if (i < len && (s[i] == 'e' || s[i] == 'E')) {
        i++;
        if (i < len && (s[i] == '+' || s[i] == '-')) i++;
        size_t j = digitsFrom(i);
        if (j == i) return false;
        i = j;
    }
    return i == len;
}

// A double as the server wrote it when that is a JSON number; another
// spelling of a finite value in the shortest form that reads back the same;
// infinities and NaN (which JSON has no numbers for) as strings.
hisds catDouble(hisds o, const vornReply *r) {
    // The reader keeps a double's text NUL-terminated, without its length.
    const char *text = r->str ? r->str : "";
    size_t len = strlen(text);
    if (isJsonNumber(text, len)) return hi_sdscatlen(o, text, len);
    double d = r->dval;
    if (std::isfinite(d)) {
        char buf[64];
        for (int prec = 15; prec <= 17; prec++) {
            snprintf(buf, sizeof(buf), "%.*g", prec, d);
            if (strtod(buf, nullptr) == d) break;
        }
        if (isJsonNumber(buf, strlen(buf))) return hi_sdscat(o, buf);
    }
    return cliJsonCatString(o, text, len);
}

hisds catInteger(hisds o, long long v) {
    return hi_sdscatprintf(o, "%lld", v);
}

// A scalar as a value; asKey renders it as the string an object key must be.
hisds catScalar(hisds o, const vornReply *r, bool asKey) {
    switch (r->type) {
    case VORN_REPLY_STRING:
    case VORN_REPLY_STATUS:
    case VORN_REPLY_VERB:
        return cliJsonCatString(o, r->str, r->len);
    case VORN_REPLY_ERROR:
        if (asKey) return cliJsonCatString(o, r->str, r->len);
        o = hi_sdscat(o, "{\"error\": ");
        o = cliJsonCatString(o, r->str, r->len);
        return hi_sdscat(o, "}");
    case VORN_REPLY_INTEGER:
        if (!asKey) return catInteger(o, r->integer);
        o = hi_sdscat(o, "\"");
        o = catInteger(o, r->integer);
        return hi_sdscat(o, "\"");
    case VORN_REPLY_DOUBLE:
        if (asKey) return cliJsonCatString(o, r->str, r->str ? strlen(r->str) : 0);
        return catDouble(o, r);
    case VORN_REPLY_NIL:
        return hi_sdscat(o, asKey ? "\"null\"" : "null");
    case VORN_REPLY_BOOL:
        if (asKey) return hi_sdscat(o, r->integer ? "\"true\"" : "\"false\"");
        return hi_sdscat(o, r->integer ? "true" : "false");
    default:
        unknownReplyType(r->type);
    }
}

bool isAggregate(int type) {
    return type == VORN_REPLY_ARRAY || type == VORN_REPLY_MAP || type == VORN_REPLY_SET ||
           type == VORN_REPLY_PUSH;
}

struct Frame {
    const vornReply *r;
    size_t next = 0;     // index of the next element to write
    bool asKey = false;  // the aggregate is an object key: stringified at its end
    size_t keyStart = 0; // where its text begins in the output
};

} // namespace

hisds cliJsonCatString(hisds o, const char *s, size_t len) {
    const auto *p = reinterpret_cast<const unsigned char *>(s);
    o = hi_sdscatlen(o, "\"", 1);
    size_t run = 0; // bytes before i that are copied as they are
    auto flush = [&](size_t i) {
        if (run) o = hi_sdscatlen(o, s + i - run, run);
        run = 0;
    };
    for (size_t i = 0; i < len;) {
        unsigned char b = p[i];
        if (b >= 0x80) {
            size_t n = utf8SequenceLength(p + i, len - i);
            if (n) {
                run += n;
                i += n;
                continue;
            }
            flush(i);
            o = hi_sdscatprintf(o, "\\udc%02x", b);
            i++;
            continue;
        }
        const char *esc = nullptr;
        switch (b) {
        case '"':
            esc = "\\\"";
            break;
        case '\\':
            esc = "\\\\";
            break;
        case '\n':
            esc = "\\n";
            break;
        case '\r':
            esc = "\\r";
            break;
        case '\t':
            esc = "\\t";
            break;
        case '\b':
            esc = "\\b";
            break;
        case '\f':
            esc = "\\f";
            break;
        default:
            break;
        }
        if (esc) {
            flush(i);
            o = hi_sdscat(o, esc);
        } else if (b < 0x20 || b == 0x7f) {
            flush(i);
            o = hi_sdscatprintf(o, "\\u%04x", b);
        } else {
            run++;
        }
        i++;
    }
    flush(len);
    return hi_sdscatlen(o, "\"", 1);
}

hisds cliFormatReplyJson(const vornReply *r) {
    hisds o = hi_sdsempty();
    std::vector<Frame> stack;
    // Writes one element: a scalar at once, an aggregate by opening it.
    auto emit = [&](const vornReply *e, bool asKey) {
        if (!isAggregate(e->type)) {
            o = catScalar(o, e, asKey);
            return;
        }
        Frame f{e};
        f.asKey = asKey;
        f.keyStart = hi_sdslen(o);
        o = hi_sdscat(o, e->type == VORN_REPLY_MAP ? "{" : "[");
        stack.push_back(f);
    };
    emit(r, false);
    while (!stack.empty()) {
        Frame &f = stack.back();
        const bool isMap = f.r->type == VORN_REPLY_MAP;
        if (f.next < f.r->elements) {
            size_t i = f.next++;
            const vornReply *e = f.r->element[i];
            if (isMap && i % 2 == 1) {
                o = hi_sdscat(o, ": ");
                emit(e, false);
            } else {
                if (i > 0) o = hi_sdscat(o, ", ");
                emit(e, isMap);
            }
            continue;
        }
        o = hi_sdscat(o, isMap ? "}" : "]");
        Frame done = f;
        stack.pop_back();
        if (done.asKey) {
            // An aggregate used as a key becomes the string of its JSON text.
            size_t n = hi_sdslen(o) - done.keyStart;
            hisds text = hi_sdsnewlen(o + done.keyStart, n);
            hi_sdssetlen(o, done.keyStart);
            o[done.keyStart] = '\0';
            o = cliJsonCatString(o, text, n);
            hi_sdsfree(text);
        }
    }
    return o;
}
