// Argument vectors encoded as requests and parsed back by a small parser of
// our own must give the same arguments; the format encoder with %b must give
// the same bytes as the vector encoder.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hivorn/hivorn.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

// Reads "<mark><decimal>\r\n" at pos.
bool readCount(const std::string &s, size_t &pos, char mark, size_t &n) {
    if (pos >= s.size() || s[pos] != mark) return false;
    pos++;
    size_t start = pos;
    n = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9')
        n = n * 10 + (s[pos++] - '0');
    if (pos == start || pos + 2 > s.size() || s[pos] != '\r' || s[pos + 1] != '\n') return false;
    // No leading zeros: the encoding is canonical.
    if (pos - start > 1 && s[start] == '0') return false;
    pos += 2;
    return true;
}

bool parseRequest(const std::string &s, std::vector<std::string> &out) {
    size_t pos = 0, argc;
    if (!readCount(s, pos, '*', argc)) return false;
    for (size_t i = 0; i < argc; i++) {
        size_t len;
        if (!readCount(s, pos, '$', len)) return false;
        if (len > s.size() - pos || s.size() - pos - len < 2) return false;
        out.emplace_back(s, pos, len);
        pos += len;
        if (s[pos] != '\r' || s[pos + 1] != '\n') return false;
        pos += 2;
    }
    return pos == s.size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    std::vector<std::string> args;
    size_t argc = fdp.ConsumeIntegralInRange<size_t>(0, 16);
    for (size_t i = 0; i < argc; i++)
        args.push_back(fdp.ConsumeRandomLengthString(256));
    std::vector<const char *> argv;
    std::vector<size_t> argvlen;
    for (const auto &a : args) {
        argv.push_back(a.data());
        argvlen.push_back(a.size());
    }

    hisds cmd = nullptr;
    long long len =
        vornFormatSdsCommandArgv(&cmd, static_cast<int>(argc), argv.data(), argvlen.data());
    check(len >= 0 && cmd != nullptr && static_cast<size_t>(len) == hi_sdslen(cmd));
    std::string wire(cmd, hi_sdslen(cmd));
    hi_sdsfree(cmd);
    std::vector<std::string> back;
    check(parseRequest(wire, back));
    check(back == args);

    // Arguments without NUL bytes encode the same when measured by strlen.
    bool plain = true;
    for (const auto &a : args)
        plain = plain && a.find('\0') == std::string::npos;
    if (plain) {
        len = vornFormatSdsCommandArgv(&cmd, static_cast<int>(argc), argv.data(), nullptr);
        check(len >= 0 && std::string(cmd, hi_sdslen(cmd)) == wire);
        hi_sdsfree(cmd);
    }

    // Three binary arguments through the format encoder.
    if (argc == 3) {
        char *fcmd = nullptr;
        long long flen = vornFormatCommand(&fcmd, "%b %b %b", argv[0], argvlen[0], argv[1],
                                           argvlen[1], argv[2], argvlen[2]);
        check(flen >= 0 && std::string(fcmd, static_cast<size_t>(flen)) == wire);
        hi_free(fcmd);
    }
    return 0;
}
