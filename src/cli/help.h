// The interactive session's knowledge of server commands: the local `help`
// command, Tab completion and the grey argument hints. The entries come from
// the built-in table (cli/help_table.h) and from the server's COMMAND reply.
#pragma once

#include "cli/help_table.h"
#include "hivorn/hivorn.h"
#include "hivorn/sds.h"
#include "lineedit/linenoise.h"

// helpEntry.type; completion uses these as a bit mask.
#define CLI_HELP_COMMAND 1
#define CLI_HELP_GROUP 2

// Help row given to commands the server knows but the built-in table lacks.
#define CLI_HELP_NOT_AVAILABLE "Help not available"
#define CLI_HELP_SINCE_NOT_KNOWN "not known"

struct helpEntry {
    int type;                      // CLI_HELP_COMMAND or CLI_HELP_GROUP
    int argc;                      // words of the name
    hisds *argv;                   // the words ("@list" alone for a group)
    hisds full;                    // the whole name, "CLIENT KILL" or "@list"
    const struct commandHelp *org; // the command's help row; null for groups
};

// The groups first, then the built-in commands in table order, then the
// commands learnt from the server. Empty until cliInitHelp runs.
extern helpEntry *helpEntries;
extern int helpEntriesLen;

// Builds the group and built-in command entries (dropping any earlier ones).
void cliInitHelp(void);
// Connects quietly, asks the server for COMMAND and adds what it knows that
// the table does not.
void cliIntegrateHelp(void);
// The part of cliIntegrateHelp that reads the COMMAND reply (an array);
// the reply stays the caller's.
void cliIntegrateHelpFromReply(const vornReply *reply);
// Releases every entry, including the rows made for learnt commands.
void cliFreeHelp(void);

// The local `help` command; argv holds the words after "help".
void cliOutputHelp(int argc, hisds *argv);
void cliOutputGenericHelp(void);
// Prints one command's help block; a non-zero group adds the group line.
void cliOutputCommandHelp(const struct commandHelp *help, int group);

// Line-editor callbacks.
void completionCallback(const char *buf, linenoiseCompletions *lc);
// Returns a new hisds (released by freeHintsCallback) or null.
char *hintsCallback(const char *buf, int *color, int *bold);
void freeHintsCallback(void *ptr);
