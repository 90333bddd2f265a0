// --stat: one line of server figures per interval, read from INFO with
// getLongInfoField. INFO goes through reconnectingVornCommand, so the table
// carries on across a server restart.
#include "modes/stat.h"

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/config.h"
#include "cli/connection.h"
#include "modes/info_field.h"
#include "support/util_time.h"

void bytesToHuman(char *s, int64_t n, size_t bufsize) {
    if (bufsize == 0) return;
    const char *sign = n < 0 ? "-" : "";
    // The magnitude as unsigned, so that the most negative count has one.
    uint64_t mag = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    const double k = 1024.0;
    double d = static_cast<double>(mag);
    if (mag < 1024)
        snprintf(s, bufsize, "%s%" PRIu64 "B", sign, mag);
    else if (mag < 1024ULL * 1024)
        snprintf(s, bufsize, "%s%.2fK", sign, d / k);
    else if (mag < 1024ULL * 1024 * 1024)
        snprintf(s, bufsize, "%s%.2fM", sign, d / (k * k));
    else if (mag < 1024ULL * 1024 * 1024 * 1024)
        snprintf(s, bufsize, "%s%.2fG", sign, d / (k * k * k));
    else if (mag < 1024ULL * 1024 * 1024 * 1024 * 1024)
        snprintf(s, bufsize, "%s%.2fT", sign, d / (k * k * k * k));
    else
        snprintf(s, bufsize, "%s%.2fP", sign, d / (k * k * k * k * k));
}

int64_t infoKeyspaceKeys(const char *info) {
    // Every "db<N>:keys=" line counts, however many databases the server has.
    int64_t sum = 0;
    for (const char *p = strstr(info, "db"); p != nullptr; p = strstr(p + 2, "db")) {
        bool line_start = p == info || p[-1] == '\n';
        const char *q = p + 2;
        while (*q >= '0' && *q <= '9')
            q++;
        if (!line_start || q == p + 2 || strncmp(q, ":keys=", 6) != 0) continue;
        sum += strtoll(q + 6, nullptr, 10);
    }
    return sum;
}

namespace {

// An absent field reads as the not-found value; the child code counts it as 0.
int64_t flag(const char *info, const char *field) {
    int64_t v = getLongInfoField(info, field);
    return v == INT64_MIN ? 0 : v;
}

const char *childName(int64_t code) {
    switch (code) {
    case 1:
        return "SAVE";
    case 2:
        return "AOF";
    case 3:
        return "SAVE+AOF";
    case 4:
        return "LOAD";
    default:
        return "";
    }
}

} // namespace

void statMode(void) {
    if (config.interval == 0) config.interval = 1000000;
    long requests = 0;
    bool first_row = true;
    int rows = 0;
    char buf[64];

    for (;;) {
        vornReply *reply = reconnectingVornCommand(context, "INFO");
        if (reply->type == VORN_REPLY_ERROR) {
            printf("ERROR: %s\n", reply->str);
            exit(1);
        }
        const char *info = reply->str != nullptr ? reply->str : "";

        if ((rows++ % 20) == 0) {
            printf("------- data ------ --------------------- load -------------------- - child "
                   "-\n"
                   "keys       mem      clients blocked requests            connections          "
                   "\n");
        }

        snprintf(buf, sizeof(buf), "%ld", static_cast<long>(infoKeyspaceKeys(info)));
        printf("%-11s", buf);

        int64_t mem = getLongInfoField(info, "used_memory");
        if (mem == INT64_MIN)
            snprintf(buf, sizeof(buf), "-");
        else
            bytesToHuman(buf, mem, sizeof(buf));
        printf("%-8s", buf);

        snprintf(buf, sizeof(buf), "%ld",
                 static_cast<long>(getLongInfoField(info, "connected_clients")));
        printf(" %-8s", buf);
        snprintf(buf, sizeof(buf), "%ld",
                 static_cast<long>(getLongInfoField(info, "blocked_clients")));
        printf("%-8s", buf);

        // The increase refers to the previous row; the first row has none.
        // A total that went down (a restarted server, CONFIG RESETSTAT)
        // counts from zero again.
        long r = static_cast<long>(getLongInfoField(info, "total_commands_processed"));
        long delta = 0;
        if (!first_row && r != LONG_MIN && requests != LONG_MIN)
            delta = r >= requests ? r - requests : r;
        snprintf(buf, sizeof(buf), "%ld (+%ld)", r, delta);
        printf("%-19s", buf);
        requests = r;
        first_row = false;

        snprintf(buf, sizeof(buf), "%ld",
                 static_cast<long>(getLongInfoField(info, "total_connections_received")));
        printf(" %-12s", buf);

        int64_t code = 4 * flag(info, "loading") + 2 * flag(info, "aof_rewrite_in_progress") +
                       flag(info, "bgsave_in_progress");
        printf("%s\n", childName(code));
        fflush(stdout);

        freeReplyObject(reply);
        sleepMicros(config.interval);
    }
}
