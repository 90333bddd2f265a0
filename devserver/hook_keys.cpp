// Test hooks that act on keys: a key of a made-up, module-style type (TYPE
// names it, other type commands refuse it), and the actions DEVHOOK AFTER
// runs once a matching command has answered (delete a key, or give it
// another type), so that a client walking the key space meets keys that
// vanish or change between two of its requests.
#include "server.h"

namespace dev {

const char *entryTypeName(const Entry &e) {
    if (!e.module_type.empty()) return e.module_type.c_str();
    return typeName(int(e.v.index()));
}

void makeModuleKey(Client &c, const std::string &key, const std::string &type,
                   const std::string &payload) {
    Db &db = srv.dbs[size_t(c.db)];
    Entry &e = db.set(key, Value(std::in_place_type<std::string>, payload));
    e.module_type = type;
    invalidateKeys(&c, {key});
}

// A one-element value of the named type.
static bool valueOfType(const std::string &type, Value &out) {
    std::string t = lower(type);
    if (t == "string") {
        out = Value(std::in_place_type<std::string>, "x");
    } else if (t == "list") {
        out = Value(std::in_place_type<List>, List{"x"});
    } else if (t == "set") {
        SetT s;
        s.put("x", Empty{});
        out = Value(std::move(s));
    } else if (t == "hash") {
        HashT h;
        h.put("x", "x");
        out = Value(std::move(h));
    } else if (t == "zset") {
        ZSet z;
        z.scores["x"] = 1;
        z.order.insert({1, "x"});
        out = Value(std::move(z));
    } else if (t == "stream") {
        Stream st;
        st.entries.push_back({1, 0, {"x", "x"}});
        st.last_ms = 1;
        out = Value(std::move(st));
    } else {
        return false;
    }
    return true;
}

bool afterActionValid(const Args &a, size_t from, std::string &err) {
    Value v;
    if (ieq(a[from], "del") && a.size() == from + 2) return true;
    if (ieq(a[from], "retype") && a.size() == from + 3) {
        if (valueOfType(a[from + 2], v)) return true;
        err = "ERR RETYPE takes string, list, set, hash, zset or stream";
        return false;
    }
    return false;
}

void runAfterAction(Client &c, const std::vector<std::string> &action) {
    Db &db = srv.dbs[size_t(c.db)];
    const std::string &key = action[1];
    if (ieq(action[0], "del")) {
        if (!db.del(key)) return;
    } else {
        Value v;
        valueOfType(action[2], v);
        long long expire = -1;
        if (Entry *old = db.find(key)) expire = old->expire;
        Entry &e = db.set(key, std::move(v));
        if (expire >= 0) setExpire(db, key, e, expire);
    }
    std::vector<std::string> keys{key};
    touchWatched(c.db, &keys);
    invalidateKeys(nullptr, keys);
}

} // namespace dev
