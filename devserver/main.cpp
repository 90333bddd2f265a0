// vorn-devserver entry point: options, start-up, and the help screen.
#include "server.h"
#include "snapshot.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dev {
Server srv;
void registerTransactionCommands(std::vector<Command> &t);
void registerReplicationCommands(std::vector<Command> &t);
void registerScriptingCommands(std::vector<Command> &t);
} // namespace dev

using namespace dev;

static const char *kHelp =
    "Usage: vorn-devserver [OPTIONS]\n"
    "\n"
    "A small in-memory Vorn server for tests, benchmarks and the demo. It speaks\n"
    "VOSP2 and, after HELLO 3, VOSP3. When it listens it prints one line on standard\n"
    "output, 'ready port=N' followed by ' tls-port=N' and ' unix-socket=PATH' when\n"
    "those are bound, and serves until SIGTERM, SIGINT or SHUTDOWN (exit status 0).\n"
    "\n"
    "Options:\n"
    "  --port N                 TCP port (default 6379; 0 picks a free port).\n"
    "  --bind ADDR              Address to listen on (default 127.0.0.1; IPv6\n"
    "                           literals such as ::1 are accepted).\n"
    "  --unix-socket PATH       Also listen on a Unix-domain socket.\n"
    "  --tls-port N             Also listen for TLS on port N (0 picks a free port);\n"
    "                           needs --tls-cert and --tls-key.\n"
    "  --tls-cert FILE          Server certificate (PEM).\n"
    "  --tls-key FILE           Server private key (PEM).\n"
    "  --tls-ca-cert FILE       CA certificate used to verify clients.\n"
    "  --tls-verify-clients yes|no\n"
    "                           Require a client certificate (default no).\n"
    "  --password P             Password of the default user (AUTH P).\n"
    "  --user NAME:PASS         Add a user (AUTH NAME PASS); repeatable.\n"
    "  --databases N            Number of databases (default 16).\n"
    "  --demo-data              Start with a few sample keys of every type.\n"
    "  --load FILE              Start with the keys of a snapshot file (the format\n"
    "                           SYNC sends; a dump taken with vorn-cli --vdb).\n"
    "  --snapshot-pad BYTES     Add BYTES zero bytes of padding to every snapshot\n"
    "                           sent (streamed, never held in memory).\n"
    "  --repl-diskless-sync yes|no\n"
    "                           Send snapshots in the end-of-file-mark form to\n"
    "                           replicas that announced 'capa eof' (default no;\n"
    "                           also CONFIG SET repl-diskless-sync).\n"
    "  --enable-test-hooks      Enable the DEVHOOK command (below).\n"
    "  --cluster-enabled yes|no Run as a cluster node (default no): an ID, a bus\n"
    "                           port, 16384 hash slots, MOVED/ASK redirections.\n"
    "  --cluster-nodes N        Run N cluster nodes in this process, each on its own\n"
    "                           free port with its own bus port, keys and view\n"
    "                           (implies --cluster-enabled yes). The ready line then\n"
    "                           reads 'ready port=P1 ... cluster-ports=P1,...,PN\n"
    "                           cluster-bus-ports=B1,...,BN'; --port applies to the\n"
    "                           first node, the others always pick free ports.\n"
    "                           With --tls-port every node also gets a TLS port\n"
    "                           (listed as cluster-tls-ports=T1,...,TN).\n"
    "  --tls-cluster yes|no     Cluster nodes announce their TLS ports (CLUSTER\n"
    "                           NODES, SLOTS, MOVED, ASK) instead of the plain ones\n"
    "                           (default no). The bus itself stays plain TCP.\n"
    "  --help                   Show this text.\n"
    "\n"
    "Settings that change behaviour (CONFIG SET NAME VALUE):\n"
    "  lua-time-limit MS        a script running longer is stopped (default 5000).\n"
    "  repl-diskless-sync yes|no\n"
    "                           as the option above.\n"
    "  repl-ping-replica-period S\n"
    "                           PING streaming replicas every S seconds (default 10).\n"
    "Scripts (EVAL, EVALSHA, SCRIPT) run Lua 5.4; SCRIPT DEBUG yes|sync|no arms the\n"
    "line-stepping debugger for the connection's next EVAL (its 'help' lists its\n"
    "commands).\n"
    "\n"
    "Test hooks (DEVHOOK, only with --enable-test-hooks). A hook is server-wide:\n"
    "set from any connection, it applies to the next COUNT commands of any client\n"
    "that match MATCH (COUNT 0: until DEVHOOK RESET). MATCH is one argument holding\n"
    "the command name, optionally followed by more words that must match the next\n"
    "arguments, case-insensitively (\"GET\", \"CONFIG REWRITE\"); \"*\" matches every\n"
    "command. DEVHOOK itself is never matched. Each matching command uses at most\n"
    "one hook of each kind, the oldest first.\n"
    "  DEVHOOK REPLY MATCH COUNT BYTES      answer with BYTES verbatim (any reply\n"
    "                                       type, malformed bytes, MOVED/ASK errors,\n"
    "                                       several replies); the command is not run.\n"
    "  DEVHOOK REPLYHEX MATCH COUNT HEX     the same with the bytes in hexadecimal\n"
    "                                       (blanks ignored).\n"
    "  DEVHOOK FAIL MATCH COUNT TEXT        answer with the error -TEXT CR LF\n"
    "                                       (e.g. \"ERR no\"); the command is not run.\n"
    "  DEVHOOK PREFIX MATCH COUNT BYTES     send BYTES (e.g. pushes) just before the\n"
    "                                       command's reply; the command runs.\n"
    "  DEVHOOK PREFIXHEX MATCH COUNT HEX    the same in hexadecimal.\n"
    "  DEVHOOK DELAY MATCH COUNT MS         hold the reply (and the connection's\n"
    "                                       later requests) back for MS milliseconds.\n"
    "  DEVHOOK CLOSE MATCH COUNT N          send only the first N bytes of the reply,\n"
    "                                       then close the connection (0: no reply).\n"
    "  DEVHOOK AFTER MATCH COUNT DEL KEY    once a matching command has answered,\n"
    "                                       delete KEY of that client's database\n"
    "                                       (e.g. MATCH \"SCAN\": the key vanishes\n"
    "                                       between SCAN and the next request).\n"
    "  DEVHOOK AFTER MATCH COUNT RETYPE KEY TYPE\n"
    "                                       the same, but KEY becomes a one-element\n"
    "                                       string, list, set, hash, zset or stream.\n"
    "  DEVHOOK MODKEY KEY TYPE [VALUE]      create KEY holding a value of the made-up\n"
    "                                       (module-style) type TYPE: TYPE answers it,\n"
    "                                       commands of other types refuse it, MEMORY\n"
    "                                       USAGE counts VALUE.\n"
    "  DEVHOOK INFO FIELD [VALUE]           INFO shows FIELD:VALUE (replacing the\n"
    "                                       field where it is, else appended at the\n"
    "                                       end); without VALUE the override is\n"
    "                                       removed.\n"
    "  DEVHOOK SNI                          the server names (SNI) sent by the TLS\n"
    "                                       clients so far, in connection order (\"\"\n"
    "                                       when a client sent none).\n"
    "  DEVHOOK HISTORY [CLEAR]              the commands received so far (last 1000,\n"
    "                                       every client), one string each with the\n"
    "                                       arguments quoted as in MONITOR lines.\n"
    "  DEVHOOK SYNC PREPARE N MS            before a snapshot's announcement, send N\n"
    "                                       bare newlines MS ms apart (and wait MS\n"
    "                                       more before the announcement).\n"
    "  DEVHOOK SYNC PAUSE MS OFFSET...      pause MS ms after OFFSET bytes of a\n"
    "                                       transfer (counted from the first byte of\n"
    "                                       the announcement, mark included; a\n"
    "                                       negative OFFSET counts from the end).\n"
    "  DEVHOOK SYNC CUT N                   close the connection after N bytes of a\n"
    "                                       transfer (counted the same way).\n"
    "  DEVHOOK SYNC PAD BYTES               padding of later snapshots (overrides\n"
    "                                       --snapshot-pad).\n"
    "  DEVHOOK SYNC TRAILER BYTES           send BYTES right after each snapshot, in\n"
    "                                       the same write.\n"
    "  DEVHOOK SYNC CLEAR                   drop the SYNC hooks (DEVHOOK RESET too).\n"
    "                                       SYNC hooks apply to every transfer.\n"
    "  DEVHOOK LIST                         the active hooks.\n"
    "  DEVHOOK RESET                        remove hooks, INFO overrides, SNI names\n"
    "                                       and history.\n"
    "\n"
    "Memory: CONFIG SET maxmemory BYTES (units k, kb, m, mb, g, gb) bounds the sum of\n"
    "the MEMORY USAGE estimates of all keys; over it, keys are evicted before each\n"
    "command under maxmemory-policy (allkeys-/volatile-lru, -lfu, -random,\n"
    "volatile-ttl; maxmemory-samples keys sampled per database into a pool of 16),\n"
    "and with noeviction, or nothing left to evict, commands that may grow the data\n"
    "set get an OOM error. OBJECT FREQ (LFU policies only) is a logarithmic counter\n"
    "that starts at 5, grows with accesses (lfu-log-factor, 0: every access counts)\n"
    "and loses 1 per lfu-decay-time minutes without access (0: never).\n"
    "\n"
    "In cluster mode every node of the process has its own hooks, INFO overrides\n"
    "and history: a DEVHOOK command acts on the node whose port received it.\n"
    "Cluster hooks (NODE is a node's client port or ID, as this node knows it):\n"
    "  DEVHOOK CLUSTER DOWN NODE CLOSE|HANG|BUS  make a node of this process\n"
    "                                       unreachable: CLOSE closes its client and\n"
    "                                       bus ports and connections (connections are\n"
    "                                       refused); HANG keeps them open but answers\n"
    "                                       nothing but DEVHOOK (held commands run when\n"
    "                                       it comes back); BUS closes only its bus\n"
    "                                       port (it serves clients and still\n"
    "                                       reaches the others).\n"
    "  DEVHOOK CLUSTER UP NODE              make it reachable again (same ports).\n"
    "  DEVHOOK CLUSTER FAIL NODE            mark NODE as failed in the view of every\n"
    "                                       other node (FAIL is also gossiped).\n"
    "  DEVHOOK CLUSTER UNFAIL NODE          clear that mark again.\n"
    "  DEVHOOK CLUSTER ANYSLOT ON|OFF       this connection reads and writes keys of\n"
    "                                       any slot without redirection (keys in\n"
    "                                       slots the node does not own).\n"
    "  DEVHOOK CLUSTER UNCOVER SLOT [LAST]  no node of this process owns the slots\n"
    "                                       any more, and gossip does not restore them.\n"
    "  DEVHOOK CLUSTER SKEW SLOT OWNER      in this node's view only, OWNER (an ID,\n"
    "                                       or \"none\") owns SLOT and keeps it: the\n"
    "                                       views (and their signatures) disagree.\n"
    "  DEVHOOK CLUSTER PINS                 the slots held by UNCOVER / SKEW here.\n"
    "  DEVHOOK CLUSTER RELEASE              let gossip update those slots again.\n";

static const char *const kValueOptions[] = {
    "--port",          "--tls-port",           "--bind",
    "--unix-socket",   "--tls-cert",           "--tls-key",
    "--tls-ca-cert",   "--tls-verify-clients", "--password",
    "--user",          "--databases",          "--load",
    "--snapshot-pad",  "--repl-diskless-sync", "--cluster-enabled",
    "--cluster-nodes", "--tls-cluster"};

// An option that takes a value must have one; anything else is unknown.
static bool needArg(int i, int argc, const char *opt) {
    bool known = false;
    for (const char *v : kValueOptions)
        known = known || strcmp(v, opt) == 0;
    if (!known) {
        fprintf(stderr, "vorn-devserver: unknown option '%s' (see --help)\n", opt);
        return false;
    }
    if (i + 1 >= argc) {
        fprintf(stderr, "vorn-devserver: %s needs a value\n", opt);
        return false;
    }
    return true;
}

static bool parsePort(const char *s, int &out) {
    long long v;
    if (!toLL(s, v) || v < 0 || v > 65535) {
        fprintf(stderr, "vorn-devserver: invalid port '%s'\n", s);
        return false;
    }
    out = int(v);
    return true;
}

static bool parseYesNo(const char *opt, const std::string &v, bool &out) {
    if (v != "yes" && v != "no") {
        fprintf(stderr, "vorn-devserver: %s takes yes or no\n", opt);
        return false;
    }
    out = v == "yes";
    return true;
}

static bool parseCount(const char *opt, const char *v, long long max, int &out) {
    long long n;
    if (!toLL(v, n) || n < 1 || n > max) {
        fprintf(stderr, "vorn-devserver: invalid %s value (1 to %lld)\n", opt, max);
        return false;
    }
    out = int(n);
    return true;
}

int main(int argc, char **argv) {
    std::string password, load_file, diskless = "no";
    for (int i = 1; i < argc; i++) {
        std::string o = argv[i];
        if (o == "--help" || o == "-h") {
            fputs(kHelp, stdout);
            return 0;
        } else if (o == "--enable-test-hooks") {
            srv.hooks_enabled = true;
        } else if (o == "--demo-data") {
            srv.demo_data = true;
        } else if (!needArg(i, argc, argv[i])) {
            return 1;
        } else if (o == "--port") {
            if (!parsePort(argv[++i], srv.port)) return 1;
        } else if (o == "--tls-port") {
            if (!parsePort(argv[++i], srv.tls_port)) return 1;
        } else if (o == "--bind") {
            srv.bind = argv[++i];
        } else if (o == "--unix-socket") {
            srv.unix_path = argv[++i];
        } else if (o == "--tls-cert") {
            srv.tls_cert = argv[++i];
        } else if (o == "--tls-key") {
            srv.tls_key = argv[++i];
        } else if (o == "--tls-ca-cert") {
            srv.tls_ca = argv[++i];
        } else if (o == "--tls-verify-clients") {
            if (!parseYesNo(argv[i], argv[i + 1], srv.tls_verify)) return 1;
            i++;
        } else if (o == "--password") {
            password = argv[++i];
        } else if (o == "--user") {
            std::string v = argv[++i];
            size_t colon = v.find(':');
            if (colon == std::string::npos || colon == 0) {
                fprintf(stderr, "vorn-devserver: --user takes NAME:PASS\n");
                return 1;
            }
            srv.users[v.substr(0, colon)] = User{v.substr(colon + 1), false};
        } else if (o == "--databases") {
            if (!parseCount(argv[i], argv[i + 1], 10000, srv.databases)) return 1;
            i++;
        } else if (o == "--load") {
            load_file = argv[++i];
        } else if (o == "--snapshot-pad") {
            long long n;
            if (!toLL(argv[++i], n) || n < 0) {
                fprintf(stderr, "vorn-devserver: invalid --snapshot-pad value\n");
                return 1;
            }
            setSnapshotPad(uint64_t(n));
        } else if (o == "--repl-diskless-sync") {
            diskless = argv[++i];
            if (diskless != "yes" && diskless != "no") {
                fprintf(stderr, "vorn-devserver: --repl-diskless-sync takes yes or no\n");
                return 1;
            }
        } else if (o == "--tls-cluster") {
            if (!parseYesNo(argv[i], argv[i + 1], srv.tls_cluster)) return 1;
            i++;
        } else if (o == "--cluster-enabled") {
            if (!parseYesNo(argv[i], argv[i + 1], srv.cluster_enabled)) return 1;
            i++;
        } else if (o == "--cluster-nodes") {
            if (!parseCount(argv[i], argv[i + 1], 1000, srv.cluster_nodes)) return 1;
            i++;
            srv.cluster_enabled = true;
        }
    }
    if (srv.tls_port >= 0 && (srv.tls_cert.empty() || srv.tls_key.empty())) {
        fprintf(stderr, "vorn-devserver: --tls-port needs --tls-cert and --tls-key\n");
        return 1;
    }
    if (!srv.users.count("default"))
        srv.users["default"] = password.empty() ? User{"", true} : User{password, false};
    else if (!password.empty())
        srv.users["default"] = User{password, false};
    srv.dbs.resize(size_t(srv.databases));
    srv.start_ms = nowMs();
    srv.config = {{"databases", std::to_string(srv.databases)},
                  {"port", std::to_string(srv.port)},
                  {"bind", srv.bind},
                  {"maxmemory", "0"},
                  {"maxmemory-policy", "noeviction"},
                  {"maxmemory-samples", "5"},
                  {"lfu-log-factor", "10"},
                  {"lfu-decay-time", "1"},
                  {"timeout", "0"},
                  {"save", ""},
                  {"appendonly", "no"},
                  {"cluster-enabled", srv.cluster_enabled ? "yes" : "no"},
                  {"lua-time-limit", "5000"},
                  {"slowlog-log-slower-than", "10000"},
                  {"notify-keyspace-events", ""},
                  {"hz", "10"},
                  {"repl-diskless-sync", diskless}};
    registerConnectionCommands(srv.commands);
    registerKeyCommands(srv.commands);
    registerTypeCommands(srv.commands);
    registerServerCommands(srv.commands);
    registerMemoryCommands(srv.commands);
    registerPubsubCommands(srv.commands);
    registerTransactionCommands(srv.commands);
    registerReplicationCommands(srv.commands);
    registerScriptingCommands(srv.commands);
    registerHookCommands(srv.commands);
    registerClusterCommands(srv.commands);
    registerMigrateCommands(srv.commands);
    for (size_t i = 0; i < srv.commands.size(); i++)
        srv.cmd_index[srv.commands[i].name] = i;
    if (!load_file.empty()) {
        std::string err;
        if (!loadSnapshot(load_file, err)) {
            fprintf(stderr, "vorn-devserver: cannot load '%s': %s\n", load_file.c_str(),
                    err.c_str());
            return 1;
        }
    }
    if (srv.demo_data) loadDemoData();
    return serve();
}
