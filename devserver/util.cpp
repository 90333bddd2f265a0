// Small text and number helpers shared by the command groups.
#include "server.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sys/time.h>

namespace dev {

long long nowUs() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (long long)tv.tv_sec * 1000000 + tv.tv_usec;
}
long long nowMs() {
    return nowUs() / 1000;
}

std::string lower(std::string_view s) {
    std::string r(s);
    for (auto &ch : r)
        if (ch >= 'A' && ch <= 'Z') ch = char(ch - 'A' + 'a');
    return r;
}
std::string upper(std::string_view s) {
    std::string r(s);
    for (auto &ch : r)
        if (ch >= 'a' && ch <= 'z') ch = char(ch - 'a' + 'A');
    return r;
}
bool ieq(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool toLL(std::string_view s, long long &out) {
    if (s.empty() || s.size() > 20) return false;
    size_t i = 0;
    bool neg = false;
    if (s[0] == '-') {
        neg = true;
        i = 1;
        if (s.size() == 1) return false;
    }
    if (s.size() - i > 1 && s[i] == '0') return false;
    unsigned long long v = 0;
    for (; i < s.size(); i++) {
        if (s[i] < '0' || s[i] > '9') return false;
        unsigned d = unsigned(s[i] - '0');
        if (v > (~0ULL - d) / 10) return false;
        v = v * 10 + d;
    }
    if (neg) {
        if (v > 9223372036854775808ULL) return false;
        out = v == 9223372036854775808ULL ? INT64_MIN : -(long long)v;
    } else {
        if (v > 9223372036854775807ULL) return false;
        out = (long long)v;
    }
    if (neg && out == 0) return false;
    return true;
}

bool toDouble(std::string_view s, double &out) {
    if (s.empty() || s.size() > 300 || isspace((unsigned char)s[0])) return false;
    std::string t(s);
    if (ieq(t, "inf") || ieq(t, "+inf")) {
        out = INFINITY;
        return true;
    }
    if (ieq(t, "-inf")) {
        out = -INFINITY;
        return true;
    }
    char *end = nullptr;
    errno = 0;
    double d = strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size() || std::isnan(d) || errno == ERANGE) return false;
    out = d;
    return true;
}

std::string fmtDouble(double d) {
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    char buf[64];
    // Integral values print without a fraction, others with the shortest
    // form that reads back as the same number.
    if (d == std::floor(d) && std::fabs(d) < 1e17) {
        snprintf(buf, sizeof buf, "%.0f", d);
        if (std::string(buf) == "-0") return "0";
        return buf;
    }
    for (int prec = 1; prec <= 17; prec++) {
        snprintf(buf, sizeof buf, "%.*g", prec, d);
        if (strtod(buf, nullptr) == d) break;
    }
    return buf;
}

std::string quoteArg(std::string_view s) {
    std::string r = "\"";
    for (unsigned char ch : s) {
        switch (ch) {
        case '\\':
            r += "\\\\";
            break;
        case '"':
            r += "\\\"";
            break;
        case '\n':
            r += "\\n";
            break;
        case '\r':
            r += "\\r";
            break;
        case '\t':
            r += "\\t";
            break;
        case '\a':
            r += "\\a";
            break;
        case '\b':
            r += "\\b";
            break;
        default:
            if (ch >= 0x20 && ch < 0x7f) {
                r += char(ch);
            } else {
                char b[8];
                snprintf(b, sizeof b, "\\x%02x", ch);
                r += b;
            }
        }
    }
    r += '"';
    return r;
}

static char fold(char c, bool nocase) {
    return (nocase && c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// Glob-style matching: * ? [abc] [^a-z] and backslash escapes.
static bool globAt(std::string_view p, std::string_view s, bool nc, int depth) {
    if (depth > 1000) return false;
    while (!p.empty()) {
        switch (p[0]) {
        case '*':
            while (p.size() > 1 && p[1] == '*')
                p.remove_prefix(1);
            if (p.size() == 1) return true;
            for (size_t i = 0; i <= s.size(); i++)
                if (globAt(p.substr(1), s.substr(i), nc, depth + 1)) return true;
            return false;
        case '?':
            if (s.empty()) return false;
            s.remove_prefix(1);
            p.remove_prefix(1);
            break;
        case '[': {
            if (s.empty()) return false;
            size_t i = 1;
            bool neg = false, hit = false;
            if (i < p.size() && p[i] == '^') {
                neg = true;
                i++;
            }
            for (; i < p.size() && p[i] != ']'; i++) {
                if (p[i] == '\\' && i + 1 < p.size()) {
                    i++;
                    if (fold(p[i], nc) == fold(s[0], nc)) hit = true;
                } else if (i + 2 < p.size() && p[i + 1] == '-' && p[i + 2] != ']') {
                    char a = fold(p[i], nc), b = fold(p[i + 2], nc), c = fold(s[0], nc);
                    if (a > b) std::swap(a, b);
                    if (c >= a && c <= b) hit = true;
                    i += 2;
                } else if (fold(p[i], nc) == fold(s[0], nc)) {
                    hit = true;
                }
            }
            if (neg) hit = !hit;
            if (!hit) return false;
            p.remove_prefix(i < p.size() ? i + 1 : i);
            s.remove_prefix(1);
            break;
        }
        case '\\':
            if (p.size() >= 2) p.remove_prefix(1);
            [[fallthrough]];
        default:
            if (s.empty() || fold(p[0], nc) != fold(s[0], nc)) return false;
            p.remove_prefix(1);
            s.remove_prefix(1);
        }
    }
    return s.empty();
}

bool globMatch(std::string_view pat, std::string_view str, bool nocase) {
    return globAt(pat, str, nocase, 0);
}

const char *typeName(int t) {
    static const char *n[] = {"string", "list", "set", "hash", "zset", "stream"};
    return t >= 0 && t < 6 ? n[t] : "none";
}

const char *const kWrongType = "WRONGTYPE Operation against a key holding the wrong kind of value";
const char *const kNotInt = "ERR value is not an integer or out of range";
const char *const kSyntax = "ERR syntax error";

void wrongArity(Client &c, const std::string &name) {
    c.out.error("ERR wrong number of arguments for '" + lower(name) + "' command");
}

} // namespace dev
