// Request encoding: a command, from a printf-like format or an argument
// vector, becomes an array of bulk strings. Each encoder works out the exact
// size first and fills a single allocation.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "hivorn/hivorn.h"

namespace {

// Decimal digits of v.
unsigned countDigits(unsigned long long v) {
    unsigned result = 1;
    while (v >= 10) {
        v /= 10;
        result++;
    }
    return result;
}

// Bytes taken by one bulk string of len bytes: "$<len>\r\n<bytes>\r\n".
size_t bulklen(size_t len) {
    return 1 + countDigits(len) + 2 + len + 2;
}

// Appends the current argument to the argument array.
bool pushArg(hisds **argv, int *argc, hisds arg) {
    hisds *grown = static_cast<hisds *>(hi_realloc(*argv, sizeof(hisds) * (*argc + 1)));
    if (grown == nullptr) return false;
    *argv = grown;
    (*argv)[(*argc)++] = arg;
    return true;
}

// Consumes the argument of a printf-style conversion at p (just after the
// '%'), or returns null when the conversion is not one we accept. On success
// returns the position of the conversion letter.
const char *consumePrintfArg(const char *p, va_list *ap) {
    static const char intfmts[] = "diouxX";
    static const char flags[] = "#0-+ ";
    while (*p != '\0' && strchr(flags, *p) != nullptr)
        p++;
    while (*p != '\0' && isdigit(static_cast<unsigned char>(*p)))
        p++;
    if (*p == '.') {
        p++;
        while (*p != '\0' && isdigit(static_cast<unsigned char>(*p)))
            p++;
    }
    if (*p == '\0') return nullptr;
    if (strchr(intfmts, *p) != nullptr) {
        (void)va_arg(*ap, int);
        return p;
    }
    if (strchr("eEfFgGaA", *p) != nullptr) {
        (void)va_arg(*ap, double);
        return p;
    }
    if (p[0] == 'h' && p[1] == 'h') {
        p += 2;
        if (*p != '\0' && strchr(intfmts, *p) != nullptr) {
            (void)va_arg(*ap, int); // a char is promoted to int
            return p;
        }
        return nullptr;
    }
    if (p[0] == 'h') {
        p += 1;
        if (*p != '\0' && strchr(intfmts, *p) != nullptr) {
            (void)va_arg(*ap, int); // a short is promoted to int
            return p;
        }
        return nullptr;
    }
    if (p[0] == 'l' && p[1] == 'l') {
        p += 2;
        if (*p != '\0' && strchr(intfmts, *p) != nullptr) {
            (void)va_arg(*ap, long long);
            return p;
        }
        return nullptr;
    }
    if (p[0] == 'l') {
        p += 1;
        if (*p != '\0' && strchr(intfmts, *p) != nullptr) {
            (void)va_arg(*ap, long);
            return p;
        }
        return nullptr;
    }
    return nullptr;
}

// The longest printf conversion rendered, from '%' to the letter.
const size_t MAX_PRINTF_CONVERSION = 13;

} // namespace

long long vornvFormatCommand(char **target, const char *format, va_list ap) {
    const char *c = format;
    char *cmd = nullptr;
    hisds curarg, newarg;
    hisds *curargv = nullptr;
    int argc = 0;
    int touched = 0;
    size_t totlen = 0;
    int error_type = 0; // 0 = none, -1 = out of memory, -2 = bad format
    va_list aq;
    va_copy(aq, ap);

    if (target == nullptr) {
        va_end(aq);
        return -1;
    }

    curarg = hi_sdsempty();
    if (curarg == nullptr) {
        va_end(aq);
        return -1;
    }

    while (*c != '\0') {
        if (*c != '%' || c[1] == '\0') {
            if (*c == ' ') {
                if (touched) {
                    if (!pushArg(&curargv, &argc, curarg)) goto memory_err;
                    totlen += bulklen(hi_sdslen(curarg));
                    curarg = hi_sdsempty();
                    if (curarg == nullptr) goto memory_err;
                    touched = 0;
                }
            } else {
                newarg = hi_sdscatlen(curarg, c, 1);
                if (newarg == nullptr) goto memory_err;
                curarg = newarg;
                touched = 1;
            }
        } else {
            char *arg;
            size_t size;
            newarg = curarg;
            switch (c[1]) {
            case 's':
                arg = va_arg(aq, char *);
                size = strlen(arg);
                if (size > 0) newarg = hi_sdscatlen(curarg, arg, size);
                break;
            case 'b':
                arg = va_arg(aq, char *);
                size = va_arg(aq, size_t);
                if (size > 0) newarg = hi_sdscatlen(curarg, arg, size);
                break;
            case '%':
                newarg = hi_sdscatlen(curarg, "%", 1);
                break;
            default: {
                va_list cpy;
                va_copy(cpy, aq);
                const char *end = consumePrintfArg(c + 1, &aq);
                if (end == nullptr) {
                    va_end(cpy);
                    error_type = -2;
                    goto cleanup;
                }
                size_t l = (end + 1) - c;
                if (l <= MAX_PRINTF_CONVERSION) {
                    char conversion[MAX_PRINTF_CONVERSION + 1];
                    memcpy(conversion, c, l);
                    conversion[l] = '\0';
                    newarg = hi_sdscatvprintf(curarg, conversion, cpy);
                    // The loop steps over two characters; land after the letter.
                    c = end - 1;
                }
                va_end(cpy);
                break;
            }
            }
            if (newarg == nullptr) goto memory_err;
            curarg = newarg;
            touched = 1;
            c++;
            if (*c == '\0') break;
        }
        c++;
    }

    if (touched) {
        if (!pushArg(&curargv, &argc, curarg)) goto memory_err;
        totlen += bulklen(hi_sdslen(curarg));
    } else {
        hi_sdsfree(curarg);
    }
    curarg = nullptr;

    totlen += 1 + countDigits(argc) + 2;
    cmd = static_cast<char *>(hi_malloc(totlen + 1));
    if (cmd == nullptr) goto memory_err;
    {
        int pos = sprintf(cmd, "*%d\r\n", argc);
        for (int j = 0; j < argc; j++) {
            pos += sprintf(cmd + pos, "$%zu\r\n", hi_sdslen(curargv[j]));
            memcpy(cmd + pos, curargv[j], hi_sdslen(curargv[j]));
            pos += hi_sdslen(curargv[j]);
            hi_sdsfree(curargv[j]);
            cmd[pos++] = '\r';
            cmd[pos++] = '\n';
        }
        cmd[pos] = '\0';
    }
    hi_free(curargv);
    va_end(aq);
    *target = cmd;
    return static_cast<long long>(totlen);

memory_err:
    error_type = -1;
cleanup:
    if (curargv) {
        while (argc--)
            hi_sdsfree(curargv[argc]);
        hi_free(curargv);
    }
    hi_sdsfree(curarg);
    hi_free(cmd);
    va_end(aq);
    return error_type;
}

long long vornFormatCommand(char **target, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    long long len = vornvFormatCommand(target, format, ap);
    va_end(ap);
    return len;
}

namespace {

// Writes "<mark><n>\r\n" and returns the position after it.
char *writeCount(char *p, char mark, unsigned long long n) {
    *p++ = mark;
    char *end = p + countDigits(n);
    p = end;
    do {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n);
    *end++ = '\r';
    *end++ = '\n';
    return end;
}

} // namespace

// Lengths are written in full, so an argument of 4 GiB or more is announced
// with its true size instead of a truncated one that would desynchronise the
// stream.
long long vornFormatSdsCommandArgv(hisds *target, int argc, const char **argv,
                                   const size_t *argvlen) {
    if (target == nullptr || argc < 0) return -1;

    size_t totlen = 1 + countDigits(argc) + 2;
    for (int j = 0; j < argc; j++) {
        size_t len = argvlen ? argvlen[j] : strlen(argv[j]);
        totlen += bulklen(len);
    }

    // One string of exactly the request's size, filled in place.
    hisds cmd = hi_sdsnewlen(nullptr, totlen);
    if (cmd == nullptr) return -1;
    char *p = writeCount(cmd, '*', static_cast<unsigned>(argc));
    for (int j = 0; j < argc; j++) {
        size_t len = argvlen ? argvlen[j] : strlen(argv[j]);
        p = writeCount(p, '$', len);
        if (len > 0) memcpy(p, argv[j], len);
        p += len;
        *p++ = '\r';
        *p++ = '\n';
    }

    *target = cmd;
    return static_cast<long long>(totlen);
}

void vornFreeCommand(char *cmd) {
    hi_free(cmd);
}

void vornFreeSdsCommand(hisds cmd) {
    hi_sdsfree(cmd);
}
