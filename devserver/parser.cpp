// Request parser: arrays of bulk strings, and inline lines as a person types
// them over a raw connection. Limits on counts and lengths keep a hostile or
// broken peer from making the server allocate without bound.
#include "server.h"

#include <cstring>

namespace dev {

// Reads a line ending in CR LF from pos; returns false when incomplete.
static bool readLine(const std::string &b, size_t pos, size_t &eol) {
    size_t p = b.find("\r\n", pos);
    if (p == std::string::npos) return false;
    eol = p;
    return true;
}

static bool parseNum(const std::string &b, size_t from, size_t to, long long &v) {
    return toLL(std::string_view(b).substr(from, to - from), v);
}

// Splits an inline line into words, honouring "double" (with escapes) and
// 'single' quotes.
static bool splitInline(std::string_view line, Args &out) {
    size_t i = 0;
    auto hex = [](char ch) {
        return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
    };
    auto hv = [](char ch) { return ch <= '9' ? ch - '0' : (ch | 0x20) - 'a' + 10; };
    while (true) {
        while (i < line.size() && isspace((unsigned char)line[i]))
            i++;
        if (i >= line.size()) return true;
        std::string cur;
        bool dq = false, sq = false;
        for (;;) {
            if (dq) {
                if (i >= line.size()) return false;
                if (line[i] == '\\' && i + 3 < line.size() && line[i + 1] == 'x' &&
                    hex(line[i + 2]) && hex(line[i + 3])) {
                    cur += char(hv(line[i + 2]) * 16 + hv(line[i + 3]));
                    i += 3;
                } else if (line[i] == '\\' && i + 1 < line.size()) {
                    i++;
                    char c = line[i];
                    cur += c == 'n'   ? '\n'
                           : c == 'r' ? '\r'
                           : c == 't' ? '\t'
                           : c == 'b' ? '\b'
                           : c == 'a' ? '\a'
                                      : c;
                } else if (line[i] == '"') {
                    if (i + 1 < line.size() && !isspace((unsigned char)line[i + 1])) return false;
                    dq = false;
                    i++;
                    break;
                } else {
                    cur += line[i];
                }
                i++;
            } else if (sq) {
                if (i >= line.size()) return false;
                if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '\'') {
                    cur += '\'';
                    i += 2;
                    continue;
                }
                if (line[i] == '\'') {
                    if (i + 1 < line.size() && !isspace((unsigned char)line[i + 1])) return false;
                    sq = false;
                    i++;
                    break;
                }
                cur += line[i++];
            } else {
                if (i >= line.size() || isspace((unsigned char)line[i])) break;
                if (line[i] == '"') {
                    dq = true;
                } else if (line[i] == '\'') {
                    sq = true;
                } else {
                    cur += line[i];
                }
                i++;
            }
        }
        out.push_back(std::move(cur));
    }
}

ParseResult parseRequest(const std::string &b, size_t &pos, Args &args, std::string &err) {
    args.clear();
    if (pos >= b.size()) return ParseResult::Need;
    if (b[pos] != '*') {
        size_t nl = b.find('\n', pos);
        if (nl == std::string::npos) {
            if (b.size() - pos > kMaxInline) {
                err = "ERR Protocol error: too big inline request";
                return ParseResult::Error;
            }
            return ParseResult::Need;
        }
        if (nl - pos > kMaxInline) {
            err = "ERR Protocol error: too big inline request";
            return ParseResult::Error;
        }
        size_t end = nl;
        if (end > pos && b[end - 1] == '\r') end--;
        if (!splitInline(std::string_view(b).substr(pos, end - pos), args)) {
            err = "ERR Protocol error: unbalanced quotes in request";
            return ParseResult::Error;
        }
        pos = nl + 1;
        return ParseResult::Ok; // an empty line gives no arguments
    }
    size_t eol;
    if (!readLine(b, pos, eol)) {
        if (b.size() - pos > kMaxInline) {
            err = "ERR Protocol error: too big mbulk count string";
            return ParseResult::Error;
        }
        return ParseResult::Need;
    }
    long long count;
    if (!parseNum(b, pos + 1, eol, count) || count > kMaxArgs) {
        err = "ERR Protocol error: invalid multibulk length";
        return ParseResult::Error;
    }
    size_t p = eol + 2;
    if (count <= 0) {
        pos = p;
        return ParseResult::Ok;
    }
    // Validate headers as far as the bytes go before allocating anything
    // large, so that an error is reported even on a partial request.
    Args tmp;
    tmp.reserve(size_t(count < 1024 ? count : 1024));
    for (long long i = 0; i < count; i++) {
        if (p >= b.size()) return ParseResult::Need;
        if (b[p] != '$') {
            err = std::string("ERR Protocol error: expected '$', got '") + b[p] + "'";
            return ParseResult::Error;
        }
        if (!readLine(b, p, eol)) {
            if (b.size() - p > 64) {
                err = "ERR Protocol error: too big bulk count string";
                return ParseResult::Error;
            }
            return ParseResult::Need;
        }
        long long len;
        if (!parseNum(b, p + 1, eol, len) || len < 0 || len > kMaxBulk) {
            err = "ERR Protocol error: invalid bulk length";
            return ParseResult::Error;
        }
        p = eol + 2;
        if (b.size() - p < size_t(len) + 2) return ParseResult::Need;
        if (b[p + size_t(len)] != '\r' || b[p + size_t(len) + 1] != '\n') {
            err = "ERR Protocol error: bulk string not terminated by CRLF";
            return ParseResult::Error;
        }
        tmp.emplace_back(b, p, size_t(len));
        p += size_t(len) + 2;
    }
    args = std::move(tmp);
    pos = p;
    return ParseResult::Ok;
}

} // namespace dev
