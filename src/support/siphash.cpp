#include "support/siphash.h"

namespace {

constexpr int kCompressionRounds = 1;
constexpr int kFinalisationRounds = 2;

inline uint64_t rotl(uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

inline uint64_t load64le(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = (v << 8) | p[i];
    return v;
}

inline uint8_t asciiLower(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

struct SipState {
    uint64_t v0, v1, v2, v3;

    explicit SipState(const uint8_t *k) {
        uint64_t k0 = load64le(k);
        uint64_t k1 = load64le(k + 8);
        v0 = 0x736f6d6570736575ULL ^ k0;
        v1 = 0x646f72616e646f6dULL ^ k1;
        v2 = 0x6c7967656e657261ULL ^ k0;
        v3 = 0x7465646279746573ULL ^ k1;
    }

    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }

    void compress(uint64_t m) {
        v3 ^= m;
        for (int i = 0; i < kCompressionRounds; i++)
            round();
        v0 ^= m;
    }

    uint64_t finish() {
        v2 ^= 0xff;
        for (int i = 0; i < kFinalisationRounds; i++)
            round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

template <bool Nocase> uint64_t siphashImpl(const uint8_t *in, size_t inlen, const uint8_t *k) {
    SipState s(k);
    const size_t left = inlen & 7;
    const uint8_t *end = in + inlen - left;
    uint8_t block[8];

    for (; in != end; in += 8) {
        for (int i = 0; i < 8; i++)
            block[i] = Nocase ? asciiLower(in[i]) : in[i];
        s.compress(load64le(block));
    }

    // The last block holds the remaining bytes and the input length in its
    // top byte.
    uint64_t b = static_cast<uint64_t>(inlen) << 56;
    for (size_t i = 0; i < left; i++) {
        uint8_t c = Nocase ? asciiLower(in[i]) : in[i];
        b |= static_cast<uint64_t>(c) << (8 * i);
    }
    s.compress(b);
    return s.finish();
}

} // namespace

uint64_t siphash(const uint8_t *in, size_t inlen, const uint8_t *k) {
    return siphashImpl<false>(in, inlen, k);
}

uint64_t siphash_nocase(const uint8_t *in, size_t inlen, const uint8_t *k) {
    return siphashImpl<true>(in, inlen, k);
}
