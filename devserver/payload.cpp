// Value serialisation for DUMP / RESTORE / MIGRATE (format in payload.h).
// The decoder reads bytes from the network: every count is checked against
// the bytes left before anything is allocated, and malformed input is an
// error, never a crash or a partly built value.
#include "payload.h"

#include <cmath>
#include <cstring>

namespace dev {

namespace {

uint64_t fnv1a(std::string_view s) {
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char ch : s)
        h = (h ^ ch) * 1099511628211ULL;
    return h;
}

void putNum(std::string &o, uint64_t v) {
    while (v >= 0x80) {
        o += char((v & 0x7f) | 0x80);
        v >>= 7;
    }
    o += char(v);
}

void putStr(std::string &o, std::string_view s) {
    putNum(o, s.size());
    o.append(s);
}

void putFixed(std::string &o, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; i++)
        o += char((v >> (8 * i)) & 0xff);
}

uint64_t getFixed(std::string_view s, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; i++)
        v |= uint64_t((unsigned char)s[size_t(i)]) << (8 * i);
    return v;
}

struct Reader {
    std::string_view s;
    size_t pos = 0;
    bool ok = true;

    size_t left() const { return s.size() - pos; }
    uint64_t num() {
        uint64_t v = 0;
        for (int shift = 0; ok && shift < 64; shift += 7) {
            if (pos >= s.size()) break;
            unsigned char b = (unsigned char)s[pos++];
            v |= uint64_t(b & 0x7f) << shift;
            if (!(b & 0x80)) return v;
        }
        ok = false;
        return 0;
    }
    // A count of items that take at least `min_bytes` each.
    size_t count(size_t min_bytes) {
        uint64_t n = num();
        if (!ok || n > left() / min_bytes) ok = false;
        return ok ? size_t(n) : 0;
    }
    std::string str() {
        uint64_t n = num();
        if (!ok || n > left()) {
            ok = false;
            return {};
        }
        std::string r(s.substr(pos, size_t(n)));
        pos += size_t(n);
        return r;
    }
    double score() {
        if (left() < 8) {
            ok = false;
            return 0;
        }
        uint64_t bits = getFixed(s.substr(pos), 8);
        pos += 8;
        double d;
        memcpy(&d, &bits, sizeof d);
        if (std::isnan(d)) ok = false;
        return d;
    }
};

} // namespace

std::string encodePayload(const Value &v) {
    std::string o;
    o += char(v.index());
    std::visit(
        [&](auto &x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::string>) {
                putStr(o, x);
            } else if constexpr (std::is_same_v<T, List>) {
                putNum(o, x.size());
                for (auto &e : x)
                    putStr(o, e);
            } else if constexpr (std::is_same_v<T, SetT>) {
                putNum(o, x.size());
                for (auto &e : x.items)
                    putStr(o, e.first);
            } else if constexpr (std::is_same_v<T, HashT>) {
                putNum(o, x.size());
                for (auto &e : x.items) {
                    putStr(o, e.first);
                    putStr(o, e.second);
                }
            } else if constexpr (std::is_same_v<T, ZSet>) {
                putNum(o, x.size());
                for (auto &[score, member] : x.order) {
                    putStr(o, member);
                    uint64_t bits;
                    memcpy(&bits, &score, sizeof bits);
                    putFixed(o, bits, 8);
                }
            } else {
                putNum(o, x.last_ms);
                putNum(o, x.last_seq);
                putNum(o, x.entries.size());
                for (auto &e : x.entries) {
                    putNum(o, e.ms);
                    putNum(o, e.seq);
                    putNum(o, e.fields.size());
                    for (auto &f : e.fields)
                        putStr(o, f);
                }
            }
        },
        v);
    putFixed(o, kPayloadVersion, 2);
    putFixed(o, fnv1a(o), 8);
    return o;
}

static bool decodeBody(Reader &r, int type, Value &out) {
    switch (type) {
    case T_STRING:
        out = r.str();
        break;
    case T_LIST: {
        List l;
        for (size_t i = 0, n = r.count(1); r.ok && i < n; i++)
            l.push_back(r.str());
        out = std::move(l);
        break;
    }
    case T_SET: {
        SetT s;
        for (size_t i = 0, n = r.count(1); r.ok && i < n; i++)
            if (!s.put(r.str(), Empty{})) r.ok = false; // a member twice
        out = std::move(s);
        break;
    }
    case T_HASH: {
        HashT h;
        for (size_t i = 0, n = r.count(2); r.ok && i < n; i++) {
            std::string f = r.str();
            if (!h.put(f, r.str())) r.ok = false;
        }
        out = std::move(h);
        break;
    }
    case T_ZSET: {
        ZSet z;
        for (size_t i = 0, n = r.count(9); r.ok && i < n; i++) {
            std::string m = r.str();
            double sc = r.score();
            if (!r.ok || !z.scores.emplace(m, sc).second) {
                r.ok = false;
                break;
            }
            z.order.emplace(sc, m);
        }
        out = std::move(z);
        break;
    }
    case T_STREAM: {
        Stream st;
        st.last_ms = r.num();
        st.last_seq = r.num();
        for (size_t i = 0, n = r.count(3); r.ok && i < n; i++) {
            StreamEntry e;
            e.ms = r.num();
            e.seq = r.num();
            for (size_t j = 0, m = r.count(1); r.ok && j < m; j++)
                e.fields.push_back(r.str());
            // Entries are kept in ID order and never beyond the last ID.
            if (!st.entries.empty()) {
                auto &p = st.entries.back();
                if (e.ms < p.ms || (e.ms == p.ms && e.seq <= p.seq)) r.ok = false;
            }
            if (e.ms > st.last_ms || (e.ms == st.last_ms && e.seq > st.last_seq)) r.ok = false;
            st.entries.push_back(std::move(e));
        }
        out = std::move(st);
        break;
    }
    default:
        return false;
    }
    return r.ok;
}

PayloadError decodePayload(std::string_view p, Value &out) {
    if (p.size() < 1 + 10) return PayloadError::Checksum;
    std::string_view body = p.substr(0, p.size() - 8);
    if (getFixed(p.substr(p.size() - 8), 8) != fnv1a(body) ||
        getFixed(p.substr(p.size() - 10), 2) != kPayloadVersion)
        return PayloadError::Checksum;
    Reader r{p.substr(1, p.size() - 11)};
    if (!decodeBody(r, (unsigned char)p[0], out) || r.left() != 0) return PayloadError::Format;
    // Lists, sets, hashes and sorted sets exist only while they hold something.
    bool empty = std::visit(
        [](auto &v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, Stream>)
                return false;
            else
                return v.size() == 0;
        },
        out);
    if (empty) return PayloadError::Format;
    return PayloadError::None;
}

} // namespace dev
