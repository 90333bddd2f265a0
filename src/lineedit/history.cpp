#include "lineedit/history.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace lineedit {

bool History::add(std::string_view line) {
    if (!lines_.empty() && lines_.back() == line) return false;
    if (lines_.size() == max_len_) lines_.pop_front();
    lines_.emplace_back(line);
    return true;
}

bool History::setMaxLen(int len) {
    if (len < 1) return false;
    max_len_ = static_cast<size_t>(len);
    while (lines_.size() > max_len_)
        lines_.pop_front();
    return true;
}

int History::save(const char *path) const {
    // History may hold secrets typed as arguments: a new file is created
    // readable by its owner only, and an existing regular file is narrowed.
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) (void)fchmod(fd, 0600);
    FILE *fp = fdopen(fd, "w");
    if (!fp) {
        close(fd);
        return -1;
    }
    bool ok = true;
    for (const std::string &l : lines_) {
        if (fwrite(l.data(), 1, l.size(), fp) != l.size() || fputc('\n', fp) == EOF) {
            ok = false;
            break;
        }
    }
    if (fclose(fp) != 0) ok = false;
    return ok ? 0 : -1;
}

int History::load(const char *path) {
    FILE *fp = fopen(path, "r");
    if (!fp) return -1;
    std::string line;
    int c;
    bool pending = false;
    while ((c = getc(fp)) != EOF) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            add(line);
            line.clear();
            pending = false;
        } else {
            line.push_back(static_cast<char>(c));
            pending = true;
        }
    }
    if (pending) add(line); // last line without a line end
    fclose(fp);
    return 0;
}

} // namespace lineedit
