// Help, completion and hints over one merged list of entries: the command
// groups, the built-in command table and the commands learnt from the server.
#include "cli/help.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>
#include <vector>

#include "cli/color.h"
#include "cli/config.h"
#include "cli/connection.h"
#include "cli/options.h"

helpEntry *helpEntries = nullptr;
int helpEntriesLen = 0;

namespace {

// A help row made for a command the server reported; the row points into
// the strings, so it is kept behind a pointer and never moved.
struct learntHelp {
    std::string name;
    std::string params;
    struct commandHelp row;
};

std::vector<helpEntry> entries;
std::vector<std::unique_ptr<learntHelp>> learnt;

// A server that reports an absurd arity would otherwise make the synopsis
// ("arg " per argument) grow without bound.
constexpr long long MAX_LEARNT_ARITY = 1024;

void publishEntries() {
    helpEntries = entries.empty() ? nullptr : entries.data();
    helpEntriesLen = static_cast<int>(entries.size());
}

void addEntry(int type, hisds *argv, int argc, hisds full, const struct commandHelp *org) {
    entries.push_back(helpEntry{type, argc, argv, full, org});
}

// An entry whose name is one word: a group, or a learnt command.
void addSingleWordEntry(int type, const char *word, size_t len, const struct commandHelp *org) {
    auto *argv = static_cast<hisds *>(hi_sds_malloc(sizeof(hisds)));
    argv[0] = hi_sdsnewlen(word, len);
    addEntry(type, argv, 1, hi_sdsnewlen(word, len), org);
}

bool knownFirstWord(const char *name) {
    for (const helpEntry &e : entries)
        if (e.argc > 0 && strcasecmp(e.argv[0], name) == 0) return true;
    return false;
}

// "key " when the first key is the first argument, "arg " for every other
// fixed argument, "...options..." when more may follow.
std::string learntParams(long long arity, long long firstkey) {
    long long n = (arity < 0 ? -arity : arity) - 1;
    std::string params;
    if (firstkey == 1) {
        params += "key ";
        n--;
    }
    for (; n > 0; n--)
        params += "arg ";
    if (arity < 0) params += "...options...";
    return params;
}

bool isCommandDescription(const vornReply *e) {
    return e != nullptr && e->type == VORN_REPLY_ARRAY && e->elements >= 4 &&
           e->element[0]->type == VORN_REPLY_STRING && e->element[1]->type == VORN_REPLY_INTEGER &&
           e->element[3]->type == VORN_REPLY_INTEGER &&
           e->element[1]->integer >= -MAX_LEARNT_ARITY &&
           e->element[1]->integer <= MAX_LEARNT_ARITY;
}

bool startsWithNoCase(const char *s, const char *prefix) {
    return strncasecmp(s, prefix, strlen(prefix)) == 0;
}

} // namespace

void cliFreeHelp(void) {
    for (helpEntry &e : entries) {
        hi_sdsfreesplitres(e.argv, e.argc);
        hi_sdsfree(e.full);
    }
    entries.clear();
    learnt.clear();
    publishEntries();
}

void cliInitHelp(void) {
    cliFreeHelp();
    entries.reserve(CLI_HELP_GROUP_COUNT + CLI_HELP_COMMAND_COUNT);
    for (int i = 0; i < CLI_HELP_GROUP_COUNT; i++) {
        std::string word = std::string("@") + commandGroups[i];
        addSingleWordEntry(CLI_HELP_GROUP, word.data(), word.size(), nullptr);
    }
    for (int i = 0; i < CLI_HELP_COMMAND_COUNT; i++) {
        const struct commandHelp *row = &commandHelp[i];
        int argc = 0;
        hisds *argv = hi_sdssplitargs(row->name, &argc);
        addEntry(CLI_HELP_COMMAND, argv, argc, hi_sdsnew(row->name), row);
    }
    publishEntries();
}

void cliIntegrateHelpFromReply(const vornReply *reply) {
    if (reply == nullptr || reply->type != VORN_REPLY_ARRAY) return;
    for (size_t j = 0; j < reply->elements; j++) {
        const vornReply *e = reply->element[j];
        // Anything that does not look like a command description means we
        // do not understand this reply; keep what was learnt so far.
        if (!isCommandDescription(e)) break;
        const vornReply *name = e->element[0];
        std::string upper(name->str, name->len);
        for (char &c : upper)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        if (knownFirstWord(upper.c_str())) continue;

        auto row = std::make_unique<learntHelp>();
        row->name = upper;
        row->params = learntParams(e->element[1]->integer, e->element[3]->integer);
        row->row = {row->name.c_str(), row->params.c_str(), CLI_HELP_NOT_AVAILABLE,
                    CLI_HELP_GROUP_GENERIC, CLI_HELP_SINCE_NOT_KNOWN};
        addSingleWordEntry(CLI_HELP_COMMAND, upper.data(), upper.size(), &row->row);
        learnt.push_back(std::move(row));
    }
    publishEntries();
}

void cliIntegrateHelp(void) {
    if (cliConnect(CC_QUIET) == -1) return;
    auto *reply = static_cast<vornReply *>(vornCommand(context, "COMMAND"));
    if (reply == nullptr) return;
    cliIntegrateHelpFromReply(reply);
    freeReplyObject(reply);
}

void cliOutputCommandHelp(const struct commandHelp *help, int group) {
    const char *bold = cliColorEscape("\x1b[1m"), *grey = cliColorEscape("\x1b[90m");
    const char *yellow = cliColorEscape("\x1b[33m"), *reset = cliColorEscape("\x1b[0m");
    printf("\r\n  %s%s%s %s%s%s\r\n", bold, help->name, reset, grey, help->params, reset);
    printf("  %ssummary:%s %s\r\n", yellow, reset, help->summary);
    printf("  %ssince:%s %s\r\n", yellow, reset, help->since);
    if (group) {
        const char *name = help->group >= 0 && help->group < CLI_HELP_GROUP_COUNT
                               ? commandGroups[help->group]
                               : "";
        printf("  %sgroup:%s %s\r\n", yellow, reset, name);
    }
}

void cliOutputGenericHelp(void) {
    hisds version = cliVersion();
    printf("vorn-cli %s\n"
           "To get help about Vorn commands type:\n"
           "      \"help @<group>\" to get a list of commands in <group>\n"
           "      \"help <command>\" for help on <command>\n"
           "      \"help <tab>\" to get a list of possible help topics\n"
           "      \"quit\" to exit\n"
           "\n"
           "To set vorn-cli preferences:\n"
           "      \":set hints\" enable online hints\n"
           "      \":set nohints\" disable online hints\n"
           "Set your preferences in ~/.vornclirc\n",
           version);
    hi_sdsfree(version);
    fflush(stdout);
}

void cliOutputHelp(int argc, hisds *argv) {
    if (argc == 0) {
        cliOutputGenericHelp();
        return;
    }
    int group = -1;
    if (argv[0][0] == '@') {
        for (int i = 0; i < CLI_HELP_GROUP_COUNT; i++)
            if (strcasecmp(argv[0] + 1, commandGroups[i]) == 0) {
                group = i;
                break;
            }
    }
    for (int i = 0; i < helpEntriesLen; i++) {
        const helpEntry &e = helpEntries[i];
        if (e.type != CLI_HELP_COMMAND) continue;
        if (group != -1) {
            if (e.org->group == group) cliOutputCommandHelp(e.org, 0);
            continue;
        }
        // Typed words must match whole words of the name: "help client"
        // lists every CLIENT subcommand, "help cl" nothing.
        if (e.argc < argc) continue;
        bool match = true;
        for (int j = 0; j < argc && match; j++)
            match = strcasecmp(argv[j], e.argv[j]) == 0;
        if (match) cliOutputCommandHelp(e.org, 1);
    }
    printf("\r\n");
    fflush(stdout);
}

void completionCallback(const char *buf, linenoiseCompletions *lc) {
    const char *text = buf;
    int mask = CLI_HELP_COMMAND;
    if (startsWithNoCase(buf, "help ")) {
        text = buf + 5;
        while (isspace(static_cast<unsigned char>(*text)))
            text++;
        mask = CLI_HELP_COMMAND | CLI_HELP_GROUP;
    }
    size_t textlen = strlen(text);
    std::string candidate(buf, static_cast<size_t>(text - buf));
    size_t keep = candidate.size();
    for (int i = 0; i < helpEntriesLen; i++) {
        const helpEntry &e = helpEntries[i];
        if (!(e.type & mask)) continue;
        if (strncasecmp(e.full, text, textlen) != 0) continue;
        candidate.resize(keep);
        candidate.append(e.full, hi_sdslen(e.full));
        linenoiseAddCompletion(lc, candidate.c_str());
    }
}

char *hintsCallback(const char *buf, int *color, int *bold) {
    if (!pref.hints) return nullptr;

    int argc = 0;
    hisds *argv = hi_sdssplitargs(buf, &argc);
    size_t buflen = strlen(buf);
    bool endspace = buflen > 0 && isspace(static_cast<unsigned char>(buf[buflen - 1]));
    if (argv == nullptr || argc == 0) {
        hi_sdsfreesplitres(argv, argc);
        return nullptr;
    }

    const struct commandHelp *row = nullptr;
    for (int i = 0; i < helpEntriesLen && row == nullptr; i++) {
        const helpEntry &e = helpEntries[i];
        if (e.type != CLI_HELP_COMMAND) continue;
        if (strcasecmp(argv[0], e.full) == 0 || strcasecmp(buf, e.full) == 0) row = e.org;
    }
    hi_sdsfreesplitres(argv, argc);
    if (row == nullptr) return nullptr;

    // Without colours the hint is drawn in the text's own style.
    *color = cliColorAllowed() ? 90 : -1;
    *bold = 0;
    // Skip one synopsis word per argument already typed; the optional part
    // (from the first "[") always stays.
    const char *params = row->params;
    int toskip = argc - 1;
    while (toskip > 0 && *params != '\0' && *params != '[') {
        if (*params == ' ') toskip--;
        params++;
    }
    hisds hint = hi_sdsnew(endspace ? "" : " ");
    return hi_sdscat(hint, params);
}

void freeHintsCallback(void *ptr) {
    hi_sdsfree(static_cast<hisds>(ptr));
}
