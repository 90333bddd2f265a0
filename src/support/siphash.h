// SipHash-1-2: one compression round per 8-byte block and two finalisation
// rounds. Cheaper than the usual 2-4 variant and still keyed, which is what a
// hash table needs against crafted colliding keys.
#pragma once

#include <cstddef>
#include <cstdint>

// k points to the 16-byte key.
uint64_t siphash(const uint8_t *in, size_t inlen, const uint8_t *k);
// The same over the ASCII lower-case form of the input.
uint64_t siphash_nocase(const uint8_t *in, size_t inlen, const uint8_t *k);
