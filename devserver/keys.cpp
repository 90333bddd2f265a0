// Key-space and string commands.
#include "server.h"

#include <cmath>

namespace dev {

static Db &db(Client &c) {
    return srv.dbs[c.db];
}

static void delCmd(Client &c, Args &a) {
    long long n = 0;
    for (size_t i = 1; i < a.size(); i++)
        if (db(c).find(a[i]) && db(c).del(a[i])) n++;
    c.out.integer(n);
}

static void existsCmd(Client &c, Args &a) {
    long long n = 0;
    for (size_t i = 1; i < a.size(); i++)
        if (db(c).find(a[i])) n++;
    c.out.integer(n);
}

static void typeCmd(Client &c, Args &a) {
    Entry *e = db(c).find(a[1]);
    c.out.status(e ? entryTypeName(*e) : "none");
}

static void keysCmd(Client &c, Args &a) {
    std::vector<std::string> r;
    for (auto &k : db(c).allKeys())
        if (globMatch(a[1], k)) r.push_back(k);
    c.out.bulks(r);
}

static void scanCmd(Client &c, Args &a) {
    unsigned long long cursor;
    {
        const std::string &s = a[1];
        char *end = nullptr;
        errno = 0;
        cursor = strtoull(s.c_str(), &end, 10);
        if (s.empty() || *end || errno || s[0] == '-') return c.out.error("ERR invalid cursor");
    }
    long long count = 10;
    std::string pattern, type;
    bool has_pat = false, has_type = false;
    for (size_t i = 2; i < a.size(); i++) {
        if (ieq(a[i], "match") && i + 1 < a.size()) {
            pattern = a[++i];
            has_pat = true;
        } else if (ieq(a[i], "count") && i + 1 < a.size()) {
            if (!toLL(a[++i], count)) return c.out.error(kNotInt);
            if (count < 1) return c.out.error(kSyntax);
        } else if (ieq(a[i], "type") && i + 1 < a.size()) {
            type = lower(a[++i]);
            has_type = true;
        } else {
            return c.out.error(kSyntax);
        }
    }
    std::vector<std::string> keys, out;
    uint64_t next = db(c).scan(cursor, size_t(count), keys);
    for (auto &k : keys) {
        if (has_pat && !globMatch(pattern, k)) continue;
        if (has_type) {
            Entry *e = db(c).find(k);
            if (!e || type != entryTypeName(*e)) continue;
        }
        out.push_back(k);
    }
    c.out.array(2);
    c.out.bulk(std::to_string(next));
    c.out.bulks(out);
}

static void randomkeyCmd(Client &c, Args &) {
    std::string k = db(c).randomKey();
    if (k.empty() && !db(c).find(k)) return c.out.null();
    c.out.bulk(k);
}

static void renameGeneric(Client &c, Args &a, bool nx) {
    Entry *e = db(c).find(a[1]);
    if (!e) return c.out.error("ERR no such key");
    if (nx && db(c).find(a[2])) return c.out.integer(0);
    if (a[1] == a[2]) return nx ? c.out.integer(0) : c.out.ok();
    Value v = std::move(e->v);
    long long exp = e->expire;
    db(c).del(a[1]);
    Entry &n = db(c).set(a[2], std::move(v));
    if (exp >= 0) setExpire(db(c), a[2], n, exp);
    invalidateKeys(&c, {a[2]});
    nx ? c.out.integer(1) : c.out.ok();
}
static void renameCmd(Client &c, Args &a) {
    renameGeneric(c, a, false);
}
static void renamenxCmd(Client &c, Args &a) {
    renameGeneric(c, a, true);
}

// EXPIRE and friends: unit 1000 for seconds, 1 for milliseconds; absolute
// for the ...AT forms.
static void expireGeneric(Client &c, Args &a, long long unit, bool absolute) {
    long long v;
    if (!toLL(a[2], v)) return c.out.error(kNotInt);
    bool nx = false, xx = false, gt = false, lt = false;
    for (size_t i = 3; i < a.size(); i++) {
        if (ieq(a[i], "nx"))
            nx = true;
        else if (ieq(a[i], "xx"))
            xx = true;
        else if (ieq(a[i], "gt"))
            gt = true;
        else if (ieq(a[i], "lt"))
            lt = true;
        else
            return c.out.error("ERR Unsupported option " + a[i]);
    }
    if ((v > 0 && v > INT64_MAX / unit) || (v < 0 && v < INT64_MIN / unit))
        return c.out.error("ERR invalid expire time in '" + lower(a[0]) + "' command");
    long long when = v * unit;
    if (!absolute) {
        long long now = nowMs();
        if (when > 0 && when > INT64_MAX - now)
            return c.out.error("ERR invalid expire time in '" + lower(a[0]) + "' command");
        when += now;
    }
    Entry *e = db(c).find(a[1]);
    if (!e) return c.out.integer(0);
    long long cur = e->expire;
    if ((nx && cur >= 0) || (xx && cur < 0) || (gt && (cur < 0 || when <= cur)) ||
        (lt && cur >= 0 && when >= cur))
        return c.out.integer(0);
    if (when <= nowMs()) {
        db(c).del(a[1]);
    } else {
        setExpire(db(c), a[1], *e, when);
    }
    c.out.integer(1);
}
static void expireCmd(Client &c, Args &a) {
    expireGeneric(c, a, 1000, false);
}
static void pexpireCmd(Client &c, Args &a) {
    expireGeneric(c, a, 1, false);
}
static void expireatCmd(Client &c, Args &a) {
    expireGeneric(c, a, 1000, true);
}
static void pexpireatCmd(Client &c, Args &a) {
    expireGeneric(c, a, 1, true);
}

static void ttlGeneric(Client &c, Args &a, bool ms) {
    Entry *e = db(c).find(a[1]);
    if (!e) return c.out.integer(-2);
    if (e->expire < 0) return c.out.integer(-1);
    long long left = e->expire - nowMs();
    if (left < 0) left = 0;
    c.out.integer(ms ? left : (left + 500) / 1000);
}
static void ttlCmd(Client &c, Args &a) {
    ttlGeneric(c, a, false);
}
static void pttlCmd(Client &c, Args &a) {
    ttlGeneric(c, a, true);
}

static void persistCmd(Client &c, Args &a) {
    Entry *e = db(c).find(a[1]);
    if (!e || e->expire < 0) return c.out.integer(0);
    setExpire(db(c), a[1], *e, -1);
    c.out.integer(1);
}

// ---- strings ----
static std::string *getString(Client &c, const std::string &k, bool &bad) {
    return getTyped<std::string>(c, k, bad);
}

static void setCmd(Client &c, Args &a) {
    bool nx = false, xx = false, get = false, keepttl = false;
    long long expire = -1;
    for (size_t i = 3; i < a.size(); i++) {
        std::string o = lower(a[i]);
        if (o == "nx" && !xx) {
            nx = true;
        } else if (o == "xx" && !nx) {
            xx = true;
        } else if (o == "get") {
            get = true;
        } else if (o == "keepttl" && expire < 0) {
            keepttl = true;
        } else if ((o == "ex" || o == "px" || o == "exat" || o == "pxat") && !keepttl &&
                   expire < 0 && i + 1 < a.size()) {
            long long v;
            if (!toLL(a[++i], v)) return c.out.error(kNotInt);
            long long unit = (o == "ex" || o == "exat") ? 1000 : 1;
            if (v <= 0 || v > INT64_MAX / unit / 2)
                return c.out.error("ERR invalid expire time in 'set' command");
            expire = v * unit + ((o == "ex" || o == "px") ? nowMs() : 0);
        } else {
            return c.out.error(kSyntax);
        }
    }
    bool bad;
    std::string *old = getString(c, a[1], bad);
    if (bad) return;
    Entry *cur = db(c).find(a[1]);
    bool exists = cur != nullptr;
    std::string oldv = old ? *old : std::string();
    if ((nx && exists) || (xx && !exists)) {
        if (get) return old ? c.out.bulk(oldv) : c.out.null();
        return c.out.null();
    }
    long long keep = (keepttl && cur) ? cur->expire : -1;
    Entry &e = db(c).set(a[1], Value(std::in_place_type<std::string>, a[2]));
    if (expire >= 0)
        setExpire(db(c), a[1], e, expire);
    else if (keep >= 0)
        setExpire(db(c), a[1], e, keep);
    if (get) return old ? c.out.bulk(oldv) : c.out.null();
    c.out.ok();
}

static void setexGeneric(Client &c, Args &a, long long unit) {
    long long v;
    if (!toLL(a[2], v)) return c.out.error(kNotInt);
    if (v <= 0 || v > INT64_MAX / unit / 2)
        return c.out.error("ERR invalid expire time in '" + lower(a[0]) + "' command");
    Entry &e = db(c).set(a[1], Value(std::in_place_type<std::string>, a[3]));
    setExpire(db(c), a[1], e, nowMs() + v * unit);
    c.out.ok();
}
static void setexCmd(Client &c, Args &a) {
    setexGeneric(c, a, 1000);
}
static void psetexCmd(Client &c, Args &a) {
    setexGeneric(c, a, 1);
}

static void setnxCmd(Client &c, Args &a) {
    if (db(c).find(a[1])) return c.out.integer(0);
    db(c).set(a[1], Value(std::in_place_type<std::string>, a[2]));
    c.out.integer(1);
}

static void getCmd(Client &c, Args &a) {
    bool bad;
    std::string *s = getString(c, a[1], bad);
    if (bad) return;
    if (!s) {
        srv.keyspace_misses++;
        return c.out.null();
    }
    srv.keyspace_hits++;
    c.out.bulk(*s);
}

static void getsetCmd(Client &c, Args &a) {
    bool bad;
    std::string *s = getString(c, a[1], bad);
    if (bad) return;
    std::string old = s ? *s : std::string();
    bool had = s != nullptr;
    db(c).set(a[1], Value(std::in_place_type<std::string>, a[2]));
    had ? c.out.bulk(old) : c.out.null();
}

static void getdelCmd(Client &c, Args &a) {
    bool bad;
    std::string *s = getString(c, a[1], bad);
    if (bad) return;
    if (!s) return c.out.null();
    std::string v = std::move(*s);
    db(c).del(a[1]);
    c.out.bulk(v);
}

static void msetCmd(Client &c, Args &a) {
    if (a.size() % 2 == 0) return wrongArity(c, a[0]);
    for (size_t i = 1; i + 1 < a.size(); i += 2)
        db(c).set(a[i], Value(std::in_place_type<std::string>, a[i + 1]));
    c.out.ok();
}

static void msetnxCmd(Client &c, Args &a) {
    if (a.size() % 2 == 0) return wrongArity(c, a[0]);
    for (size_t i = 1; i + 1 < a.size(); i += 2)
        if (db(c).find(a[i])) return c.out.integer(0);
    for (size_t i = 1; i + 1 < a.size(); i += 2)
        db(c).set(a[i], Value(std::in_place_type<std::string>, a[i + 1]));
    c.out.integer(1);
}

static void mgetCmd(Client &c, Args &a) {
    c.out.array(a.size() - 1);
    for (size_t i = 1; i < a.size(); i++) {
        Entry *e = db(c).find(a[i]);
        std::string *s = e ? std::get_if<std::string>(&e->v) : nullptr;
        s ? c.out.bulk(*s) : c.out.null();
    }
}

static void incrGeneric(Client &c, const std::string &k, long long by) {
    bool bad;
    std::string *s = getString(c, k, bad);
    if (bad) return;
    long long v = 0;
    if (s && !toLL(*s, v)) return c.out.error(kNotInt);
    if ((by > 0 && v > INT64_MAX - by) || (by < 0 && v < INT64_MIN - by))
        return c.out.error("ERR increment or decrement would overflow");
    v += by;
    if (s)
        *s = std::to_string(v);
    else
        db(c).set(k, Value(std::in_place_type<std::string>, std::to_string(v)));
    c.out.integer(v);
}
static void incrCmd(Client &c, Args &a) {
    incrGeneric(c, a[1], 1);
}
static void decrCmd(Client &c, Args &a) {
    incrGeneric(c, a[1], -1);
}
static void incrbyCmd(Client &c, Args &a) {
    long long by;
    if (!toLL(a[2], by)) return c.out.error(kNotInt);
    incrGeneric(c, a[1], by);
}
static void decrbyCmd(Client &c, Args &a) {
    long long by;
    if (!toLL(a[2], by) || by == INT64_MIN) return c.out.error(kNotInt);
    incrGeneric(c, a[1], -by);
}

static void incrbyfloatCmd(Client &c, Args &a) {
    bool bad;
    std::string *s = getString(c, a[1], bad);
    if (bad) return;
    double v = 0, by;
    if (s && !toDouble(*s, v)) return c.out.error("ERR value is not a valid float");
    if (!toDouble(a[2], by)) return c.out.error("ERR value is not a valid float");
    v += by;
    if (std::isnan(v) || std::isinf(v))
        return c.out.error("ERR increment would produce NaN or Infinity");
    std::string t = fmtDouble(v);
    if (s)
        *s = t;
    else
        db(c).set(a[1], Value(std::in_place_type<std::string>, t));
    c.out.bulk(t);
}

static void appendCmd(Client &c, Args &a) {
    bool bad;
    std::string *s = getString(c, a[1], bad);
    if (bad) return;
    if (!s) {
        db(c).set(a[1], Value(std::in_place_type<std::string>, a[2]));
        return c.out.integer((long long)a[2].size());
    }
    s->append(a[2]);
    c.out.integer((long long)s->size());
}

static void strlenCmd(Client &c, Args &a) {
    bool bad;
    std::string *s = getString(c, a[1], bad);
    if (bad) return;
    c.out.integer(s ? (long long)s->size() : 0);
}

static void getrangeCmd(Client &c, Args &a) {
    long long start, end;
    if (!toLL(a[2], start) || !toLL(a[3], end)) return c.out.error(kNotInt);
    bool bad;
    std::string *s = getString(c, a[1], bad);
    if (bad) return;
    if (!s) return c.out.bulk("");
    long long n = (long long)s->size();
    if (start < 0 && end < 0 && start > end) return c.out.bulk("");
    if (start < 0) start = std::max(0LL, n + start);
    if (end < 0) end = std::max(0LL, n + end);
    if (end >= n) end = n - 1;
    if (n == 0 || start > end) return c.out.bulk("");
    c.out.bulk(s->substr(size_t(start), size_t(end - start + 1)));
}

static void setrangeCmd(Client &c, Args &a) {
    long long off;
    if (!toLL(a[2], off)) return c.out.error(kNotInt);
    if (off < 0 || off > kMaxBulk - (long long)a[3].size())
        return c.out.error("ERR offset is out of range");
    bool bad;
    std::string *s = getString(c, a[1], bad);
    if (bad) return;
    if (!s) {
        if (a[3].empty()) return c.out.integer(0);
        s = &std::get<std::string>(db(c).set(a[1], Value(std::in_place_type<std::string>)).v);
    }
    if (!a[3].empty()) {
        if (s->size() < size_t(off) + a[3].size()) s->resize(size_t(off) + a[3].size(), '\0');
        s->replace(size_t(off), a[3].size(), a[3]);
    }
    c.out.integer((long long)s->size());
}

void registerKeyCommands(std::vector<Command> &t) {
    const unsigned W = F_WRITE | F_DENYOOM, R = F_READONLY;
    static const Command cmds[] = {
        {"del", -2, F_WRITE, 1, -1, 1, delCmd},
        {"unlink", -2, F_WRITE | F_FAST, 1, -1, 1, delCmd},
        {"exists", -2, R | F_FAST, 1, -1, 1, existsCmd},
        {"type", 2, R | F_FAST, 1, 1, 1, typeCmd},
        {"keys", 2, R, 0, 0, 0, keysCmd},
        {"scan", -2, R, 0, 0, 0, scanCmd},
        {"randomkey", 1, R, 0, 0, 0, randomkeyCmd},
        {"rename", 3, F_WRITE, 1, 2, 1, renameCmd},
        {"renamenx", 3, F_WRITE | F_FAST, 1, 2, 1, renamenxCmd},
        {"expire", -3, F_WRITE | F_FAST, 1, 1, 1, expireCmd},
        {"pexpire", -3, F_WRITE | F_FAST, 1, 1, 1, pexpireCmd},
        {"expireat", -3, F_WRITE | F_FAST, 1, 1, 1, expireatCmd},
        {"pexpireat", -3, F_WRITE | F_FAST, 1, 1, 1, pexpireatCmd},
        {"ttl", 2, R | F_FAST, 1, 1, 1, ttlCmd},
        {"pttl", 2, R | F_FAST, 1, 1, 1, pttlCmd},
        {"persist", 2, F_WRITE | F_FAST, 1, 1, 1, persistCmd},
        {"set", -3, W, 1, 1, 1, setCmd},
        {"setex", 4, W, 1, 1, 1, setexCmd},
        {"psetex", 4, W, 1, 1, 1, psetexCmd},
        {"setnx", 3, W | F_FAST, 1, 1, 1, setnxCmd},
        {"get", 2, R | F_FAST, 1, 1, 1, getCmd},
        {"getset", 3, W | F_FAST, 1, 1, 1, getsetCmd},
        {"getdel", 2, F_WRITE | F_FAST, 1, 1, 1, getdelCmd},
        {"mset", -3, W, 1, -1, 2, msetCmd},
        {"msetnx", -3, W, 1, -1, 2, msetnxCmd},
        {"mget", -2, R | F_FAST, 1, -1, 1, mgetCmd},
        {"incr", 2, W | F_FAST, 1, 1, 1, incrCmd},
        {"decr", 2, W | F_FAST, 1, 1, 1, decrCmd},
        {"incrby", 3, W | F_FAST, 1, 1, 1, incrbyCmd},
        {"decrby", 3, W | F_FAST, 1, 1, 1, decrbyCmd},
        {"incrbyfloat", 3, W | F_FAST, 1, 1, 1, incrbyfloatCmd},
        {"append", 3, W | F_FAST, 1, 1, 1, appendCmd},
        {"strlen", 2, R | F_FAST, 1, 1, 1, strlenCmd},
        {"getrange", 4, R, 1, 1, 1, getrangeCmd},
        {"substr", 4, R, 1, 1, 1, getrangeCmd},
        {"setrange", 4, W, 1, 1, 1, setrangeCmd},
    };
    registerCommands(t, cmds, std::size(cmds));
}

} // namespace dev
