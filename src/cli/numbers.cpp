// Strict number readers shared by option parsing, the session's "connect"
// and the redirection parser.
#include "cli/numbers.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

const cliNumberRange cliPortRange = {"a port, 1-65535", 1, 65535};
const cliNumberRange cliDatabaseRange = {"a database number, 0-2147483647", 0, INT_MAX};

namespace {

// strtoll and strtod skip leading blanks and stop at the first stray byte;
// neither is acceptable for a value that must be exactly a number.
bool startsLikeANumber(const char *text) {
    return text != nullptr && *text != '\0' && !isspace(static_cast<unsigned char>(*text));
}

} // namespace

bool cliParseInteger(const char *text, const cliNumberRange &range, long long *out) {
    if (!startsLikeANumber(text)) return false;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno == ERANGE || *end != '\0' || v < range.min || v > range.max) return false;
    *out = v;
    return true;
}

bool cliParseSeconds(const char *text, double max_seconds, long long *micros) {
    if (!startsLikeANumber(text)) return false;
    char *end = nullptr;
    double v = strtod(text, &end);
    if (*end != '\0' || !std::isfinite(v) || v < 0 || v > max_seconds) return false;
    long long us = static_cast<long long>(v * 1000000);
    if (us == 0 && v > 0) us = 1;
    *micros = us;
    return true;
}

bool cliParseReal(const char *text, float *out) {
    if (!startsLikeANumber(text)) return false;
    char *end = nullptr;
    double v = strtod(text, &end);
    if (*end != '\0' || !std::isfinite(v) || std::fabs(v) > 3.4e38) return false;
    *out = static_cast<float>(v);
    return true;
}

void cliPrintInvalidNumber(const char *option, const char *text, const char *what) {
    fprintf(stderr, "Invalid value for option %s: '%s' (expected %s)\n", option, text, what);
}

void cliInvalidNumber(const char *option, const char *text, const char *what) {
    cliPrintInvalidNumber(option, text, what);
    exit(1);
}
