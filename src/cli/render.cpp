// Reply rendering in the three output forms.
//
// Every form walks the reply tree with an explicit stack instead of
// recursion: the reader accepts any nesting depth, and a hostile server must
// not be able to overflow our stack with a deeply nested reply.
#include "cli/render.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/config.h"
#include "cli/connection.h"
#include "cli/options.h"
#include "cli/render_json.h"

namespace {

[[noreturn]] void unknownReplyType(int type) {
    fprintf(stderr, "Unknown reply type: %d\n", type);
    exit(1);
}

bool isAggregate(int type) {
    return type == VORN_REPLY_ARRAY || type == VORN_REPLY_MAP || type == VORN_REPLY_SET ||
           type == VORN_REPLY_PUSH;
}

// Number of decimal digits of n (at least 1).
unsigned digits(size_t n) {
    unsigned d = 1;
    while (n >= 10) {
        n /= 10;
        d++;
    }
    return d;
}

hisds catBlanks(hisds o, size_t n) {
    static const char blanks[] = "                                ";
    while (n > 0) {
        size_t k = n < sizeof(blanks) - 1 ? n : sizeof(blanks) - 1;
        o = hi_sdscatlen(o, blanks, k);
        n -= k;
    }
    return o;
}

// The entry marker: the 1-based index right-aligned in width characters, the
// separator and a blank.
hisds catMarker(hisds o, size_t index, unsigned width, char sep) {
    char buf[48];
    char *end = buf + sizeof(buf);
    char *p = end;
    *--p = ' ';
    *--p = sep;
    unsigned used = 0;
    do {
        *--p = static_cast<char>('0' + index % 10);
        index /= 10;
        used++;
    } while (index > 0);
    o = catBlanks(o, width > used ? width - used : 0);
    return hi_sdscatlen(o, p, static_cast<size_t>(end - p));
}

// Text up to the first zero byte, as "%s" would print it.
size_t cstrlen(const char *s, size_t len) {
    const void *z = memchr(s, '\0', len);
    return z ? static_cast<size_t>(static_cast<const char *>(z) - s) : len;
}

// The quoted representation and a line end. Strings with nothing to escape
// (the usual case) are copied in one piece, which matters for big replies.
hisds catQuotedLine(hisds o, const char *p, size_t len) {
    for (size_t i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') {
            o = hi_sdscatrepr(o, p, len);
            return hi_sdscatlen(o, "\n", 1);
        }
    }
    size_t cur = hi_sdslen(o);
    o = hi_sdsMakeRoomFor(o, len + 3);
    o[cur] = '"';
    memcpy(o + cur + 1, p, len);
    memcpy(o + cur + 1 + len, "\"\n", 3); // with the terminating zero
    hi_sdssetlen(o, cur + len + 3);
    return o;
}

hisds ttyScalar(hisds o, const vornReply *r) {
    switch (r->type) {
    case VORN_REPLY_ERROR:
        o = hi_sdscatlen(o, "(error) ", 8);
        o = hi_sdscatlen(o, r->str, cstrlen(r->str, r->len));
        return hi_sdscatlen(o, "\n", 1);
    case VORN_REPLY_STATUS:
    case VORN_REPLY_VERB:
        o = hi_sdscatlen(o, r->str, r->len);
        return hi_sdscatlen(o, "\n", 1);
    case VORN_REPLY_INTEGER:
        return hi_sdscatprintf(o, "(integer) %lld\n", r->integer);
    case VORN_REPLY_DOUBLE:
        o = hi_sdscatlen(o, "(double) ", 9);
        o = hi_sdscat(o, r->str);
        return hi_sdscatlen(o, "\n", 1);
    case VORN_REPLY_STRING:
        return catQuotedLine(o, r->str, r->len);
    case VORN_REPLY_NIL:
        return hi_sdscatlen(o, "(nil)\n", 6);
    case VORN_REPLY_BOOL:
        return hi_sdscat(o, r->integer ? "(true)\n" : "(false)\n");
    default:
        unknownReplyType(r->type);
    }
}

const char *emptyText(int type) {
    switch (type) {
    case VORN_REPLY_ARRAY:
        return "(empty array)\n";
    case VORN_REPLY_MAP:
        return "(empty hash)\n";
    case VORN_REPLY_SET:
        return "(empty set)\n";
    default:
        return "(empty push)\n";
    }
}

char markerSep(int type) {
    switch (type) {
    case VORN_REPLY_MAP:
        return '#';
    case VORN_REPLY_SET:
        return '~';
    default:
        return ')';
    }
}

// One aggregate being rendered: which element comes next, the indentation
// of its continuation lines and the width of its indexes.
struct Frame {
    const vornReply *r;
    size_t next;
    size_t indent;
    unsigned width;
};

} // namespace

hisds cliFormatReplyTTY(const vornReply *r, const char *prefix) {
    hisds o = hi_sdsempty();
    std::vector<Frame> stack;
    size_t baseIndent = strlen(prefix);
    // Prefixes are made of blanks only; the caller's prefix is the one
    // exception, so continuation lines of the outermost list repeat it.
    auto catPrefix = [&](hisds s, size_t indent) {
        s = hi_sdscatlen(s, prefix, baseIndent);
        return catBlanks(s, indent - baseIndent);
    };
    // Renders a scalar or an empty aggregate directly; opens a non-empty
    // aggregate, whose entries the loop below renders.
    auto start = [&](const vornReply *e, size_t indent) {
        if (!isAggregate(e->type)) {
            o = ttyScalar(o, e);
        } else if (e->elements == 0 || (e->type == VORN_REPLY_MAP && e->elements < 2)) {
            o = hi_sdscat(o, emptyText(e->type));
        } else {
            size_t n = e->type == VORN_REPLY_MAP ? e->elements / 2 : e->elements;
            stack.push_back(Frame{e, 0, indent, digits(n)});
        }
    };
    start(r, baseIndent);
    while (!stack.empty()) {
        Frame &f = stack.back();
        bool map = f.r->type == VORN_REPLY_MAP;
        size_t count = map ? f.r->elements / 2 * 2 : f.r->elements;
        if (f.next >= count) {
            stack.pop_back();
            continue;
        }
        size_t child = f.indent + f.width + 2;
        const vornReply *e = f.r->element[f.next];
        if (map && f.next % 2 == 1) {
            // The key is done: its line end makes way for the value.
            if (hi_sdslen(o) > 0 && o[hi_sdslen(o) - 1] == '\n') hi_sdssetlen(o, hi_sdslen(o) - 1);
            o[hi_sdslen(o)] = '\0';
            o = hi_sdscatlen(o, " => ", 4);
        } else {
            size_t entry = map ? f.next / 2 : f.next;
            if (entry > 0) o = catPrefix(o, f.indent);
            o = catMarker(o, entry + 1, f.width, markerSep(f.r->type));
        }
        f.next++;
        start(e, child); // may invalidate f
    }
    return o;
}

namespace {

hisds rawScalar(hisds o, const vornReply *r) {
    switch (r->type) {
    case VORN_REPLY_ERROR:
        o = hi_sdscatlen(o, r->str, r->len);
        return hi_sdscatlen(o, "\n", 1);
    case VORN_REPLY_STATUS:
        if (config.eval_ldb) {
            if (r->len >= 12 && memcmp(r->str, "<endsession>", 12) == 0) {
                config.eval_ldb = 0;
                config.eval_ldb_end = 1;
                config.enable_ldb_on_eval = 0;
                config.output = OUTPUT_STANDARD;
                cliRefreshPrompt();
                return o;
            }
            return sdsCatColorizedLdbReply(o, r->str, r->len);
        }
        return hi_sdscatlen(o, r->str, r->len);
    case VORN_REPLY_STRING:
    case VORN_REPLY_VERB:
        return hi_sdscatlen(o, r->str, r->len);
    case VORN_REPLY_INTEGER:
        return hi_sdscatprintf(o, "%lld", r->integer);
    case VORN_REPLY_DOUBLE:
        return hi_sdscat(o, r->str); // its length field is not set
    case VORN_REPLY_NIL:
        return o;
    case VORN_REPLY_BOOL:
        return hi_sdscat(o, r->integer ? "(true)" : "(false)");
    default:
        unknownReplyType(r->type);
    }
}

hisds csvScalar(hisds o, const vornReply *r) {
    switch (r->type) {
    case VORN_REPLY_ERROR:
        o = hi_sdscatlen(o, "ERROR,", 6);
        return hi_sdscatrepr(o, r->str, cstrlen(r->str, r->len));
    case VORN_REPLY_STATUS:
    case VORN_REPLY_STRING:
    case VORN_REPLY_VERB:
        return hi_sdscatrepr(o, r->str, r->len);
    case VORN_REPLY_INTEGER:
        return hi_sdscatprintf(o, "%lld", r->integer);
    case VORN_REPLY_DOUBLE:
        return hi_sdscat(o, r->str); // its length field is not set
    case VORN_REPLY_NIL:
        return hi_sdscatlen(o, "NULL", 4);
    case VORN_REPLY_BOOL:
        return hi_sdscat(o, r->integer ? "true" : "false");
    default:
        unknownReplyType(r->type);
    }
}

// The raw and CSV forms share their walk: scalars in order, a separator
// between consecutive elements of an aggregate (the raw form puts a blank
// between a map's key and value).
template <typename Scalar> hisds flatWalk(const vornReply *r, Scalar scalar, bool raw) {
    hisds o = hi_sdsempty();
    std::vector<std::pair<const vornReply *, size_t>> stack;
    auto start = [&](const vornReply *e) {
        if (isAggregate(e->type))
            stack.emplace_back(e, 0);
        else
            o = scalar(o, e);
    };
    start(r);
    while (!stack.empty()) {
        auto &[a, next] = stack.back();
        if (next >= a->elements) {
            stack.pop_back();
            continue;
        }
        if (next > 0) {
            if (!raw)
                o = hi_sdscatlen(o, ",", 1);
            else if (a->type == VORN_REPLY_MAP && next % 2 == 1)
                o = hi_sdscatlen(o, " ", 1);
            else
                o = hi_sdscatsds(o, config.mb_delim);
        }
        const vornReply *e = a->element[next++];
        start(e); // may invalidate a and next
    }
    return o;
}

} // namespace

hisds cliFormatReplyRaw(const vornReply *r) {
    return flatWalk(r, rawScalar, true);
}

hisds cliFormatReplyCSV(const vornReply *r) {
    return flatWalk(r, csvScalar, false);
}

hisds cliFormatReply(const vornReply *r, int mode, int verbatim) {
    // A JSON reader expects a document for every reply, including those of
    // commands whose text is otherwise shown as it is.
    if (verbatim && mode != OUTPUT_JSON) return cliFormatReplyRaw(r);
    // The debugger console reads its lines, and the end of its session, in
    // the raw form, even when --json came after --ldb.
    if (mode == OUTPUT_JSON && config.eval_ldb) mode = OUTPUT_RAW;
    hisds out;
    switch (mode) {
    case OUTPUT_STANDARD:
        return cliFormatReplyTTY(r, "");
    case OUTPUT_RAW:
        out = cliFormatReplyRaw(r);
        return hi_sdscatsds(out, config.cmd_delim);
    case OUTPUT_CSV:
        out = cliFormatReplyCSV(r);
        return hi_sdscatlen(out, "\n", 1);
    case OUTPUT_JSON:
        out = cliFormatReplyJson(r);
        return hi_sdscatlen(out, "\n", 1);
    default:
        fprintf(stderr, "Error:  Unknown output encoding %d\n", mode);
        exit(1);
    }
}

void cliWriteReply(FILE *fp, const vornReply *r, int mode, int verbatim) {
    // A string in the raw form is its bytes as they are: written from the
    // reply itself, a large value is not copied once more.
    bool raw = mode == OUTPUT_RAW || (verbatim && mode != OUTPUT_JSON);
    if (raw && (r->type == VORN_REPLY_STRING || r->type == VORN_REPLY_VERB)) {
        fwrite(r->str, 1, r->len, fp);
        if (!verbatim) fwrite(config.cmd_delim, 1, hi_sdslen(config.cmd_delim), fp);
        return;
    }
    hisds out = cliFormatReply(r, mode, verbatim);
    fwrite(out, 1, hi_sdslen(out), fp);
    hi_sdsfree(out);
}

namespace {

// A client-side-caching invalidation: ["invalidate...", [key, ...]] with
// string keys. Anything else is shown like any other push.
bool isInvalidation(const vornReply *r) {
    if (r->type != VORN_REPLY_PUSH || r->elements != 2) return false;
    const vornReply *what = r->element[0], *keys = r->element[1];
    if (what->type != VORN_REPLY_STRING || what->len < 10 ||
        memcmp(what->str, "invalidate", 10) != 0)
        return false;
    if (keys->type != VORN_REPLY_ARRAY) return false;
    for (size_t i = 0; i < keys->elements; i++)
        if (keys->element[i]->type != VORN_REPLY_STRING) return false;
    return true;
}

} // namespace

void cliPushHandler(void *privdata, void *reply) {
    (void)privdata;
    auto *r = static_cast<vornReply *>(reply);
    hisds out;
    if (config.output == OUTPUT_STANDARD && isInvalidation(r)) {
        out = hi_sdsnew("-> invalidate: ");
        const vornReply *keys = r->element[1];
        for (size_t i = 0; i < keys->elements; i++) {
            const vornReply *k = keys->element[i];
            if (i > 0) out = hi_sdscatlen(out, ", ", 2);
            out = hi_sdscatlen(out, "'", 1);
            out = hi_sdscatlen(out, k->str, cstrlen(k->str, k->len));
            out = hi_sdscatlen(out, "'", 1);
        }
        out = hi_sdscatlen(out, "\n", 1);
    } else {
        out = cliFormatReply(r, config.output, 0);
    }
    fwrite(out, 1, hi_sdslen(out), stdout);
    hi_sdsfree(out);
    freeReplyObject(r);
}

hisds sdscatcolor(hisds o, const char *s, size_t len, const char *color) {
    if (!isColorTerm()) return hi_sdscatlen(o, s, len);
    int bold = strstr(color, "bold") != nullptr;
    int ccode = 37;
    if (strstr(color, "red"))
        ccode = 31;
    else if (strstr(color, "green"))
        ccode = 32;
    else if (strstr(color, "yellow"))
        ccode = 33;
    else if (strstr(color, "blue"))
        ccode = 34;
    else if (strstr(color, "magenta"))
        ccode = 35;
    else if (strstr(color, "cyan"))
        ccode = 36;
    o = hi_sdscatprintf(o, "\x1b[%i;%i;49m", bold, ccode);
    o = hi_sdscatlen(o, s, len);
    return hi_sdscat(o, "\x1b[0m");
}

namespace {

bool contains(const char *s, size_t len, const char *what) {
    size_t wl = strlen(what);
    if (wl > len) return false;
    for (size_t i = 0; i + wl <= len; i++)
        if (memcmp(s + i, what, wl) == 0) return true;
    return false;
}

} // namespace

hisds sdsCatColorizedLdbReply(hisds o, const char *s, size_t len) {
    const char *color = "white";
    if (contains(s, len, "<debug>")) color = "bold";
    if (contains(s, len, "<vorn>")) color = "green";
    if (contains(s, len, "<reply>")) color = "cyan";
    if (contains(s, len, "<error>")) color = "red";
    if (contains(s, len, "<hint>")) color = "bold";
    if (contains(s, len, "<value>") || contains(s, len, "<retval>")) color = "magenta";
    if (len > 4 && s[3] >= '0' && s[3] <= '9') {
        if (s[1] == '>')
            color = "yellow";
        else if (s[2] == '#')
            color = "bold";
    }
    return sdscatcolor(o, s, len, color);
}
