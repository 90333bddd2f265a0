// CRC-16/XMODEM (polynomial 0x1021, initial value 0, no reflection, no final
// XOR), the hash behind the cluster's key slots.
#pragma once

#include <cstdint>

uint16_t crc16(const char *buf, int len);
