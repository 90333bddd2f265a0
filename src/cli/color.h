// The one decision on whether vorn-cli writes colour escapes at all. Every
// place that colours its output asks here, so the rule lives in one spot.
#pragma once

// False when the environment variable NO_COLOR is set to a non-empty value:
// then no hint, help text, debugger line, cluster log line or latency
// spectrum carries a colour escape. True otherwise.
bool cliColorAllowed(void);

// The escape sequence when colours are allowed, else the empty string.
const char *cliColorEscape(const char *sequence);
