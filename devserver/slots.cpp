// Key slots: CRC16 of the key, or of its hash tag (the text between the
// first "{" and the next "}" when that text is not empty), modulo 16384; and
// the slot range texts used by CLUSTER NODES and the bus.
#include "cluster.h"
#include "support/crc16.h"

namespace dev::cluster {

int keySlot(std::string_view key) {
    size_t open = key.find('{');
    if (open != std::string_view::npos) {
        size_t close = key.find('}', open + 1);
        if (close != std::string_view::npos && close > open + 1)
            key = key.substr(open + 1, close - open - 1);
    }
    return crc16(key.data(), int(key.size())) & (kSlots - 1);
}

std::string slotRanges(const std::vector<int> &owner, int who, bool comma) {
    std::string r;
    for (int i = 0; i < kSlots; i++) {
        if (owner[size_t(i)] != who) continue;
        int j = i;
        while (j + 1 < kSlots && owner[size_t(j + 1)] == who)
            j++;
        if (!r.empty()) r += comma ? ',' : ' ';
        r += std::to_string(i);
        if (j > i) r += "-" + std::to_string(j);
        i = j;
    }
    return r;
}

bool parseSlot(std::string_view s, int &slot) {
    long long v;
    if (!toLL(s, v) || v < 0 || v >= kSlots) return false;
    slot = int(v);
    return true;
}

bool parseSlotRanges(std::string_view s, std::vector<int> &out) {
    size_t pos = 0;
    while (pos < s.size()) {
        size_t end = s.find(',', pos);
        if (end == std::string_view::npos) end = s.size();
        std::string_view part = s.substr(pos, end - pos);
        size_t dash = part.find('-');
        int a, b;
        if (dash == std::string_view::npos) {
            if (!parseSlot(part, a)) return false;
            b = a;
        } else if (!parseSlot(part.substr(0, dash), a) || !parseSlot(part.substr(dash + 1), b) ||
                   b < a) {
            return false;
        }
        for (int i = a; i <= b; i++)
            out.push_back(i);
        pos = end + 1;
    }
    return true;
}

} // namespace dev::cluster

namespace dev {

void Db::indexSlot(const std::string *key, bool add) {
    if (by_slot.empty()) by_slot.resize(cluster::kSlots);
    auto &keys = by_slot[size_t(cluster::keySlot(*key))];
    if (add)
        keys.insert(key);
    else
        keys.erase(key);
}

size_t Db::countInSlot(int slot) const {
    return by_slot.empty() ? 0 : by_slot[size_t(slot)].size();
}

std::vector<std::string> Db::keysInSlot(int slot, size_t max) const {
    std::vector<std::string> r;
    if (by_slot.empty()) return r;
    for (const std::string *k : by_slot[size_t(slot)]) {
        if (r.size() >= max) break;
        r.push_back(*k);
    }
    return r;
}

} // namespace dev
