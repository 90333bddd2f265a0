// Reply writer: the same calls produce VOSP2 or VOSP3 bytes depending on the
// protocol the connection asked for with HELLO.
#include "server.h"

#include <cmath>
#include <cstdio>

namespace dev {

static void line(std::string &b, char type, long long n) {
    char tmp[32];
    int len = snprintf(tmp, sizeof tmp, "%c%lld\r\n", type, n);
    b.append(tmp, size_t(len));
}

void ReplyWriter::consumed(size_t n) {
    constexpr size_t kKeepCapacity = 1 << 20;
    sent += n;
    if (sent == buf.size()) {
        // A huge reply's memory goes back once it is out.
        if (buf.capacity() > kKeepCapacity)
            std::string().swap(buf);
        else
            buf.clear();
        sent = 0;
    } else if (sent >= kKeepCapacity && sent >= buf.size() - sent) {
        buf.erase(0, sent);
        sent = 0;
    }
}

void ReplyWriter::status(std::string_view s) {
    buf += '+';
    // A status line cannot carry CR or LF; replace them rather than break
    // the framing.
    for (char ch : s)
        buf += (ch == '\r' || ch == '\n') ? ' ' : ch;
    buf += "\r\n";
}
void ReplyWriter::error(std::string_view s) {
    buf += '-';
    for (char ch : s)
        buf += (ch == '\r' || ch == '\n') ? ' ' : ch;
    buf += "\r\n";
}
void ReplyWriter::integer(long long v) {
    line(buf, ':', v);
}
void ReplyWriter::bulk(std::string_view s) {
    line(buf, '$', (long long)s.size());
    buf.append(s);
    buf += "\r\n";
}
void ReplyWriter::null() {
    buf += proto == 3 ? "_\r\n" : "$-1\r\n";
}
void ReplyWriter::nullArray() {
    buf += proto == 3 ? "_\r\n" : "*-1\r\n";
}
void ReplyWriter::array(size_t n) {
    line(buf, '*', (long long)n);
}
void ReplyWriter::map(size_t n) {
    if (proto == 3)
        line(buf, '%', (long long)n);
    else
        line(buf, '*', (long long)(2 * n));
}
void ReplyWriter::set(size_t n) {
    line(buf, proto == 3 ? '~' : '*', (long long)n);
}
void ReplyWriter::push(size_t n) {
    line(buf, proto == 3 ? '>' : '*', (long long)n);
}
void ReplyWriter::dbl(double d) {
    std::string t = fmtDouble(d);
    if (proto == 3) {
        buf += ',';
        buf += t;
        buf += "\r\n";
    } else {
        bulk(t);
    }
}
void ReplyWriter::boolean(bool b) {
    if (proto == 3)
        buf += b ? "#t\r\n" : "#f\r\n";
    else
        buf += b ? ":1\r\n" : ":0\r\n";
}
void ReplyWriter::verbatim(std::string_view s, const char *fmt) {
    if (proto != 3) return bulk(s);
    line(buf, '=', (long long)s.size() + 4);
    buf += fmt;
    buf += ':';
    buf.append(s);
    buf += "\r\n";
}
void ReplyWriter::bulks(const std::vector<std::string> &v) {
    array(v.size());
    for (auto &s : v)
        bulk(s);
}

} // namespace dev
