#include "cli/color.h"

#include <cstdlib>

bool cliColorAllowed(void) {
    // Read each time rather than cached: the tests of the process that set
    // and clear the variable see the current value, and the cost is a
    // getenv per coloured line.
    const char *v = getenv("NO_COLOR");
    return v == nullptr || *v == '\0';
}

const char *cliColorEscape(const char *sequence) {
    return cliColorAllowed() ? sequence : "";
}
