// DEBUG DIGEST-VALUE key [key ...]: one SHA-1 (40 hex characters) per key,
// over a canonical rendering of the value, all zeros for a missing key.
//
// Equal values give equal digests wherever they were built: the members of
// sets and the fields of hashes are taken in sorted order, not in the order
// they were added, and every element is length-prefixed, so no two different
// values render alike. The time to live is not part of the value.
#include "server.h"

#include <algorithm>

#include <openssl/evp.h>

namespace dev {

static void putLen(std::string &o, std::string_view s) {
    uint64_t n = s.size();
    for (int i = 0; i < 8; i++)
        o += char((n >> (8 * i)) & 0xff);
    o.append(s);
}

static std::string canonical(const Value &v) {
    std::string o(1, char('A' + v.index()));
    std::visit(
        [&](auto &x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::string>) {
                putLen(o, x);
            } else if constexpr (std::is_same_v<T, List>) {
                for (auto &e : x)
                    putLen(o, e);
            } else if constexpr (std::is_same_v<T, SetT> || std::is_same_v<T, HashT>) {
                std::vector<std::string> parts;
                for (auto &e : x.items) {
                    std::string p;
                    putLen(p, e.first);
                    if constexpr (std::is_same_v<T, HashT>) putLen(p, e.second);
                    parts.push_back(std::move(p));
                }
                std::sort(parts.begin(), parts.end());
                for (auto &p : parts)
                    o += p;
            } else if constexpr (std::is_same_v<T, ZSet>) {
                for (auto &[score, member] : x.order) {
                    putLen(o, member);
                    putLen(o, fmtDouble(score));
                }
            } else {
                putLen(o, std::to_string(x.last_ms) + "-" + std::to_string(x.last_seq));
                for (auto &e : x.entries) {
                    putLen(o, std::to_string(e.ms) + "-" + std::to_string(e.seq));
                    putLen(o, std::to_string(e.fields.size()));
                    for (auto &f : e.fields)
                        putLen(o, f);
                }
            }
        },
        v);
    return o;
}

std::string valueDigest(const Value &v) {
    std::string data = canonical(v);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_sha1(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string r;
    for (unsigned int i = 0; i < len; i++) {
        r += hex[md[i] >> 4];
        r += hex[md[i] & 15];
    }
    return r;
}

void debugDigestValue(Client &c, Args &a) {
    c.out.array(a.size() - 2);
    for (size_t i = 2; i < a.size(); i++) {
        Entry *e = srv.dbs[size_t(c.db)].find(a[i]);
        c.out.bulk(e ? valueDigest(e->v) : std::string(40, '0'));
    }
}

} // namespace dev
