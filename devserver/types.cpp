// Commands of the aggregate types: lists, sets, hashes, sorted sets and a
// minimal stream.
#include "server.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace dev {

// ---- lists ----
static void pushGeneric(Client &c, Args &a, bool left) {
    bool bad;
    List *l = getOrCreate<List>(c, a[1], bad);
    if (bad) return;
    for (size_t i = 2; i < a.size(); i++)
        left ? l->push_front(a[i]) : l->push_back(a[i]);
    c.out.integer((long long)l->size());
}
static void lpushCmd(Client &c, Args &a) {
    pushGeneric(c, a, true);
}
static void rpushCmd(Client &c, Args &a) {
    pushGeneric(c, a, false);
}

static void popGeneric(Client &c, Args &a, bool left) {
    long long count = -1;
    if (a.size() > 3) return c.out.error(kSyntax);
    if (a.size() == 3 && (!toLL(a[2], count) || count < 0))
        return c.out.error("ERR value is out of range, must be positive");
    bool bad;
    List *l = getTyped<List>(c, a[1], bad);
    if (bad) return;
    if (!l) return count >= 0 ? c.out.nullArray() : c.out.null();
    if (count < 0) {
        std::string v = left ? l->front() : l->back();
        left ? l->pop_front() : l->pop_back();
        c.out.bulk(v);
    } else {
        std::vector<std::string> r;
        while (count-- > 0 && !l->empty()) {
            r.push_back(left ? l->front() : l->back());
            left ? l->pop_front() : l->pop_back();
        }
        c.out.bulks(r);
    }
    dropIfEmpty(c, a[1]);
}
static void lpopCmd(Client &c, Args &a) {
    popGeneric(c, a, true);
}
static void rpopCmd(Client &c, Args &a) {
    popGeneric(c, a, false);
}

// Normalises start/stop the usual way; false when the range is empty.
static bool normRange(long long &start, long long &stop, long long n) {
    if (start < 0) start += n;
    if (stop < 0) stop += n;
    if (start < 0) start = 0;
    if (start > stop || start >= n) return false;
    if (stop >= n) stop = n - 1;
    return true;
}

static void lrangeCmd(Client &c, Args &a) {
    long long start, stop;
    if (!toLL(a[2], start) || !toLL(a[3], stop)) return c.out.error(kNotInt);
    bool bad;
    List *l = getTyped<List>(c, a[1], bad);
    if (bad) return;
    if (!l || !normRange(start, stop, (long long)l->size())) return c.out.array(0);
    c.out.array(size_t(stop - start + 1));
    for (long long i = start; i <= stop; i++)
        c.out.bulk((*l)[size_t(i)]);
}

static void llenCmd(Client &c, Args &a) {
    bool bad;
    List *l = getTyped<List>(c, a[1], bad);
    if (!bad) c.out.integer(l ? (long long)l->size() : 0);
}

static void lindexCmd(Client &c, Args &a) {
    long long i;
    if (!toLL(a[2], i)) return c.out.error(kNotInt);
    bool bad;
    List *l = getTyped<List>(c, a[1], bad);
    if (bad) return;
    if (!l) return c.out.null();
    if (i < 0) i += (long long)l->size();
    if (i < 0 || i >= (long long)l->size()) return c.out.null();
    c.out.bulk((*l)[size_t(i)]);
}

// ---- sets ----
static void saddCmd(Client &c, Args &a) {
    bool bad;
    SetT *s = getOrCreate<SetT>(c, a[1], bad);
    if (bad) return;
    long long n = 0;
    for (size_t i = 2; i < a.size(); i++)
        n += s->put(a[i], Empty{});
    c.out.integer(n);
}
static void sremCmd(Client &c, Args &a) {
    bool bad;
    SetT *s = getTyped<SetT>(c, a[1], bad);
    if (bad) return;
    long long n = 0;
    if (s)
        for (size_t i = 2; i < a.size(); i++)
            n += s->erase(a[i]);
    c.out.integer(n);
    dropIfEmpty(c, a[1]);
}
static void smembersCmd(Client &c, Args &a) {
    bool bad;
    SetT *s = getTyped<SetT>(c, a[1], bad);
    if (bad) return;
    c.out.set(s ? s->size() : 0);
    if (s)
        for (auto &[m, e] : s->items)
            c.out.bulk(m);
}
static void scardCmd(Client &c, Args &a) {
    bool bad;
    SetT *s = getTyped<SetT>(c, a[1], bad);
    if (!bad) c.out.integer(s ? (long long)s->size() : 0);
}
static void sismemberCmd(Client &c, Args &a) {
    bool bad;
    SetT *s = getTyped<SetT>(c, a[1], bad);
    if (!bad) c.out.integer(s && s->find(a[2]) ? 1 : 0);
}

// ---- hashes ----
static void hsetCmd(Client &c, Args &a) {
    if (a.size() % 2 != 0) return wrongArity(c, a[0]);
    bool bad;
    HashT *h = getOrCreate<HashT>(c, a[1], bad);
    if (bad) return;
    long long n = 0;
    for (size_t i = 2; i + 1 < a.size(); i += 2)
        n += h->put(a[i], a[i + 1]);
    if (ieq(a[0], "hmset")) return c.out.ok();
    c.out.integer(n);
}
static void hsetnxCmd(Client &c, Args &a) {
    bool bad;
    HashT *h = getOrCreate<HashT>(c, a[1], bad);
    if (bad) return;
    if (h->find(a[2])) return c.out.integer(0);
    h->put(a[2], a[3]);
    c.out.integer(1);
}
static void hgetCmd(Client &c, Args &a) {
    bool bad;
    HashT *h = getTyped<HashT>(c, a[1], bad);
    if (bad) return;
    std::string *v = h ? h->find(a[2]) : nullptr;
    v ? c.out.bulk(*v) : c.out.null();
}
static void hmgetCmd(Client &c, Args &a) {
    bool bad;
    HashT *h = getTyped<HashT>(c, a[1], bad);
    if (bad) return;
    c.out.array(a.size() - 2);
    for (size_t i = 2; i < a.size(); i++) {
        std::string *v = h ? h->find(a[i]) : nullptr;
        v ? c.out.bulk(*v) : c.out.null();
    }
}
static void hdelCmd(Client &c, Args &a) {
    bool bad;
    HashT *h = getTyped<HashT>(c, a[1], bad);
    if (bad) return;
    long long n = 0;
    if (h)
        for (size_t i = 2; i < a.size(); i++)
            n += h->erase(a[i]);
    c.out.integer(n);
    dropIfEmpty(c, a[1]);
}
static void hgetallCmd(Client &c, Args &a) {
    bool bad;
    HashT *h = getTyped<HashT>(c, a[1], bad);
    if (bad) return;
    c.out.map(h ? h->size() : 0);
    if (h)
        for (auto &[f, v] : h->items) {
            c.out.bulk(f);
            c.out.bulk(v);
        }
}
static void hlenCmd(Client &c, Args &a) {
    bool bad;
    HashT *h = getTyped<HashT>(c, a[1], bad);
    if (!bad) c.out.integer(h ? (long long)h->size() : 0);
}
static void hkeysvals(Client &c, Args &a, bool keys) {
    bool bad;
    HashT *h = getTyped<HashT>(c, a[1], bad);
    if (bad) return;
    c.out.array(h ? h->size() : 0);
    if (h)
        for (auto &[f, v] : h->items)
            c.out.bulk(keys ? f : v);
}
static void hkeysCmd(Client &c, Args &a) {
    hkeysvals(c, a, true);
}
static void hvalsCmd(Client &c, Args &a) {
    hkeysvals(c, a, false);
}
static void hexistsCmd(Client &c, Args &a) {
    bool bad;
    HashT *h = getTyped<HashT>(c, a[1], bad);
    if (!bad) c.out.integer(h && h->find(a[2]) ? 1 : 0);
}
static void hincrbyCmd(Client &c, Args &a) {
    long long by, v = 0;
    if (!toLL(a[3], by)) return c.out.error(kNotInt);
    bool bad;
    HashT *h = getOrCreate<HashT>(c, a[1], bad);
    if (bad) return;
    std::string *cur = h->find(a[2]);
    if (cur && !toLL(*cur, v)) return c.out.error("ERR hash value is not an integer");
    if ((by > 0 && v > INT64_MAX - by) || (by < 0 && v < INT64_MIN - by))
        return c.out.error("ERR increment or decrement would overflow");
    v += by;
    h->put(a[2], std::to_string(v));
    c.out.integer(v);
}

// ---- sorted sets ----
static void zsetAdd(ZSet &z, const std::string &m, double score) {
    auto it = z.scores.find(m);
    if (it != z.scores.end()) {
        z.order.erase({it->second, m});
        it->second = score;
    } else {
        z.scores.emplace(m, score);
    }
    z.order.insert({score, m});
}

static void zaddCmd(Client &c, Args &a) {
    bool nx = false, xx = false, gt = false, lt = false, ch = false, incr = false;
    size_t i = 2;
    for (; i < a.size(); i++) {
        std::string o = lower(a[i]);
        if (o == "nx")
            nx = true;
        else if (o == "xx")
            xx = true;
        else if (o == "gt")
            gt = true;
        else if (o == "lt")
            lt = true;
        else if (o == "ch")
            ch = true;
        else if (o == "incr")
            incr = true;
        else
            break;
    }
    size_t n = a.size() - i;
    if (n == 0 || n % 2) return c.out.error(kSyntax);
    if (nx && xx) return c.out.error("ERR XX and NX options at the same time are not compatible");
    if ((gt && nx) || (lt && nx) || (gt && lt))
        return c.out.error("ERR GT, LT, and/or NX options at the same time are not compatible");
    if (incr && n != 2)
        return c.out.error("ERR INCR option supports a single increment-element pair");
    std::vector<double> scores;
    for (size_t j = i; j < a.size(); j += 2) {
        double d;
        if (!toDouble(a[j], d)) return c.out.error("ERR value is not a valid float");
        scores.push_back(d);
    }
    bool bad;
    ZSet *z = getTyped<ZSet>(c, a[1], bad);
    if (bad) return;
    if (!z) {
        if (xx) return incr ? c.out.null() : c.out.integer(0);
        z = getOrCreate<ZSet>(c, a[1], bad);
    }
    long long added = 0, changed = 0;
    double last = 0;
    bool skipped = false;
    for (size_t j = i, k = 0; j < a.size(); j += 2, k++) {
        const std::string &m = a[j + 1];
        double s = scores[k];
        auto it = z->scores.find(m);
        if (it == z->scores.end()) {
            if (xx) {
                skipped = true;
                continue;
            }
            zsetAdd(*z, m, s);
            added++;
            last = s;
        } else {
            if (nx) {
                skipped = true;
                continue;
            }
            double ns = incr ? it->second + s : s;
            if (std::isnan(ns)) return c.out.error("ERR resulting score is not a number (NaN)");
            if ((gt && ns <= it->second) || (lt && ns >= it->second)) {
                skipped = true;
                continue;
            }
            if (ns != it->second) {
                zsetAdd(*z, m, ns);
                changed++;
            }
            last = ns;
        }
    }
    dropIfEmpty(c, a[1]);
    if (incr) return skipped ? c.out.null() : c.out.dbl(last);
    c.out.integer(ch ? added + changed : added);
}

static void zrangeCmd(Client &c, Args &a) {
    long long start, stop;
    bool withscores = false, rev = false;
    for (size_t i = 4; i < a.size(); i++) {
        if (ieq(a[i], "withscores"))
            withscores = true;
        else if (ieq(a[i], "rev"))
            rev = true;
        else
            return c.out.error(kSyntax);
    }
    if (ieq(a[0], "zrevrange")) rev = true;
    if (!toLL(a[2], start) || !toLL(a[3], stop)) return c.out.error(kNotInt);
    bool bad;
    ZSet *z = getTyped<ZSet>(c, a[1], bad);
    if (bad) return;
    if (!z || !normRange(start, stop, (long long)z->size())) return c.out.array(0);
    std::vector<const std::pair<double, std::string> *> v;
    for (auto &p : z->order)
        v.push_back(&p);
    if (rev) std::reverse(v.begin(), v.end());
    size_t n = size_t(stop - start + 1);
    if (withscores && c.out.proto == 3) {
        c.out.array(n);
        for (long long i = start; i <= stop; i++) {
            c.out.array(2);
            c.out.bulk(v[size_t(i)]->second);
            c.out.dbl(v[size_t(i)]->first);
        }
        return;
    }
    c.out.array(withscores ? 2 * n : n);
    for (long long i = start; i <= stop; i++) {
        c.out.bulk(v[size_t(i)]->second);
        if (withscores) c.out.bulk(fmtDouble(v[size_t(i)]->first));
    }
}

static void zcardCmd(Client &c, Args &a) {
    bool bad;
    ZSet *z = getTyped<ZSet>(c, a[1], bad);
    if (!bad) c.out.integer(z ? (long long)z->size() : 0);
}
static void zscoreCmd(Client &c, Args &a) {
    bool bad;
    ZSet *z = getTyped<ZSet>(c, a[1], bad);
    if (bad) return;
    if (!z) return c.out.null();
    auto it = z->scores.find(a[2]);
    if (it == z->scores.end()) return c.out.null();
    c.out.dbl(it->second);
}
static void zremCmd(Client &c, Args &a) {
    bool bad;
    ZSet *z = getTyped<ZSet>(c, a[1], bad);
    if (bad) return;
    long long n = 0;
    if (z)
        for (size_t i = 2; i < a.size(); i++) {
            auto it = z->scores.find(a[i]);
            if (it == z->scores.end()) continue;
            z->order.erase({it->second, a[i]});
            z->scores.erase(it);
            n++;
        }
    c.out.integer(n);
    dropIfEmpty(c, a[1]);
}

// ---- streams ----
static bool parseId(const std::string &s, uint64_t &ms, uint64_t &seq, bool &seq_given,
                    uint64_t dflt_seq) {
    size_t dash = s.find('-');
    std::string a = s.substr(0, dash);
    char *end;
    if (a.empty() || a[0] == '-') return false;
    errno = 0;
    ms = strtoull(a.c_str(), &end, 10);
    if (*end || errno) return false;
    seq_given = dash != std::string::npos;
    if (!seq_given) {
        seq = dflt_seq;
        return true;
    }
    std::string b = s.substr(dash + 1);
    if (b == "*") {
        seq_given = false;
        return true;
    }
    if (b.empty() || b[0] == '-') return false;
    seq = strtoull(b.c_str(), &end, 10);
    return !*end && !errno;
}

static std::string idText(uint64_t ms, uint64_t seq) {
    return std::to_string(ms) + "-" + std::to_string(seq);
}

static void xaddCmd(Client &c, Args &a) {
    size_t i = 2;
    bool nomkstream = false;
    if (ieq(a[i], "nomkstream")) {
        nomkstream = true;
        i++;
    }
    if (i >= a.size()) return wrongArity(c, "xadd");
    const std::string id = a[i++];
    if (i >= a.size() || (a.size() - i) % 2) return wrongArity(c, "xadd");
    bool bad;
    Stream *st = getTyped<Stream>(c, a[1], bad);
    if (bad) return;
    uint64_t ms, seq = 0;
    if (id == "*") {
        ms = uint64_t(nowMs());
        if (st && ms <= st->last_ms) {
            ms = st->last_ms;
            seq = st->last_seq + 1;
        }
    } else {
        bool seq_given;
        if (!parseId(id, ms, seq, seq_given, 0))
            return c.out.error("ERR Invalid stream ID specified as stream command argument");
        if (!seq_given) seq = (st && st->last_ms == ms) ? st->last_seq + 1 : (ms == 0 ? 1 : 0);
        if (ms == 0 && seq == 0)
            return c.out.error("ERR The ID specified in XADD must be greater than 0-0");
        if (st && (ms < st->last_ms || (ms == st->last_ms && seq <= st->last_seq)))
            return c.out.error("ERR The ID specified in XADD is equal or smaller than the "
                               "target stream top item");
    }
    if (!st) {
        if (nomkstream) return c.out.null();
        st = getOrCreate<Stream>(c, a[1], bad);
    }
    StreamEntry e{ms, seq, Args(a.begin() + long(i), a.end())};
    st->entries.push_back(std::move(e));
    st->last_ms = ms;
    st->last_seq = seq;
    c.out.bulk(idText(ms, seq));
}

static void xlenCmd(Client &c, Args &a) {
    bool bad;
    Stream *st = getTyped<Stream>(c, a[1], bad);
    if (!bad) c.out.integer(st ? (long long)st->entries.size() : 0);
}

static void xrangeCmd(Client &c, Args &a) {
    bool rev = ieq(a[0], "xrevrange");
    std::string lo = rev ? a[3] : a[2], hi = rev ? a[2] : a[3];
    uint64_t lms = 0, lseq = 0, hms = UINT64_MAX, hseq = UINT64_MAX;
    bool g;
    if (lo != "-" && !parseId(lo, lms, lseq, g, 0))
        return c.out.error("ERR Invalid stream ID specified as stream command argument");
    if (hi != "+" && !parseId(hi, hms, hseq, g, UINT64_MAX))
        return c.out.error("ERR Invalid stream ID specified as stream command argument");
    long long count = -1;
    if (a.size() == 6 && ieq(a[4], "count")) {
        if (!toLL(a[5], count)) return c.out.error(kNotInt);
    } else if (a.size() != 4) {
        return c.out.error(kSyntax);
    }
    bool bad;
    Stream *st = getTyped<Stream>(c, a[1], bad);
    if (bad) return;
    std::vector<const StreamEntry *> r;
    if (st)
        for (auto &e : st->entries) {
            auto k = std::make_pair(e.ms, e.seq);
            if (k >= std::make_pair(lms, lseq) && k <= std::make_pair(hms, hseq)) r.push_back(&e);
        }
    if (rev) std::reverse(r.begin(), r.end());
    if (count >= 0 && r.size() > size_t(count)) r.resize(size_t(count));
    c.out.array(r.size());
    for (auto *e : r) {
        c.out.array(2);
        c.out.bulk(idText(e->ms, e->seq));
        c.out.bulks(e->fields);
    }
}

void registerTypeCommands(std::vector<Command> &t) {
    const unsigned W = F_WRITE | F_DENYOOM, R = F_READONLY;
    static const Command cmds[] = {
        {"lpush", -3, W | F_FAST, 1, 1, 1, lpushCmd},
        {"rpush", -3, W | F_FAST, 1, 1, 1, rpushCmd},
        {"lpop", -2, F_WRITE | F_FAST, 1, 1, 1, lpopCmd},
        {"rpop", -2, F_WRITE | F_FAST, 1, 1, 1, rpopCmd},
        {"lrange", 4, R, 1, 1, 1, lrangeCmd},
        {"llen", 2, R | F_FAST, 1, 1, 1, llenCmd},
        {"lindex", 3, R, 1, 1, 1, lindexCmd},
        {"sadd", -3, W | F_FAST, 1, 1, 1, saddCmd},
        {"srem", -3, F_WRITE | F_FAST, 1, 1, 1, sremCmd},
        {"smembers", 2, R, 1, 1, 1, smembersCmd},
        {"scard", 2, R | F_FAST, 1, 1, 1, scardCmd},
        {"sismember", 3, R | F_FAST, 1, 1, 1, sismemberCmd},
        {"hset", -4, W | F_FAST, 1, 1, 1, hsetCmd},
        {"hmset", -4, W | F_FAST, 1, 1, 1, hsetCmd},
        {"hsetnx", 4, W | F_FAST, 1, 1, 1, hsetnxCmd},
        {"hget", 3, R | F_FAST, 1, 1, 1, hgetCmd},
        {"hmget", -3, R | F_FAST, 1, 1, 1, hmgetCmd},
        {"hdel", -3, F_WRITE | F_FAST, 1, 1, 1, hdelCmd},
        {"hgetall", 2, R, 1, 1, 1, hgetallCmd},
        {"hlen", 2, R | F_FAST, 1, 1, 1, hlenCmd},
        {"hkeys", 2, R, 1, 1, 1, hkeysCmd},
        {"hvals", 2, R, 1, 1, 1, hvalsCmd},
        {"hexists", 3, R | F_FAST, 1, 1, 1, hexistsCmd},
        {"hincrby", 4, W | F_FAST, 1, 1, 1, hincrbyCmd},
        {"zadd", -4, W | F_FAST, 1, 1, 1, zaddCmd},
        {"zrange", -4, R, 1, 1, 1, zrangeCmd},
        {"zrevrange", -4, R, 1, 1, 1, zrangeCmd},
        {"zcard", 2, R | F_FAST, 1, 1, 1, zcardCmd},
        {"zscore", 3, R | F_FAST, 1, 1, 1, zscoreCmd},
        {"zrem", -3, F_WRITE | F_FAST, 1, 1, 1, zremCmd},
        {"xadd", -5, W | F_FAST, 1, 1, 1, xaddCmd},
        {"xlen", 2, R | F_FAST, 1, 1, 1, xlenCmd},
        {"xrange", -4, R, 1, 1, 1, xrangeCmd},
        {"xrevrange", -4, R, 1, 1, 1, xrangeCmd},
    };
    registerCommands(t, cmds, std::size(cmds));
}

} // namespace dev
