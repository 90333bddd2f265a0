// vorn-docgen KIND OUTPUT: writes the man page or a completion script, made
// from the client's option and command tables, at build time.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "writers.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: vorn-docgen man|bash|zsh|fish OUTPUT\n");
        return 2;
    }
    void (*write)(std::ostream &, const Catalogue &) = nullptr;
    if (!strcmp(argv[1], "man")) write = writeManPage;
    if (!strcmp(argv[1], "bash")) write = writeBashCompletion;
    if (!strcmp(argv[1], "zsh")) write = writeZshCompletion;
    if (!strcmp(argv[1], "fish")) write = writeFishCompletion;
    if (write == nullptr) {
        fprintf(stderr, "vorn-docgen: unknown kind '%s'\n", argv[1]);
        return 2;
    }
    // Written beside the target and renamed into place, so an interrupted
    // build never leaves a truncated document that looks up to date.
    std::string tmp = std::string(argv[2]) + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        write(out, loadCatalogue());
        out.flush();
        if (!out) {
            fprintf(stderr, "vorn-docgen: cannot write %s\n", tmp.c_str());
            std::remove(tmp.c_str());
            return 1;
        }
    }
    if (std::rename(tmp.c_str(), argv[2]) != 0) {
        perror("vorn-docgen: rename");
        std::remove(tmp.c_str());
        return 1;
    }
    return 0;
}
