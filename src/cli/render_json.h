// The JSON output form (--json): one JSON document per reply.
#pragma once

#include <cstddef>

#include "hivorn/hivorn.h"
#include "hivorn/sds.h"

// The reply as one JSON document on one line, without the line end.
// Arrays, sets and pushes become arrays, maps objects (keys as strings),
// integers and finite doubles numbers, infinities and NaN strings, nil null,
// strings, statuses and verbatim strings strings, an error {"error": "..."}.
hisds cliFormatReplyJson(const vornReply *r);

// Appends len bytes as a JSON string, quotes included. Valid UTF-8 passes
// through; every byte that is not part of a valid UTF-8 sequence is written
// as the lone low surrogate \udcXX (XX the byte, 80 to ff), so the original
// bytes come back by mapping U+DC80..U+DCFF to bytes after decoding.
hisds cliJsonCatString(hisds o, const char *s, size_t len);
