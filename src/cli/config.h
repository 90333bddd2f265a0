// The process-wide configuration and run-state record of vorn-cli.
//
// Option parsing (cli/options.cpp) is the only writer of the option-derived
// fields; the connection and command code write the run-time fields (dbnum,
// prompt, in_multi, ...). Strings marked "borrowed" point into the argument
// vector or the environment and live as long as the process.
#pragma once

#include "hivorn/sds.h"

// Reply forms selected by config.output.
#define OUTPUT_STANDARD 0
#define OUTPUT_RAW 1
#define OUTPUT_CSV 2
#define OUTPUT_JSON 3

// Bits of clusterManagerCommand.flags.
#define CLUSTER_MANAGER_CMD_FLAG_FIX (1 << 0)
#define CLUSTER_MANAGER_CMD_FLAG_SLAVE (1 << 1)
#define CLUSTER_MANAGER_CMD_FLAG_YES (1 << 2)
#define CLUSTER_MANAGER_CMD_FLAG_EMPTYMASTER (1 << 4)
#define CLUSTER_MANAGER_CMD_FLAG_SIMULATE (1 << 5)
#define CLUSTER_MANAGER_CMD_FLAG_REPLACE (1 << 6)
#define CLUSTER_MANAGER_CMD_FLAG_COPY (1 << 7)
#define CLUSTER_MANAGER_CMD_FLAG_COLOR (1 << 8)
#define CLUSTER_MANAGER_CMD_FLAG_CHECK_OWNERS (1 << 9)
#define CLUSTER_MANAGER_CMD_FLAG_FIX_WITH_UNREACHABLE_MASTERS (1 << 10)
#define CLUSTER_MANAGER_CMD_FLAG_MASTERS_ONLY (1 << 11)
#define CLUSTER_MANAGER_CMD_FLAG_SLAVES_ONLY (1 << 12)

#define CLUSTER_MANAGER_DEFAULT_TIMEOUT 60000
#define CLUSTER_MANAGER_DEFAULT_PIPELINE 10
#define CLUSTER_MANAGER_DEFAULT_THRESHOLD 2.0f

// Default of config.pipe_timeout, in seconds; also shown on the help screen.
#define VORN_CLI_DEFAULT_PIPE_TIMEOUT 30

// TLS settings; every string is borrowed from the argument vector.
struct cliSSLconfig {
    char *sni;
    char *cacert;
    char *cacertdir;
    int skip_cert_verify;
    char *cert;
    char *key;
    char *ciphers;
    char *ciphersuites;
};

// The parsed --cluster command and the --cluster-* options.
struct clusterManagerCommand {
    char *name; // sub-command name (borrowed)
    int argc;
    char **argv; // the sub-command arguments (borrowed); null when argc is 0
    int flags;   // CLUSTER_MANAGER_CMD_FLAG_* bits
    int replicas;
    char *from;
    char *to;
    char **weight; // "name=weight" words (borrowed)
    int weight_argc;
    char *master_id;
    int slots;
    int timeout; // milliseconds
    int pipeline;
    float threshold;
    char *backup_dir;
    char *from_user;
    char *from_pass;
    int from_askpass;
};

struct cliConfig {
    hisds hostip;
    int hostport;
    char *hostsocket; // borrowed; replaces host and port when set
    int tls;
    cliSSLconfig sslconfig;
    long repeat;
    long interval; // microseconds
    int dbnum;     // database selected on the current connection
    int input_dbnum;
    int interactive;
    int shutdown;
    int monitor_mode;
    int pubsub_mode;
    int latency_mode;
    int latency_dist_mode;
    int latency_history;
    int lru_test_mode;
    long long lru_test_sample_size;
    int cluster_mode;
    int cluster_reissue_command;
    int cluster_send_asking;
    int slave_mode;
    int pipe_mode;
    int pipe_timeout;
    int getvdb_mode;
    int stat_mode;
    int scan_mode;
    int intrinsic_latency_mode;
    int intrinsic_latency_duration;
    hisds pattern;
    char *vdb_filename; // borrowed
    int bigkeys;
    int memkeys;
    unsigned memkeys_samples;
    int hotkeys;
    int stdinarg;
    char *auth;
    int askpass;
    char *user;
    int output; // OUTPUT_STANDARD, OUTPUT_RAW, OUTPUT_CSV or OUTPUT_JSON
    int push_output;
    hisds mb_delim;
    hisds cmd_delim;
    char prompt[128];
    char *eval; // borrowed
    int eval_ldb;
    int eval_ldb_sync;
    int eval_ldb_end;
    int enable_ldb_on_eval;
    int last_cmd_type;
    int verbose;
    int set_errcode;
    clusterManagerCommand cluster_manager_command;
    int no_auth_warning;
    int vosp3;
    int disable_motd;
    int in_multi;
    int pre_multi_dbnum;
    int quoted_input;
    int force_mode;
    long long timeout; // -t: bound on connecting and on every blocking read and write,
                       // in microseconds; 0 for none
};

extern cliConfig config;

// Interactive preferences.
struct cliPreferences {
    int hints; // show argument hints
};

extern cliPreferences pref;

// Puts config, pref and the spectrum palette to their start-up defaults,
// releasing the strings the previous values owned. output / push_output
// follow the terminal test (standard output is a terminal, or FAKETTY is set).
void cliConfigSetDefaults(void);

// Hands a string that config.auth, config.user or a cluster password field
// will point at to the configuration, which frees it on the next
// cliConfigSetDefaults. Returns s.
char *cliConfigKeepString(hisds s);
