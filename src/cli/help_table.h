// The built-in table of server commands behind the local `help`, Tab
// completion and argument hints. Pure data: the logic lives in cli/help.h.
#pragma once

// Indexes into commandGroups.
#define CLI_HELP_GROUP_GENERIC 0
#define CLI_HELP_GROUP_STRING 1
#define CLI_HELP_GROUP_LIST 2
#define CLI_HELP_GROUP_SET 3
#define CLI_HELP_GROUP_SORTED_SET 4
#define CLI_HELP_GROUP_HASH 5
#define CLI_HELP_GROUP_PUBSUB 6
#define CLI_HELP_GROUP_TRANSACTIONS 7
#define CLI_HELP_GROUP_CONNECTION 8
#define CLI_HELP_GROUP_SERVER 9
#define CLI_HELP_GROUP_SCRIPTING 10
#define CLI_HELP_GROUP_HYPERLOGLOG 11
#define CLI_HELP_GROUP_CLUSTER 12
#define CLI_HELP_GROUP_GEO 13
#define CLI_HELP_GROUP_STREAM 14
#define CLI_HELP_GROUP_REPLICATION 15

#define CLI_HELP_GROUP_COUNT 16
#define CLI_HELP_COMMAND_COUNT 286

// One command: its name (upper case; "CLIENT KILL" for a subcommand), the
// argument synopsis ("-" when it takes none), a one-sentence summary, its
// group (index into commandGroups) and the server version that introduced it.
struct commandHelp {
    const char *name;
    const char *params;
    const char *summary;
    int group;
    const char *since;
};

extern const char *const commandGroups[CLI_HELP_GROUP_COUNT];

// The type and the table share a name, so the type is spelled
// `struct commandHelp` wherever the table is in scope.
extern const struct commandHelp commandHelp[CLI_HELP_COMMAND_COUNT];
