#include "cluster/help.h"

#include <cstdio>
#include <cstring>

#include "cluster/commands.h"

const clusterManagerOptionDef clusterManagerOptions[] = {
    {"--cluster-yes", "Automatic yes to cluster commands prompts"},
};

const int clusterManagerOptionsCount =
    sizeof(clusterManagerOptions) / sizeof(clusterManagerOptions[0]);

// Names are padded to this width so that the second column lines up.
static const int kPadding = 15;

static void printPadded(const char *name) {
    fprintf(stderr, "  %s", name);
    for (int pad = kPadding - static_cast<int>(strlen(name)); pad > 0; pad--)
        fputc(' ', stderr);
}

int clusterManagerCommandHelp(int, char **) {
    fprintf(stderr, "Cluster Manager Commands:\n");
    for (int i = 0; i < clusterManagerCommandsCount; i++) {
        const clusterManagerCommandDef &def = clusterManagerCommands[i];
        printPadded(def.name);
        fprintf(stderr, "%s\n", def.args != nullptr ? def.args : "");
        if (def.options == nullptr) continue;
        const char *opt = def.options;
        while (*opt) {
            const char *comma = strchr(opt, ',');
            int len =
                comma != nullptr ? static_cast<int>(comma - opt) : static_cast<int>(strlen(opt));
            fprintf(stderr, "%*s  --cluster-%.*s\n", kPadding, "", len, opt);
            opt += len;
            if (*opt == ',') opt++;
        }
    }
    fprintf(stderr, "\nFor check, fix, reshard, del-node, set-timeout you can specify the host "
                    "and port of any working node in the cluster.\n");
    fprintf(stderr, "\nCluster Manager Options:\n");
    for (int i = 0; i < clusterManagerOptionsCount; i++) {
        printPadded(clusterManagerOptions[i].name);
        fprintf(stderr, "%s\n", clusterManagerOptions[i].desc);
    }
    fprintf(stderr, "\n");
    return 0;
}
