// Reply rendering speed: a 1,000,000-element array of 10-byte strings
// decoded and then printed to /dev/null in the raw and standard forms,
// against decoding it alone (the baseline, measured in the same run).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "cli/config.h"
#include "cli/render.h"
#include "hivorn/hivorn.h"

namespace {

std::string makeWire(size_t n) {
    std::string w = "*" + std::to_string(n) + "\r\n";
    char item[32];
    for (size_t i = 0; i < n; i++) {
        snprintf(item, sizeof(item), "$10\r\n%010zu\r\n", i);
        w += item;
    }
    return w;
}

// Feeds the bytes in the pieces a connection reads (16 KiB) and returns the
// decoded reply.
vornReply *decode(const std::string &wire) {
    vornReader *rd = vornReaderCreate();
    void *reply = nullptr;
    for (size_t off = 0; off < wire.size() && reply == nullptr; off += 16384) {
        vornReaderFeed(rd, wire.data() + off, std::min<size_t>(16384, wire.size() - off));
        if (vornReaderGetReply(rd, &reply) != VORN_OK) {
            fprintf(stderr, "decode failed: %s\n", rd->errstr);
            exit(1);
        }
    }
    vornReaderFree(rd);
    return static_cast<vornReply *>(reply);
}

double bestOf(int runs, const std::function<void()> &fn) {
    double best = 1e300;
    for (int i = 0; i < runs; i++) {
        auto t0 = std::chrono::steady_clock::now();
        fn();
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

} // namespace

int main(int argc, char **argv) {
    size_t n = argc > 1 ? strtoul(argv[1], nullptr, 10) : 1000000;
    cliConfigSetDefaults();
    std::string wire = makeWire(n);
    FILE *null = fopen("/dev/null", "w");
    if (null == nullptr) return 1;
    auto renderTo = [&](int mode) {
        vornReply *r = decode(wire);
        hisds out = cliFormatReply(r, mode, 0);
        fwrite(out, 1, hi_sdslen(out), null);
        fflush(null);
        hi_sdsfree(out);
        freeReplyObject(r);
    };
    double base = bestOf(5, [&] { freeReplyObject(decode(wire)); });
    double raw = bestOf(5, [&] { renderTo(OUTPUT_RAW); });
    double std = bestOf(5, [&] { renderTo(OUTPUT_STANDARD); });
    fclose(null);
    printf("%zu elements, %.1f MB on the wire (best of 5)\n", n, wire.size() / 1e6);
    printf("decode only        %8.1f ms  %6.2f M elements/s (baseline)\n", base * 1e3,
           n / base / 1e6);
    printf("decode + raw       %8.1f ms  %6.2f M elements/s  %.2fx the baseline time\n", raw * 1e3,
           n / raw / 1e6, raw / base);
    printf("decode + standard  %8.1f ms  %6.2f M elements/s  %.2fx the baseline time\n", std * 1e3,
           n / std / 1e6, std / base);
    printf("rendering alone: raw %.2f M elements/s, standard %.2f M elements/s\n",
           n / (raw - base) / 1e6, n / (std - base) / 1e6);
    cliConfigSetDefaults();
    return 0;
}
