// The two per-user files the interactive shell reads at start: the history
// file (checked against a model: one entry per line, a CR before the line
// end dropped, a repeated line kept once, the newest lines kept up to the
// capacity; saving and loading again keeps the entries) and the preferences
// file, which must not fail on any content.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/config.h"
#include "cli/repl.h"
#include "lineedit/history.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

std::string input, saved; // paths of the scratch files

void removeFiles() {
    unlink(input.c_str());
    unlink(saved.c_str());
}

std::string scratchFile() {
    char path[] = "/tmp/vorn-fuzz-dotfile.XXXXXX";
    int fd = mkstemp(path);
    check(fd >= 0);
    close(fd);
    return path;
}

std::vector<std::string> expectedHistory(const std::string &text, size_t cap) {
    std::vector<std::string> lines;
    auto add = [&](std::string l) {
        if (!lines.empty() && lines.back() == l) return;
        lines.push_back(std::move(l));
    };
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string l = text.substr(start, nl - start);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        add(l);
    }
    if (start < text.size()) add(text.substr(start));
    if (lines.size() > cap) lines.erase(lines.begin(), lines.end() - cap);
    return lines;
}

std::vector<std::string> entries(const lineedit::History &h) {
    std::vector<std::string> out;
    for (size_t i = 0; i < h.size(); i++)
        out.push_back(h.at(i));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    input = scratchFile();
    saved = scratchFile();
    atexit(removeFiles);
    setenv("VORNCLI_RCFILE", input.c_str(), 1);
    // The preferences file reports unknown lines on standard output.
    check(freopen("/dev/null", "w", stdout) != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    FILE *fp = fopen(input.c_str(), "wb");
    check(fp != nullptr && fwrite(text.data(), 1, text.size(), fp) == text.size());
    check(fclose(fp) == 0);

    // A small capacity now and then, so that dropping old entries is reached.
    size_t cap = size > 0 && data[0] == '#' ? 3 : lineedit::History::kDefaultMaxLen;
    lineedit::History history;
    check(history.setMaxLen(static_cast<int>(cap)));
    check(history.load(input.c_str()) == 0);
    std::vector<std::string> loaded = entries(history);
    check(loaded == expectedHistory(text, cap));

    // A saved entry ending in CR would lose it on the way back, as any line
    // from a file with CRLF line ends does; typed lines never end in one.
    bool crEnd = false;
    for (const std::string &l : loaded)
        crEnd = crEnd || (!l.empty() && l.back() == '\r');
    if (!crEnd) {
        check(history.save(saved.c_str()) == 0);
        lineedit::History again;
        check(again.setMaxLen(static_cast<int>(cap)));
        check(again.load(saved.c_str()) == 0);
        check(entries(again) == loaded);
    }

    pref.hints = 1;
    cliLoadPreferences();
    check(pref.hints == 0 || pref.hints == 1);
    return 0;
}
