// The --cluster sub-command table and its lookup.
#pragma once

// A sub-command handler: 1 for success, 0 for failure.
typedef int clusterManagerCommandProc(int argc, char **argv);

struct clusterManagerCommandDef {
    const char *name;
    clusterManagerCommandProc *proc; // null while the sub-command is not built
    int arity;           // > 0: exactly this many arguments; < 0: at least -arity; 0: any
    const char *args;    // argument synopsis for the help listing, or null
    const char *options; // comma-separated option synopsis, or null
};

extern const clusterManagerCommandDef clusterManagerCommands[];
extern const int clusterManagerCommandsCount;

// Looks up config.cluster_manager_command.name and checks its argument count.
// Returns the table row; an unknown name or a wrong count prints its message
// on standard error and exits with status 1.
const clusterManagerCommandDef *validateClusterManagerCommand(void);

// The row named exactly `name`, or null.
const clusterManagerCommandDef *clusterManagerCommandLookup(const char *name);

// Whether argc satisfies the arity rule above.
bool clusterManagerArityAccepts(int arity, int argc);

// Runs the sub-command of the row with the parsed arguments, releases the
// cluster state and exits: 0 when the handler succeeded, else 1.
[[noreturn]] void clusterManagerMode(const clusterManagerCommandDef *def);
