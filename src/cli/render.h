// Reply rendering: the standard (terminal), raw and CSV forms of a decoded
// reply, the push-message printer and the coloured debugger lines.
#pragma once

#include <cstddef>
#include <cstdio>

#include "hivorn/hivorn.h"
#include "hivorn/sds.h"

// The whole reply in the given form (config.output codes). With verbatim set
// the raw form without any separator, whatever the mode. An unknown mode
// prints "Error:  Unknown output encoding %d" and exits with status 1.
hisds cliFormatReply(const vornReply *r, int mode, int verbatim);

// Writes the whole reply to fp, as cliFormatReply renders it.
void cliWriteReply(FILE *fp, const vornReply *r, int mode, int verbatim);

// The standard form; prefix is the indentation of the lines after the first.
hisds cliFormatReplyTTY(const vornReply *r, const char *prefix);
// The raw form (no trailing separator).
hisds cliFormatReplyRaw(const vornReply *r);
// The CSV form (no trailing newline).
hisds cliFormatReplyCSV(const vornReply *r);

// Push-message callback of the connection: prints the push on standard
// output and frees it.
void cliPushHandler(void *privdata, void *reply);

// Appends len bytes of text, coloured when the terminal supports colours.
hisds sdscatcolor(hisds o, const char *s, size_t len, const char *color);
// Appends one line of the script debugger in the colour its content asks for.
hisds sdsCatColorizedLdbReply(hisds o, const char *s, size_t len);
