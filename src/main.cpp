// Entry point of vorn-cli: options, then dispatch to exactly one mode.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "cli/command.h"
#include "cli/config.h"
#include "cli/connection.h"
#include "cli/motd.h"
#include "cli/options.h"
#include "cli/repl.h"
#include "cli/tls.h"
#include "cluster/commands.h"
#include "modes/eval.h"
#include "modes/pipe.h"
#include "modes/replication.h"
#include "modes/bigkeys.h"
#include "modes/hotkeys.h"
#include "modes/keyspace.h"
#include "modes/latency.h"
#include "modes/lru.h"
#include "modes/stat.h"
#include "support/mt19937-64.h"

// Runs a mode that needs the current connection; without one the process
// ends at once with status 1. The mode ends the process itself.
[[noreturn]] static void runConnected(void (*mode)(void)) {
    if (cliConnect(0) != 0) exit(1);
    mode();
    exit(0);
}

// Sends the command given on the command line (config.repeat times) and
// returns the exit status.
static int noninteractive(int argc, char **argv) {
    std::vector<hisds> args;
    args.reserve(static_cast<size_t>(argc) + 1);
    auto release = [&args] {
        for (hisds s : args)
            hi_sdsfree(s);
    };
    for (int i = 0; i < argc; i++) {
        hisds word = config.quoted_input ? unquoteCString(argv[i]) : hi_sdsnew(argv[i]);
        if (word == nullptr) {
            release();
            printf("Invalid quoted string\n");
            return 1;
        }
        args.push_back(word);
    }
    if (config.stdinarg) args.push_back(readArgFromStdin());

    int retval = issueCommandRepeat(static_cast<int>(args.size()), args.data(), config.repeat);
    release();
    return retval;
}

int main(int argc, char **argv) {
    cliConfigSetDefaults();
    // A typed SYNC or PSYNC hands the connection over to the replica stream.
    cliReplicaStream = slaveMode;

    int firstarg = parseOptions(argc, argv);

    if (config.hostsocket && config.cluster_mode) {
        fprintf(stderr, "Options -c and -s are mutually exclusive.\n");
        exit(1);
    }
    if (config.eval_ldb && config.eval == nullptr) {
        fprintf(stderr, "Options --ldb and --ldb-sync-mode require --eval.\n");
        fprintf(stderr, "Try %s --help for more information.\n", argv[0]);
        exit(1);
    }
    if (!config.no_auth_warning && config.auth != nullptr) {
        fputs("Warning: Using a password with '-a' or '-u' option on the command"
              " line interface may not be safe.\n",
              stderr);
    }

    parseEnv();

    if (config.askpass) config.auth = cliConfigKeepString(askPassword("Please input password: "));
    if (config.cluster_manager_command.from_askpass) {
        config.cluster_manager_command.from_pass =
            cliConfigKeepString(askPassword("Please input import source node password: "));
    }

    if (config.tls) cliSecureInit();

    struct timeval tv;
    gettimeofday(&tv, nullptr);
    init_genrand64(((unsigned long long)tv.tv_sec * 1000000 + tv.tv_usec) ^ getpid());

    argc -= firstarg;
    argv += firstarg;

    if (config.cluster_manager_command.name != nullptr)
        clusterManagerMode(validateClusterManagerCommand());

    // Every mode below connects first with cliConnect(0) and exits with
    // status 1 when that fails.
    if (config.latency_mode) runConnected(latencyMode);
    if (config.latency_dist_mode) runConnected(latencyDistMode);
    if (config.slave_mode) {
        if (cliConnect(0) != 0) exit(1);
        sendCapa();
        slaveMode();
        config.slave_mode = 0;
    }
    if (config.getvdb_mode) {
        if (cliConnect(0) != 0) exit(1);
        sendCapa();
        sendVdbOnly();
        getVDB(&context, config.vdb_filename);
        exit(0);
    }
    if (config.pipe_mode) {
        if (cliConnect(0) != 0) exit(1);
        pipeMode();
    }
    if (config.bigkeys) runConnected([] { findBigKeys(0, 0); });
    if (config.memkeys) runConnected([] { findBigKeys(1, config.memkeys_samples); });
    if (config.hotkeys) runConnected(findHotKeys);
    if (config.stat_mode) runConnected(statMode);
    if (config.scan_mode) runConnected(scanMode);
    if (config.lru_test_mode) runConnected(LRUTestMode);
    if (config.intrinsic_latency_mode) intrinsicLatencyMode();

    // Interactive session: message of the day (terminal output only), SIGPIPE
    // ignored, a tolerated connection failure, then the read-eval loop.
    if (argc == 0 && config.eval == nullptr) {
        if (config.output == OUTPUT_STANDARD && !config.disable_motd) {
            hisds motd = fetchMOTD(1, 1);
            if (motd != nullptr) {
                printf("Message of the day:\n  %s\n", motd);
                fflush(stdout);
                freeMOTD(motd);
            }
        }
        signal(SIGPIPE, SIG_IGN);
        cliConnect(0); // the session may start unconnected
        repl();
    }

    // Script evaluation and the one-shot command: the result of command
    // execution is the exit status (255 when the command could not be run).
    if (cliConnect(0) != 0) exit(1);
    if (config.eval) return evalMode(argc, argv);
    return noninteractive(argc, argv);
}
