#include "modes/info_field.h"

#include <cstdlib>
#include <cstring>
#include <string>

int64_t getLongInfoField(const char *info, const char *field) {
    const char *p = strstr(info, field);
    if (p == nullptr) return INT64_MIN;
    p += strlen(field);
    // A name at the very end of the text has no separator to skip.
    if (*p != '\0') p++;
    size_t len = strcspn(p, "\r,");
    std::string value(p, len);
    return strtoll(value.c_str(), nullptr, 10);
}
