// Standard input is forwarded in blocks exactly as read, never parsed;
// sending and reading replies are interleaved over one readiness wait so the
// server's replies never fill the socket while we are still sending. The end
// is proven by an ECHO of 20 random bytes queued after the input: once that
// very echo comes back, every earlier reply has been received.
#include "modes/pipe.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "cli/config.h"
#include "cli/connection.h"
#include "cli/secure.h"
#include "support/ae.h"
#include "support/anet.h"

namespace {

constexpr size_t kMagicLen = 20;
// Stop writing for a while after this much, so replies are read regularly.
constexpr long long kWritePassCap = 128 * 1024;

// "\r\n" first: it ends a last input line that had no line end.
constexpr char kEchoHead[] = "\r\n*2\r\n$4\r\nECHO\r\n$20\r\n";
constexpr size_t kEchoHeadLen = sizeof(kEchoHead) - 1;
static_assert(kEchoHeadLen + kMagicLen + 2 == 43, "the closing command is 43 bytes");

[[noreturn]] void ioError() {
    fprintf(stderr, "Server I/O Error: %s\n", context->errstr);
    exit(1);
}

} // namespace

void pipeMode(void) {
    long long errors = 0, replies = 0;
    char obuf[1024 * 16];
    size_t obuf_len = 0, obuf_pos = 0;
    char magic[kMagicLen];
    bool eof = false, done = false;
    time_t last_read_time = time(nullptr);

    srand(static_cast<unsigned>(time(nullptr)));

    char aneterr[ANET_ERR_LEN];
    if (anetNonBlock(aneterr, context->fd) == ANET_ERR) {
        fprintf(stderr, "Can't set the socket in non blocking mode: %s\n", aneterr);
        exit(1);
    }
    context->flags &= ~VORN_BLOCK;

    while (!done) {
        int mask = AE_READABLE;
        if (!eof || obuf_len != 0) mask |= AE_WRITABLE;
        mask = aeWait(context->fd, mask, 1000);

        if (mask & AE_READABLE) {
            bool read_error = false;
            long long got;
            // Read until a read brings no complete reply: every reply
            // already buffered is taken before the socket is asked again.
            do {
                if (!read_error && vornBufferRead(context) == VORN_ERR) read_error = true;
                got = 0;
                for (;;) {
                    void *raw = nullptr;
                    if (vornGetReply(context, &raw) == VORN_ERR) {
                        fprintf(stderr, "Error reading replies from server\n");
                        exit(1);
                    }
                    if (raw == nullptr) break;
                    got++;
                    auto *reply = static_cast<vornReply *>(raw);
                    if (reply->type == VORN_REPLY_ERROR) {
                        fprintf(stderr, "%s\n", reply->str);
                        errors++;
                    } else if (eof && reply->type == VORN_REPLY_STRING && reply->len == kMagicLen &&
                               memcmp(reply->str, magic, kMagicLen) == 0) {
                        fprintf(stderr, "Last reply received from server.\n");
                        done = true;
                        replies--;
                    }
                    replies++;
                    freeReplyObject(reply);
                }
                if (got > 0) last_read_time = time(nullptr);
            } while (got > 0 && !read_error && !done);
            // Every reply that made it here has been counted and shown.
            if (read_error && !done) ioError();
        }

        if ((mask & AE_WRITABLE) && !done) {
            long long loop_nwritten = 0;
            for (;;) {
                if (obuf_len != 0) {
                    ssize_t nwritten = cliWriteConn(context, obuf + obuf_pos, obuf_len);
                    if (nwritten == -1) {
                        // A real failure stays in the connection; say so now
                        // rather than wait for a reply that cannot come.
                        if (context->err) ioError();
                        if (errno != EAGAIN && errno != EINTR) {
                            fprintf(stderr, "Error writing to the server: %s\n", strerror(errno));
                            exit(1);
                        }
                        break;
                    }
                    obuf_len -= static_cast<size_t>(nwritten);
                    obuf_pos += static_cast<size_t>(nwritten);
                    loop_nwritten += nwritten;
                    if (obuf_len != 0) break; // the socket is full
                }
                if (context->err) ioError();
                if (eof) break;

                ssize_t nread;
                do {
                    nread = read(STDIN_FILENO, obuf, sizeof(obuf));
                } while (nread == -1 && errno == EINTR);
                obuf_pos = 0;
                if (nread == -1) {
                    fprintf(stderr, "Error reading from stdin: %s\n", strerror(errno));
                    exit(1);
                } else if (nread == 0) {
                    for (char &b : magic)
                        b = static_cast<char>(rand() & 0xff);
                    memcpy(obuf, kEchoHead, kEchoHeadLen);
                    memcpy(obuf + kEchoHeadLen, magic, kMagicLen);
                    memcpy(obuf + kEchoHeadLen + kMagicLen, "\r\n", 2);
                    obuf_len = kEchoHeadLen + kMagicLen + 2;
                    fprintf(stderr, "All data transferred. Waiting for the last reply...\n");
                    eof = true;
                } else {
                    obuf_len = static_cast<size_t>(nread);
                }
                if (loop_nwritten > kWritePassCap) break;
            }
        }

        if (eof && !done && config.pipe_timeout > 0 &&
            time(nullptr) - last_read_time > config.pipe_timeout) {
            fprintf(stderr, "No replies for %d seconds: exiting.\n", config.pipe_timeout);
            errors++;
            printf("errors: %lld, replies: %lld\n", errors, replies);
            exit(1);
        }
    }

    printf("errors: %lld, replies: %lld\n", errors, replies);
    exit(errors > 0 ? 1 : 0);
}
