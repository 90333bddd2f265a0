// What the generated documents are made of: the client's own option table,
// its built-in command table and its cluster sub-command table.
#pragma once

#include <string>
#include <vector>

#include "cli/options.h"

// What the word after an option is, for completion.
enum class ValueKind { None, File, Directory, Host, ClusterCommand, Other };

struct ClusterCommandDoc {
    std::string name;
    std::string args; // synopsis, may be empty
};

struct Catalogue {
    std::vector<cliOptionDoc> options;
    std::vector<std::string> commands; // first words of the command table, lower case
    std::vector<ClusterCommandDoc> cluster;
    std::string version;
};

Catalogue loadCatalogue();
ValueKind valueKind(const cliOptionDoc &o);
// The help lines of an option joined into one sentence-like text.
std::string joinedHelp(const cliOptionDoc &o);
// Names of the options whose next word is their value, for the given kinds.
std::vector<std::string> optionsOfKind(const Catalogue &c, ValueKind kind);
