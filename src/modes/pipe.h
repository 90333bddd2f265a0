// Mass insertion: standard input, already in the wire protocol, streamed to
// the server while the replies are read and counted.
#pragma once

// Runs on the current connection until every reply came back; ends the
// process with status 0, or 1 when a reply was an error or the transfer
// failed.
[[noreturn]] void pipeMode(void);
