// vorn-devserver value serialisation: the payload DUMP produces, RESTORE
// reads and MIGRATE carries to its target.
//
//   type byte | body | format version (2 bytes, LE) | FNV-1a 64 checksum (8 bytes, LE)
//
// Bodies use unsigned LEB128 numbers; strings are length then bytes:
//   string  str
//   list    n, n × str
//   set     n, n × str                     (insertion order kept)
//   hash    n, n × (field str, value str)  (insertion order kept)
//   zset    n, n × (member str, score as the 8 bytes of an IEEE double, LE)
//   stream  last ms, last seq, n, n × (ms, seq, m, m × str)
#pragma once

#include "server.h"

namespace dev {

constexpr uint16_t kPayloadVersion = 1;

std::string encodePayload(const Value &v);

enum class PayloadError { None, Checksum, Format };
// Decodes a payload; Checksum when the trailer does not match (or the format
// version is unknown), Format when the body is malformed.
PayloadError decodePayload(std::string_view p, Value &out);

} // namespace dev
