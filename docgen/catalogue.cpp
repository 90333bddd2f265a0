#include "catalogue.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "cli/help_table.h"
#include "cluster/commands.h"
#include "hivorn/sds.h"

Catalogue loadCatalogue() {
    Catalogue c;
    c.options = cliOptionDocs();
    std::set<std::string> seen;
    for (const struct commandHelp &h : commandHelp) {
        std::string word = h.name;
        word = word.substr(0, word.find(' '));
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        if (seen.insert(word).second) c.commands.push_back(word);
    }
    for (int i = 0; i < clusterManagerCommandsCount; i++) {
        const clusterManagerCommandDef &d = clusterManagerCommands[i];
        c.cluster.push_back({d.name, d.args ? d.args : ""});
    }
    hisds v = cliVersion();
    c.version = v;
    hi_sdsfree(v);
    return c;
}

ValueKind valueKind(const cliOptionDoc &o) {
    if (o.value.empty()) return ValueKind::None;
    if (o.name == "--cluster") return ValueKind::ClusterCommand;
    const std::string &v = o.value;
    if (v == "<file>" || v == "<filename>" || v == "<socket>") return ValueKind::File;
    if (v == "<dir>") return ValueKind::Directory;
    if (v == "<hostname>" || v == "<host>") return ValueKind::Host;
    return ValueKind::Other;
}

std::string joinedHelp(const cliOptionDoc &o) {
    std::string text;
    for (const std::string &l : o.lines) {
        if (!text.empty()) text += ' ';
        text += l;
    }
    return text;
}

std::vector<std::string> optionsOfKind(const Catalogue &c, ValueKind kind) {
    std::vector<std::string> names;
    for (const cliOptionDoc &o : c.options)
        if (valueKind(o) == kind) names.push_back(o.name);
    return names;
}
