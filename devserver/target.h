// The other end of a MIGRATE: a node of this process, reached in memory, or
// an instance elsewhere, reached over a cached TCP connection.
#pragma once

#include "server.h"

namespace dev {

struct TargetReply {
    bool error = false;
    std::string text; // status or error text (without the type byte); other types: empty
};

// What a MIGRATE asks of its target: the requests (AUTH, SELECT, RESTORE...)
// in order, and what came back.
struct TargetExchange {
    std::string host;
    int port = 0;
    long long timeout_ms = 1000;
    long long db = 0;
    Args auth; // empty: no AUTH
    std::vector<Args> restores;
    // Results.
    std::string io_error;  // non-empty: the IOERR text to answer with
    long long hold_ms = 0; // answer only after this long (a hung node)
    TargetReply auth_reply, select_reply;
    std::vector<TargetReply> replies; // one per restore that was answered
    bool same_instance = false;       // the target is the calling node itself
};

// Runs the exchange; the caller's node context is active again afterwards.
void exchangeWithTarget(Client &source, TargetExchange &x);

// Reads one reply from buf at pos (any type; aggregates are skipped whole).
ParseResult readTargetReply(const std::string &buf, size_t &pos, TargetReply &out);

} // namespace dev
