#include "cluster/commands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/config.h"
#include "cluster/admin.h"
#include "cluster/backup.h"
#include "cluster/check.h"
#include "cluster/create.h"
#include "cluster/fix.h"
#include "cluster/help.h"
#include "cluster/manager.h"
#include "cluster/reshard.h"

const clusterManagerCommandDef clusterManagerCommands[] = {
    {"create", clusterManagerCommandCreate, -2, "host1:port1 ... hostN:portN", "replicas <arg>"},
    {"check", clusterManagerCommandCheck, -1, "host:port", "search-multiple-owners"},
    {"info", clusterManagerCommandInfo, -1, "host:port", nullptr},
    {"fix", clusterManagerCommandFix, -1, "host:port",
     "search-multiple-owners,fix-with-unreachable-masters"},
    {"reshard", clusterManagerCommandReshard, -1, "host:port",
     "from <arg>,to <arg>,slots <arg>,yes,timeout <arg>,pipeline <arg>,replace"},
    {"rebalance", clusterManagerCommandRebalance, -1, "host:port",
     "weight <node1=w1...nodeN=wN>,use-empty-masters,"
     "timeout <arg>,simulate,pipeline <arg>,threshold <arg>,replace"},
    {"add-node", clusterManagerCommandAddNode, 2, "new_host:new_port existing_host:existing_port",
     "slave,master-id <arg>"},
    {"del-node", clusterManagerCommandDeleteNode, 2, "host:port node_id", nullptr},
    {"call", clusterManagerCommandCall, -2, "host:port command arg arg .. arg",
     "only-masters,only-replicas"},
    {"set-timeout", clusterManagerCommandSetTimeout, 2, "host:port milliseconds", nullptr},
    {"import", clusterManagerCommandImport, 1, "host:port",
     "from <arg>,from-user <arg>,from-pass <arg>,from-askpass,copy,replace"},
    {"backup", clusterManagerCommandBackup, 2, "host:port backup_directory", nullptr},
    {"help", clusterManagerCommandHelp, 0, nullptr, nullptr},
};

const int clusterManagerCommandsCount =
    sizeof(clusterManagerCommands) / sizeof(clusterManagerCommands[0]);

bool clusterManagerArityAccepts(int arity, int argc) {
    if (arity > 0) return argc == arity;
    if (arity < 0) return argc >= -arity;
    return true;
}

const clusterManagerCommandDef *clusterManagerCommandLookup(const char *name) {
    for (int i = 0; i < clusterManagerCommandsCount; i++)
        if (!strcmp(clusterManagerCommands[i].name, name)) return &clusterManagerCommands[i];
    return nullptr;
}

const clusterManagerCommandDef *validateClusterManagerCommand(void) {
    const clusterManagerCommand &cmd = config.cluster_manager_command;
    const clusterManagerCommandDef *def = clusterManagerCommandLookup(cmd.name);
    if (def == nullptr) {
        fprintf(stderr, "Unknown --cluster subcommand\n");
        exit(1);
    }
    if (!clusterManagerArityAccepts(def->arity, cmd.argc)) {
        fprintf(stderr, "[ERR] Wrong number of arguments for specified --cluster sub command\n");
        exit(1);
    }
    return def;
}

void clusterManagerMode(const clusterManagerCommandDef *def) {
    if (def->proc == nullptr) {
        fprintf(stderr, "--cluster %s is not available in this build\n", def->name);
        exit(1);
    }
    const clusterManagerCommand &cmd = config.cluster_manager_command;
    cluster_manager.nodes = nullptr;
    int success = def->proc(cmd.argc, cmd.argv);
    freeClusterManager();
    exit(success ? 0 : 1);
}
