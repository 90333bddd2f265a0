// Running one user command against the current connection: repetition,
// redirections, streaming commands, state tracking and the exit decision.
#pragma once

#include "hivorn/sds.h"

// Runs the command repeat times (forever when negative), reconnecting first
// when needed and re-sending after a cluster redirection. Returns 0 or -1.
int issueCommandRepeat(int argc, hisds *argv, long repeat);
// The same with config.repeat.
int issueCommand(int argc, hisds *argv);

// Sends ASKING before a command redirected by ASK. Returns 0 or -1.
int cliSendAsking(void);

// Sends the command and prints its replies. Returns 0 or -1.
int cliSendCommand(int argc, hisds *argv, long repeat);

// Reads, acts on and prints one reply. Returns 0, or -1 for a lost
// connection the interactive session should repair; may exit the process.
int cliReadReply(int output_raw_strings);

// Streams what the server sends to a replica; set by the code that provides
// it. While unset, a typed SYNC or PSYNC fails with a plain message.
extern void (*cliReplicaStream)(void);
