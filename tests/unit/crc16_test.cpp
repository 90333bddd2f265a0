#include "support/crc16.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Bit by bit, straight from the polynomial, for comparison with the table.
uint16_t bitwiseCrc16(const std::string &s) {
    uint16_t crc = 0;
    for (unsigned char c : s) {
        crc ^= static_cast<uint16_t>(c << 8);
        for (int i = 0; i < 8; i++)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

TEST(Crc16, XmodemCheckValues) {
    EXPECT_EQ(crc16("123456789", 9), 0x31C3);
    EXPECT_EQ(crc16("", 0), 0);
    EXPECT_EQ(crc16("123456789", 0), 0);
    EXPECT_EQ(crc16("\0", 1), 0) << "a zero byte leaves a zero CRC unchanged";
    EXPECT_EQ(crc16("A", 1), 0x58E5);
}

TEST(Crc16, EveryByteValueMatchesBitwiseComputation) {
    std::vector<std::string> inputs;
    for (int b = 0; b < 256; b++)
        inputs.push_back(std::string(1, static_cast<char>(b)));
    std::string all;
    for (int b = 255; b >= 0; b--)
        all.push_back(static_cast<char>(b));
    inputs.push_back(all); // bytes above 0x7f must not sign-extend
    inputs.push_back("{user1000}.following");
    inputs.push_back(std::string("bin\0ary\xff", 8));
    for (const std::string &in : inputs)
        EXPECT_EQ(crc16(in.data(), static_cast<int>(in.size())), bitwiseCrc16(in)) << in;
}

TEST(Crc16, KeySlots) {
    // Slot numbers of the cluster for a few keys (CRC modulo 16384).
    const std::pair<const char *, int> rows[] = {{"foo", 12182}, {"bar", 5061}, {"hello", 866}};
    for (auto [key, slot] : rows)
        EXPECT_EQ(crc16(key, static_cast<int>(strlen(key))) & 16383, slot) << key;
}

} // namespace
