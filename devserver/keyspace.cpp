// Keyspace: one Db per database number, with real expiry (checked on every
// access and swept periodically) and a stable scan order so that a full SCAN
// iteration returns every key that existed throughout exactly once.
#include "server.h"

#include <random>

namespace dev {

Entry *Db::find(const std::string &k) {
    auto it = map.find(k);
    if (it == map.end()) return nullptr;
    if (it->second.expire >= 0 && it->second.expire <= nowMs()) {
        srv.expired_keys++;
        std::string key = k; // k may refer to the key being erased
        del(key);
        invalidateKeys(nullptr, {key});
        return nullptr;
    }
    return &it->second;
}

Entry &Db::set(const std::string &k, Value v) {
    auto it = map.find(k);
    if (it != map.end()) {
        it->second.v = std::move(v);
        it->second.module_type.clear();
        if (it->second.expire >= 0) {
            it->second.expire = -1;
            volatile_keys.erase(k);
        }
        return it->second;
    }
    auto res = map.emplace(k, Entry{std::move(v), -1, next_seq});
    order.emplace(next_seq++, &res.first->first);
    if (srv.cluster_enabled) indexSlot(&res.first->first, true);
    return res.first->second;
}

bool Db::del(const std::string &k) {
    auto it = map.find(k);
    if (it == map.end()) return false;
    order.erase(it->second.seq);
    if (srv.cluster_enabled) indexSlot(&it->first, false);
    if (it->second.expire >= 0) volatile_keys.erase(k);
    memoryForget(it->second);
    map.erase(it);
    return true;
}

size_t Db::expires() const {
    return volatile_keys.size();
}

void Db::clear() {
    for (auto &[k, e] : map)
        memoryForget(e);
    map.clear();
    order.clear();
    by_slot.clear();
    volatile_keys.clear();
}

void setExpire(Db &db, const std::string &k, Entry &e, long long when) {
    e.expire = when;
    if (when >= 0)
        db.volatile_keys.insert(k);
    else
        db.volatile_keys.erase(k);
}

uint64_t Db::scan(uint64_t cursor, size_t count, std::vector<std::string> &out) {
    long long now = nowMs();
    auto it = order.lower_bound(cursor);
    size_t visited = 0;
    while (it != order.end() && visited < count) {
        const Entry &e = map.at(*it->second);
        if (e.expire < 0 || e.expire > now) out.push_back(*it->second);
        ++it;
        visited++;
    }
    return it == order.end() ? 0 : it->first;
}

std::string Db::randomKey() {
    static std::mt19937_64 rng(12345);
    for (int tries = 0; tries < 100 && !map.empty(); tries++) {
        auto it = order.begin();
        std::advance(it, long(rng() % order.size()));
        std::string k = *it->second;
        if (find(k)) return k;
    }
    return {};
}

void Db::activeExpire(long long now) {
    if (volatile_keys.empty()) return;
    std::vector<std::string> gone;
    size_t checked = 0;
    for (auto &k : volatile_keys) {
        if (++checked > 2000) break;
        auto it = map.find(k);
        if (it != map.end() && it->second.expire <= now) gone.push_back(k);
    }
    for (auto &k : gone) {
        del(k);
        srv.expired_keys++;
    }
    if (!gone.empty()) invalidateKeys(nullptr, gone);
}

std::vector<std::string> Db::allKeys() {
    std::vector<std::string> r;
    long long now = nowMs();
    for (auto &[seq, k] : order) {
        const Entry &e = map.at(*k);
        if (e.expire < 0 || e.expire > now) r.push_back(*k);
    }
    return r;
}

void dropIfEmpty(Client &c, const std::string &k) {
    Db &db = srv.dbs[c.db];
    Entry *e = db.find(k);
    if (!e) return;
    bool empty = std::visit(
        [](auto &v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>)
                return false;
            else if constexpr (std::is_same_v<T, Stream>)
                return false;
            else
                return v.size() == 0;
        },
        e->v);
    if (empty) db.del(k);
}

} // namespace dev
