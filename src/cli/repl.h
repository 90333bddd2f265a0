// The interactive session: the read-eval-print loop, its local commands,
// history and preferences.
#pragma once

#include "hivorn/sds.h"

// Runs the session. Ends the process with status 0, except for the
// debugger's "restart", which returns to the caller.
void repl(void);

// Splits a typed line into words (null for unbalanced quotes). In the
// debugger, "eval <expr>" and "e <expr>" keep the expression as one word.
hisds *cliSplitArgs(char *line, int *argc);

// Applies one ":set" command; interactive is 0 for lines of the
// preferences file, whose messages then carry the file's name.
void cliSetPreferences(hisds *argv, int argc, int interactive);

// Applies every line of the preferences file, when there is one.
void cliLoadPreferences(void);
