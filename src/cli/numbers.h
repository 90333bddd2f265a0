// Strict readers for the numbers users give on the command line, in the
// interactive session and in redirections sent by a server: the whole text
// must be the number, within its range, so that a typo or a hostile value is
// refused instead of being read as a different number.
#pragma once

#include <cstdint>

// What a value must be: shown in the refusal message as "(expected <what>)".
struct cliNumberRange {
    const char *what; // e.g. "a port, 1-65535"
    long long min;
    long long max;
};

// The ranges used by more than one reader.
extern const cliNumberRange cliPortRange;     // 1-65535
extern const cliNumberRange cliDatabaseRange; // 0-2147483647

// Reads a decimal integer (optional sign, no blanks) within range. Returns
// false for anything else.
bool cliParseInteger(const char *text, const cliNumberRange &range, long long *out);

// Reads a finite decimal number of seconds from 0 to max_seconds and returns
// it in microseconds; a positive value shorter than a microsecond counts as
// one, so that it never turns into "no time at all".
bool cliParseSeconds(const char *text, double max_seconds, long long *micros);

// Reads a finite number (any sign) that fits a float.
bool cliParseReal(const char *text, float *out);

// "Invalid value for option <option>: '<text>' (expected <what>)" on
// standard error.
void cliPrintInvalidNumber(const char *option, const char *text, const char *what);
// The same message, then exit status 1.
[[noreturn]] void cliInvalidNumber(const char *option, const char *text, const char *what);
