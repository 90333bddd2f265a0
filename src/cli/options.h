// Command-line options, environment and the small start-up helpers of
// vorn-cli. Everything here fills the global `config` (cli/config.h).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "hivorn/sds.h"

// Reads the options from argv[1] on into config and returns the index of the
// first command word (argc when there is none). Errors print their message on
// standard error and exit with status 1; --help prints the help screen,
// --version the version (status 0).
int parseOptions(int argc, char **argv);

// VORNCLI_AUTH (password, when none was given) and VORNCLI_CLUSTER_YES.
void parseEnv(void);

// Reads one line from the terminal with masked echo. Returns a new string, or
// null at end of input.
hisds askPassword(const char *prompt);

// Fills host, port, database, user, password and TLS from a
// vorn:// or vorns:// URI; an invalid URI exits with status 1.
void parseVornUri(const char *uri);

// Decodes %XX escapes of len bytes at pe into a new string; a malformed
// escape exits with status 1.
hisds percentDecode(const char *pe, size_t len);

// Prints the help screen on standard error and exits with status 1.
[[noreturn]] void usage(void);

// The version text; the caller frees it.
hisds cliVersion(void);

// The one string that str denotes under the argument-splitting rules, or
// null when it denotes none or several.
hisds unquoteCString(const char *str);

// All of standard input as one string; a read error exits with status 1.
hisds readArgFromStdin(void);

// Path of a per-user file: $envoverride when set and non-empty (null for
// "/dev/null"), else $HOME/dotfilename, else null.
hisds getDotfilePath(const char *envoverride, const char *dotfilename);

// True when TERM names an xterm-compatible terminal and colours are allowed
// (cli/color.h).
int isColorTerm(void);

// Where an option is documented.
enum cliOptionSection {
    CLI_OPTION_SCREEN,     // on the help screen
    CLI_OPTION_ADDITIONAL, // in the "Additional options" block after it
    CLI_OPTION_OTHER,      // accepted, listed by neither (aliases, --mono, ...)
    CLI_OPTION_CLUSTER,    // options of the --cluster sub-commands
};

// One option as the documentation shows it. The man page and the shell
// completions are generated from these rows, the same ones usage() prints.
struct cliOptionDoc {
    std::string name;               // "-h", "--cluster"
    std::string value;              // "<hostname>", empty for a switch
    std::vector<std::string> lines; // help text, one entry per screen line
    cliOptionSection section;
};

// Every option parseOptions accepts, in the order of the help screen, then
// the additional, other and cluster options.
std::vector<cliOptionDoc> cliOptionDocs(void);

// The part of the help screen after the options (cluster note, examples).
const char *cliHelpTail(void);

// Records the --cluster sub-command and its arguments (borrowed).
int createClusterManagerCommand(char *cmdname, int argc, char **argv);
