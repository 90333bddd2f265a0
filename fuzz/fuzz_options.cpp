// The command line: the input's NUL-separated words are the arguments after
// the program name. Parsing either returns the index of the first command
// word, within the arguments, or ends the process with status 0 (--version)
// or 1 (the help screen, an unrecognised option and the other errors) after
// saying why on standard error; exit_trap.h turns the ending into a return.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/config.h"
#include "cli/options.h"
#include "exit_trap.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

// The configuration borrows the argument strings: they live until the next
// input has reset it.
std::vector<std::string> words;
std::vector<char *> argv;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // --version prints on standard output.
    check(freopen("/dev/null", "w", stdout) != nullptr);
    // The strings kept by the last input are released before the leak check
    // at exit, which would otherwise find them once the list that holds them
    // went away.
    cliConfigSetDefaults();
    atexit([] { cliConfigSetDefaults(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    cliConfigSetDefaults();
    words.assign(1, "vorn-cli");
    std::string text(reinterpret_cast<const char *>(data), size);
    for (size_t start = 0; size > 0;) {
        size_t end = text.find('\0', start);
        words.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    argv.clear();
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(words.size());

    std::string message;
    int first = -1;
    int status = exit_trap::run([&] { first = parseOptions(argc, argv.data()); }, message);
    if (status == -1) {
        check(first >= 1 && first <= argc);
    } else {
        check(status == 0 || (status == 1 && !message.empty()));
    }
    return 0;
}
