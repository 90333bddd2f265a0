// Sending a Lua script from a file with EVAL, and the debugger session that
// steps through it from the interactive console.
#pragma once

#include <vector>

#include "hivorn/sds.h"

// Sends the script of config.eval with the given words as its keys and
// arguments; with the debugger on, runs the debugger console and starts the
// script again on each "restart". Returns the result of command execution
// for the EVAL (0 or -1).
int evalMode(int argc, char **argv);

// The EVAL request: "EVAL", the script (taken over), the key count, the
// keys, then the arguments. Words before the first lone "," are keys; that
// comma is dropped, and everything after it (later commas included) are
// arguments. The caller frees the words.
std::vector<hisds> evalRequest(hisds script, int argc, char **argv);
