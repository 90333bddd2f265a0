#include "support/crc16.h"

#include <array>

namespace {

constexpr uint16_t kPolynomial = 0x1021;

// crc16tab[i] is the CRC of the single byte i, so the byte-wise update below
// equals shifting every bit through the polynomial.
constexpr std::array<uint16_t, 256> makeCrc16Table() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; i++) {
        uint16_t crc = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ kPolynomial)
                                 : static_cast<uint16_t>(crc << 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> crc16tab = makeCrc16Table();

static_assert(crc16tab[1] == 0x1021 && crc16tab[255] == 0x1ef0);

} // namespace

uint16_t crc16(const char *buf, int len) {
    uint16_t crc = 0;
    for (int counter = 0; counter < len; counter++) {
        uint8_t byte = static_cast<uint8_t>(buf[counter]);
        crc = static_cast<uint16_t>((crc << 8) ^ crc16tab[((crc >> 8) ^ byte) & 0xff]);
    }
    return crc;
}
