// Reading numbers out of the text of an INFO reply.
#pragma once

#include <cstdint>

// The number after the first occurrence of field in info (a plain substring
// search, so the first match wins even inside a longer name): it starts one
// character after the name, skipping its ':' or '=', and ends at the first
// '\r' or, when that comes earlier, the first ','. INT64_MIN when the field
// does not occur.
int64_t getLongInfoField(const char *info, const char *field);
