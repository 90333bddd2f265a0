// The help sub-command: the cluster manager's commands and options.
#pragma once

struct clusterManagerOptionDef {
    const char *name;
    const char *desc;
};

extern const clusterManagerOptionDef clusterManagerOptions[];
extern const int clusterManagerOptionsCount;

// Writes the command and option listing to standard error. Returns 0, so
// the help sub-command exits with status 1 like the help screen.
int clusterManagerCommandHelp(int argc, char **argv);
