#include "support/mt19937-64.h"

namespace {

constexpr int NN = 312;
constexpr int MM = 156;
constexpr unsigned long long MATRIX_A = 0xB5026F5AA96619E9ULL;
constexpr unsigned long long UM = 0xFFFFFFFF80000000ULL; // most significant 33 bits
constexpr unsigned long long LM = 0x7FFFFFFFULL;         // least significant 31 bits

unsigned long long mt[NN];
// mti == NN + 1 means the state was never seeded.
int mti = NN + 1;

} // namespace

void init_genrand64(unsigned long long seed) {
    mt[0] = seed;
    for (mti = 1; mti < NN; mti++)
        mt[mti] = 6364136223846793005ULL * (mt[mti - 1] ^ (mt[mti - 1] >> 62)) +
                  static_cast<unsigned long long>(mti);
}

void init_by_array64(const unsigned long long init_key[], unsigned long long key_length) {
    init_genrand64(19650218ULL);
    unsigned long long i = 1, j = 0;
    unsigned long long k = (NN > key_length ? NN : key_length);
    for (; k; k--) {
        mt[i] =
            (mt[i] ^ ((mt[i - 1] ^ (mt[i - 1] >> 62)) * 3935559000370003845ULL)) + init_key[j] + j;
        i++;
        j++;
        if (i >= NN) {
            mt[0] = mt[NN - 1];
            i = 1;
        }
        if (j >= key_length) j = 0;
    }
    for (k = NN - 1; k; k--) {
        mt[i] = (mt[i] ^ ((mt[i - 1] ^ (mt[i - 1] >> 62)) * 2862933555777941757ULL)) - i;
        i++;
        if (i >= NN) {
            mt[0] = mt[NN - 1];
            i = 1;
        }
    }
    mt[0] = 1ULL << 63; // non-zero initial state guaranteed
}

unsigned long long genrand64_int64(void) {
    static const unsigned long long mag01[2] = {0ULL, MATRIX_A};
    unsigned long long x;

    if (mti >= NN) { // refill all NN words at once
        // A generator used before seeding starts from the conventional
        // default seed.
        if (mti == NN + 1) init_genrand64(5489ULL);

        int i;
        for (i = 0; i < NN - MM; i++) {
            x = (mt[i] & UM) | (mt[i + 1] & LM);
            mt[i] = mt[i + MM] ^ (x >> 1) ^ mag01[static_cast<int>(x & 1ULL)];
        }
        for (; i < NN - 1; i++) {
            x = (mt[i] & UM) | (mt[i + 1] & LM);
            mt[i] = mt[i + (MM - NN)] ^ (x >> 1) ^ mag01[static_cast<int>(x & 1ULL)];
        }
        x = (mt[NN - 1] & UM) | (mt[0] & LM);
        mt[NN - 1] = mt[MM - 1] ^ (x >> 1) ^ mag01[static_cast<int>(x & 1ULL)];
        mti = 0;
    }

    x = mt[mti++];

    x ^= (x >> 29) & 0x5555555555555555ULL;
    x ^= (x << 17) & 0x71D67FFFEDA60000ULL;
    x ^= (x << 37) & 0xFFF7EEE000000000ULL;
    x ^= (x >> 43);
    return x;
}

long long genrand64_int63(void) {
    return static_cast<long long>(genrand64_int64() >> 1);
}

double genrand64_real1(void) {
    return static_cast<double>(genrand64_int64() >> 11) * (1.0 / 9007199254740991.0);
}

double genrand64_real2(void) {
    return static_cast<double>(genrand64_int64() >> 11) * (1.0 / 9007199254740992.0);
}
