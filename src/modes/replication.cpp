// The replication handshake is spoken by hand on the connection: the SYNC
// request is written raw and everything up to the end of the snapshot is
// read through the transport's own read, so that no snapshot byte passes
// through the reply reader.
#include "modes/replication.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "cli/command.h"
#include "cli/config.h"
#include "cli/connection.h"
#include "cli/secure.h"
#include "modes/eofmark.h"
#include "modes/vdb_output.h"

namespace {

// Bytes per read: the snapshot passes through one fixed buffer.
constexpr size_t kDumpChunk = 4096;
constexpr size_t kDiscardChunk = 1024;
constexpr size_t kAnnouncementMax = 4096;

// One read through the connection's transport (plain socket or TLS). The
// transport answers 0 for "interrupted, try again", which is not the end.
ssize_t readConn(vornContext *c, char *buf, size_t len) {
    for (;;) {
        ssize_t n = c->funcs->read(c, buf, len);
        if (n != 0) return n;
    }
}

bool startsWith(const char *s, const char *prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

} // namespace

void sendReplconf(const char *arg1, const char *arg2) {
    fprintf(stderr, "sending REPLCONF %s %s\n", arg1, arg2);
    auto *reply = static_cast<vornReply *>(vornCommand(context, "REPLCONF %s %s", arg1, arg2));
    if (reply == nullptr) {
        fprintf(stderr, "\nI/O error\n");
        exit(1);
    }
    // An older server that does not know an option still sends the snapshot.
    if (reply->type == VORN_REPLY_ERROR)
        fprintf(stderr, "REPLCONF %s error: %s\n", arg1, reply->str);
    freeReplyObject(reply);
}

void sendCapa(void) {
    sendReplconf("capa", "eof");
}

void sendVdbOnly(void) {
    sendReplconf("vdb-only", "1");
}

unsigned long long sendSync(vornContext *c, char *out_eof, int *out_usemark) {
    if (hi_sdslen(c->obuf) > 0) {
        // A SYNC or PSYNC the user typed is still waiting in the output
        // buffer: it is the request. A second one behind it would be answered
        // with a second snapshot by a server that does not ignore it.
        int done = 0;
        while (!done) {
            if (vornBufferWrite(c, &done) != VORN_OK) {
                fprintf(stderr, "Error writing to master\n");
                exit(1);
            }
        }
    } else if (cliWriteConn(c, "SYNC\r\n", 6) != 6) {
        fprintf(stderr, "Error writing to master\n");
        exit(1);
    }

    char buf[kAnnouncementMax];
    for (;;) {
        char *p = buf;
        for (;;) {
            if (p == buf + sizeof(buf) - 1) {
                // No server sends a line this long; it cannot be an
                // announcement.
                fprintf(stderr, "Error reading bulk length while SYNCing\n");
                exit(1);
            }
            if (readConn(c, p, 1) <= 0) {
                fprintf(stderr, "Error reading bulk length while SYNCing\n");
                exit(1);
            }
            if (*p == '\n') {
                if (p == buf) continue; // newlines while the server prepares
                break;
            }
            p++;
        }
        *p = '\0';
        // A PSYNC is answered with +FULLRESYNC before the announcement.
        if (!startsWith(buf, "+FULLRESYNC")) break;
    }

    if (buf[0] == '-') {
        fprintf(stderr, "SYNC with master failed: %s\n", buf);
        exit(1);
    }
    if (buf[0] == '$' && startsWith(buf + 1, "EOF:") && strlen(buf + 5) >= VDB_EOF_MARK_SIZE) {
        memcpy(out_eof, buf + 5, VDB_EOF_MARK_SIZE);
        *out_usemark = 1;
        return 0;
    }
    *out_usemark = 0;
    // A partial resynchronisation (the answer to a typed PSYNC naming an
    // offset) has no snapshot: the stream follows at once.
    if (startsWith(buf, "+CONTINUE")) return 0;
    char *end = nullptr;
    errno = 0;
    unsigned long long len = strtoull(buf + 1, &end, 10);
    if (buf[0] != '$' || end == buf + 1 || !(*end == '\r' || *end == '\0') || errno == ERANGE ||
        buf[1] == '-') {
        // Anything else would be taken for an empty snapshot.
        fprintf(stderr, "SYNC with master failed: %s\n", buf);
        exit(1);
    }
    return len;
}

void slaveMode(void) {
    char eofmark[VDB_EOF_MARK_SIZE];
    int usemark = 0;
    unsigned long long payload = sendSync(context, eofmark, &usemark);
    const int original_output = config.output;
    vdbEofWindow window;

    if (usemark) {
        window.reset(eofmark);
        payload = ULLONG_MAX;
        fprintf(stderr,
                "SYNC with master, discarding bytes of bulk transfer until EOF marker...\n");
    } else {
        fprintf(stderr, "SYNC with master, discarding %llu bytes of bulk transfer...\n", payload);
    }

    char buf[kDiscardChunk];
    while (payload != 0) {
        ssize_t nread = readConn(context, buf, std::min<unsigned long long>(payload, sizeof(buf)));
        if (nread <= 0) {
            fprintf(stderr, "Error reading VDB payload while SYNCing\n");
            exit(1);
        }
        size_t n = static_cast<size_t>(nread);
        if (usemark) {
            size_t end = window.update(buf, n);
            if (end != vdbEofWindow::npos) {
                payload -= end;
                // What follows the mark in the same read is the stream.
                if (end < n && vornReaderFeed(context->reader, buf + end, n - end) != VORN_OK) {
                    fprintf(stderr, "Error reading VDB payload while SYNCing\n");
                    exit(1);
                }
                break;
            }
        }
        payload -= n;
    }

    if (usemark) {
        fprintf(stderr, "SYNC done after %llu bytes. Logging commands from master.\n",
                ULLONG_MAX - payload);
        // The server puts a replica that announced the mark form online
        // once it acknowledges an offset.
        sleep(1);
        sendReplconf("ACK", "0");
    } else {
        fprintf(stderr, "SYNC done. Logging commands from master.\n");
    }

    config.output = OUTPUT_CSV;
    while (cliReadReply(0) == 0) {
    }
    config.output = original_output;
}

void getVDB(vornContext **conn, const char *filename) {
    vornContext *c = *conn;
    char eofmark[VDB_EOF_MARK_SIZE];
    int usemark = 0;
    unsigned long long payload = sendSync(c, eofmark, &usemark);
    vdbEofWindow window;

    if (usemark) {
        window.reset(eofmark);
        payload = ULLONG_MAX;
        fprintf(stderr,
                "SYNC sent to master, writing bytes of bulk transfer until EOF marker to '%s'\n",
                filename);
    } else {
        fprintf(stderr, "SYNC sent to master, writing %llu bytes to '%s'\n", payload, filename);
    }

    vdbOutput out;
    if (!out.open(filename)) {
        fprintf(stderr, "Error opening '%s': %s\n", filename, strerror(errno));
        exit(1);
    }
    // exit() does not unwind: a failure removes the unfinished file first.
    auto fail = [&out] {
        out.discard();
        exit(1);
    };
    auto writeOut = [&](const char *p, size_t n) {
        if (n == 0 || out.write(p, n)) return;
        fprintf(stderr, "Error writing data to file: %s\n",
                errno ? strerror(errno) : "short write");
        fail();
    };

    // Where the output cannot be cut back (standard output, a FIFO), the
    // last 40 bytes seen are held back until more come, so the mark never
    // reaches it.
    const bool holdback = usemark && !out.seekable();
    char held[VDB_EOF_MARK_SIZE];

    static char buf[kDumpChunk];
    unsigned long long bytes = 0; // length form: written so far
    while (payload != 0) {
        ssize_t nread = readConn(c, buf, std::min<unsigned long long>(payload, sizeof(buf)));
        if (nread <= 0) {
            fprintf(stderr, "I/O Error reading VDB payload from socket\n");
            fail();
        }
        size_t n = static_cast<size_t>(nread);
        if (!usemark) {
            writeOut(buf, n);
            payload -= n;
            bytes += n;
            continue;
        }
        const unsigned long long before = window.seen;
        if (holdback) memcpy(held, window.lastbytes, sizeof(held));
        size_t end = window.update(buf, n);
        if (end != vdbEofWindow::npos) n = end; // bytes after the mark are not ours
        if (holdback) {
            // Written so far: everything but the last min(before, 40) bytes.
            const size_t h = static_cast<size_t>(std::min<unsigned long long>(before, 40));
            const unsigned long long from = before - h;
            if (before + n > from + VDB_EOF_MARK_SIZE) {
                const size_t k = static_cast<size_t>(before + n - VDB_EOF_MARK_SIZE - from);
                const size_t fromHeld = std::min(k, h);
                writeOut(held + VDB_EOF_MARK_SIZE - h, fromHeld);
                writeOut(buf, k - fromHeld);
            }
        } else {
            writeOut(buf, n);
        }
        payload -= n;
        if (end != vdbEofWindow::npos) break;
    }

    if (usemark) {
        unsigned long long size = ULLONG_MAX - payload - VDB_EOF_MARK_SIZE;
        if (!out.truncate(size)) fprintf(stderr, "ftruncate failed: %s.\n", strerror(errno));
        fprintf(stderr, "Transfer finished with success after %llu bytes\n", size);
    } else {
        // A file written in place may have been longer than this snapshot.
        if (!out.truncate(bytes)) fprintf(stderr, "ftruncate failed: %s.\n", strerror(errno));
        fprintf(stderr, "Transfer finished with success.\n");
    }

    vornFree(c);
    *conn = nullptr;

    if (!out.sync()) {
        fprintf(stderr, "Fail to fsync '%s': %s\n", filename, strerror(errno));
        fail();
    }
    if (!out.commit()) {
        fprintf(stderr, "Error writing data to file: %s\n", strerror(errno));
        fail();
    }
}
