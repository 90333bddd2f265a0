// Snapshot writer and loader (format in snapshot.h). The loader trusts
// nothing in the file: every length is checked against what is really there
// before memory is committed, and the checksum is verified before the keys
// replace anything.
#include "snapshot.h"

#include "server.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_set>

namespace dev {

// ---- checksum ----
static uint64_t rotl(uint64_t x, int r) {
    return (x << r) | (x >> (64 - r));
}

void SnapshotSum::word(uint64_t w) {
    h_ = rotl((h_ ^ w) * 0x9E3779B97F4A7C15ULL, 29);
}

void SnapshotSum::update(const void *data, size_t len) {
    auto *p = static_cast<const unsigned char *>(data);
    total_ += len;
    if (tail_len_) {
        size_t take = std::min<size_t>(8 - tail_len_, len);
        memcpy(tail_ + tail_len_, p, take);
        tail_len_ += take;
        p += take;
        len -= take;
        if (tail_len_ < 8) return; // the input ended inside the pending word
        uint64_t w;
        memcpy(&w, tail_, 8);
        word(w);
        tail_len_ = 0;
    }
    for (; len >= 8; p += 8, len -= 8) {
        uint64_t w;
        memcpy(&w, p, 8);
        word(w);
    }
    memcpy(tail_, p, len);
    tail_len_ = len;
}

uint64_t SnapshotSum::value() const {
    uint64_t h = h_;
    if (tail_len_) {
        unsigned char t[8] = {};
        memcpy(t, tail_, tail_len_);
        uint64_t w;
        memcpy(&w, t, 8);
        h = rotl((h ^ w) * 0x9E3779B97F4A7C15ULL, 29);
    }
    h ^= total_;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    h ^= h >> 33;
    return h;
}

// ---- writer ----
static void putU64(std::string &s, uint64_t v) {
    for (int i = 0; i < 8; i++)
        s += char((v >> (8 * i)) & 0xff);
}
static void putU32(std::string &s, uint32_t v) {
    for (int i = 0; i < 4; i++)
        s += char((v >> (8 * i)) & 0xff);
}
static void putStr(std::string &s, const std::string &v) {
    putU32(s, uint32_t(v.size()));
    s += v;
}
static void putDouble(std::string &s, double d) {
    uint64_t bits;
    memcpy(&bits, &d, 8);
    putU64(s, bits);
}

static void putValue(std::string &s, const Value &v) {
    std::visit(
        [&](auto &x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::string>) {
                putStr(s, x);
            } else if constexpr (std::is_same_v<T, List>) {
                putU64(s, x.size());
                for (auto &e : x)
                    putStr(s, e);
            } else if constexpr (std::is_same_v<T, SetT>) {
                putU64(s, x.size());
                for (auto &e : x.items)
                    putStr(s, e.first);
            } else if constexpr (std::is_same_v<T, HashT>) {
                putU64(s, x.size());
                for (auto &e : x.items) {
                    putStr(s, e.first);
                    putStr(s, e.second);
                }
            } else if constexpr (std::is_same_v<T, ZSet>) {
                putU64(s, x.size());
                for (auto &[score, member] : x.order) {
                    putStr(s, member);
                    putDouble(s, score);
                }
            } else {
                putU64(s, x.last_ms);
                putU64(s, x.last_seq);
                putU64(s, x.entries.size());
                for (auto &e : x.entries) {
                    putU64(s, e.ms);
                    putU64(s, e.seq);
                    putU64(s, e.fields.size());
                    for (auto &f : e.fields)
                        putStr(s, f);
                }
            }
        },
        v);
}

std::string snapshotBody() {
    std::string s(kSnapMagic, 8);
    s += char(kSnapVersion);
    for (size_t i = 0; i < srv.dbs.size(); i++) {
        Db &db = srv.dbs[i];
        if (!db.size()) continue;
        s += char(kSnapSelect);
        putU32(s, uint32_t(i));
        for (auto &k : db.allKeys()) {
            Entry *e = db.find(k);
            if (!e) continue;
            s += char(e->v.index());
            putU64(s, uint64_t(e->expire));
            putStr(s, k);
            putValue(s, e->v);
        }
    }
    return s;
}

std::string snapshotPadHeader(uint64_t n) {
    std::string s(1, char(kSnapPad));
    putU64(s, n);
    return s;
}

std::string snapshotEnd(SnapshotSum &sum) {
    std::string s(1, char(kSnapEnd));
    sum.update(s.data(), 1);
    putU64(s, sum.value());
    return s;
}

// ---- loader ----
namespace {

struct Failure {
    std::string why;
};

class Reader {
  public:
    explicit Reader(FILE *f) : f_(f) {}

    // Exactly n bytes into dst, or a failure naming what was being read.
    void read(void *dst, size_t n, const char *what) {
        if (fread(dst, 1, n, f_) != n) {
            if (ferror(f_)) throw Failure{std::string("read error: ") + strerror(errno)};
            throw Failure{std::string("truncated snapshot (in ") + what + " at offset " +
                          std::to_string(off_) + ")"};
        }
        sum_.update(dst, n);
        off_ += n;
    }
    uint8_t u8(const char *what) {
        unsigned char b;
        read(&b, 1, what);
        return b;
    }
    uint64_t u64(const char *what) {
        unsigned char b[8];
        read(b, 8, what);
        uint64_t v = 0;
        for (int i = 7; i >= 0; i--)
            v = (v << 8) | b[i];
        return v;
    }
    uint32_t u32(const char *what) {
        unsigned char b[4];
        read(b, 4, what);
        return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    }
    // A string grows with the bytes actually read, so a corrupt length
    // cannot make the loader reserve memory the file does not back.
    std::string str(const char *what) {
        uint32_t n = u32(what);
        if (n > kMaxBulk) throw Failure{std::string("string too long in ") + what};
        std::string s;
        while (s.size() < n) {
            size_t k = std::min<size_t>(n - s.size(), 1 << 20);
            size_t at = s.size();
            s.resize(at + k);
            read(s.data() + at, k, what);
        }
        return s;
    }
    void skipZeros(uint64_t n) {
        char buf[65536];
        while (n) {
            size_t k = size_t(std::min<uint64_t>(n, sizeof buf));
            read(buf, k, "padding");
            for (size_t i = 0; i < k; i++)
                if (buf[i]) throw Failure{"non-zero byte in padding"};
            n -= k;
        }
    }
    uint64_t sum() const { return sum_.value(); }
    uint64_t offset() const { return off_; }
    bool atEnd() { return fgetc(f_) == EOF; }

  private:
    FILE *f_;
    SnapshotSum sum_;
    uint64_t off_ = 0;
};

// The server never keeps an empty list, set, hash or sorted set (the last
// element removed removes the key); a file holding one is not ours.
uint64_t nonEmpty(uint64_t n, const char *what) {
    if (n == 0) throw Failure{std::string("empty ") + what};
    return n;
}

Value readValue(Reader &r, uint8_t type) {
    switch (type) {
    case T_STRING:
        return r.str("string value");
    case T_LIST: {
        List l;
        for (uint64_t n = nonEmpty(r.u64("list length"), "list"); n; n--)
            l.push_back(r.str("list element"));
        return l;
    }
    case T_SET: {
        SetT s;
        for (uint64_t n = nonEmpty(r.u64("set size"), "set"); n; n--)
            if (!s.put(r.str("set member"), Empty{})) throw Failure{"duplicate set member"};
        return s;
    }
    case T_HASH: {
        HashT h;
        for (uint64_t n = nonEmpty(r.u64("hash size"), "hash"); n; n--) {
            std::string f = r.str("hash field");
            if (!h.put(f, r.str("hash value"))) throw Failure{"duplicate hash field"};
        }
        return h;
    }
    case T_ZSET: {
        ZSet z;
        for (uint64_t n = nonEmpty(r.u64("sorted set size"), "sorted set"); n; n--) {
            std::string m = r.str("sorted set member");
            uint64_t bits = r.u64("score");
            double d;
            memcpy(&d, &bits, 8);
            if (std::isnan(d)) throw Failure{"score is not a number"};
            if (!z.scores.emplace(m, d).second) throw Failure{"duplicate sorted set member"};
            z.order.emplace(d, m);
        }
        return z;
    }
    default: {
        Stream st;
        st.last_ms = r.u64("stream");
        st.last_seq = r.u64("stream");
        for (uint64_t n = r.u64("stream length"); n; n--) {
            StreamEntry e;
            e.ms = r.u64("stream entry");
            e.seq = r.u64("stream entry");
            for (uint64_t m = r.u64("stream entry"); m; m--)
                e.fields.push_back(r.str("stream field"));
            // Lookups rely on ascending IDs, none above the last one given.
            bool after = st.entries.empty() || e.ms > st.entries.back().ms ||
                         (e.ms == st.entries.back().ms && e.seq > st.entries.back().seq);
            if (!after) throw Failure{"stream entries out of order"};
            st.entries.push_back(std::move(e));
        }
        if (!st.entries.empty()) {
            const StreamEntry &b = st.entries.back();
            if (b.ms > st.last_ms || (b.ms == st.last_ms && b.seq > st.last_seq))
                throw Failure{"stream entry after the stream's last ID"};
        }
        return st;
    }
    }
}

struct Loaded {
    int db;
    std::string key;
    Value v;
    long long expire;
};

} // namespace

bool loadSnapshot(const std::string &path, std::string &err) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) {
        err = strerror(errno);
        return false;
    }
    std::vector<Loaded> keys;
    std::vector<std::unordered_set<std::string>> seen(srv.dbs.size());
    try {
        Reader r(f);
        char magic[8];
        r.read(magic, 8, "header");
        if (memcmp(magic, kSnapMagic, 8) != 0) throw Failure{"not a vorn-devserver snapshot"};
        uint8_t ver = r.u8("header");
        if (ver != kSnapVersion)
            throw Failure{"unsupported snapshot version " + std::to_string(ver)};
        int db = 0;
        for (;;) {
            uint64_t at = r.offset();
            uint8_t op = r.u8("record");
            if (op == kSnapEnd) {
                uint64_t want = r.sum();
                if (r.u64("checksum") != want) throw Failure{"checksum mismatch"};
                if (!r.atEnd()) throw Failure{"data after the end record"};
                break;
            }
            if (op == kSnapSelect) {
                uint32_t n = r.u32("database number");
                if (n >= srv.dbs.size())
                    throw Failure{"database " + std::to_string(n) +
                                  " out of range (the server has " +
                                  std::to_string(srv.dbs.size()) + ")"};
                db = int(n);
            } else if (op == kSnapPad) {
                r.skipZeros(r.u64("padding length"));
            } else if (op <= T_STREAM) {
                long long expire = (long long)r.u64("expiry");
                if (expire < -1) throw Failure{"bad expiry"};
                std::string key = r.str("key");
                if (!seen[size_t(db)].insert(key).second)
                    throw Failure{"duplicate key '" + key + "' in database " + std::to_string(db)};
                Value v = readValue(r, op);
                keys.push_back({db, std::move(key), std::move(v), expire});
            } else {
                char b[8];
                snprintf(b, sizeof b, "0x%02x", op);
                throw Failure{std::string("unknown record type ") + b + " at offset " +
                              std::to_string(at)};
            }
        }
    } catch (const Failure &fail) {
        fclose(f);
        err = fail.why;
        return false;
    }
    fclose(f);
    long long now = nowMs();
    for (auto &k : keys) {
        if (k.expire >= 0 && k.expire <= now) continue; // expired while stored
        Db &d = srv.dbs[size_t(k.db)];
        Entry &e = d.set(k.key, std::move(k.v));
        if (k.expire >= 0) setExpire(d, k.key, e, k.expire);
    }
    return true;
}

} // namespace dev
