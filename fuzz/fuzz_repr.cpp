// Quoting round trip: the quoted representation of any bytes, split back as
// an argument line, gives exactly one argument with the same bytes. Lines
// are also split as given, and each word must survive the same round trip.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hivorn/sds.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

void roundTrip(const char *p, size_t len) {
    hisds repr = hi_sdscatrepr(hi_sdsempty(), p, len);
    check(repr != nullptr);
    int argc = -1;
    hisds *argv = hi_sdssplitargs(repr, &argc);
    check(argv != nullptr && argc == 1);
    check(hi_sdslen(argv[0]) == len && memcmp(argv[0], p, len) == 0);
    hi_sdsfreesplitres(argv, argc);
    hi_sdsfree(repr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *p = reinterpret_cast<const char *>(data);
    roundTrip(p, size);

    std::string line(p, size); // the splitter reads up to the first NUL
    int argc = -1;
    hisds *argv = hi_sdssplitargs(line.c_str(), &argc);
    if (argv != nullptr) {
        for (int i = 0; i < argc; i++)
            roundTrip(argv[i], hi_sdslen(argv[i]));
        hi_sdsfreesplitres(argv, argc);
    }
    return 0;
}
