#include "lineedit/history.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

namespace {

// Writes the lines to fp and closes it; false when any write failed.
bool writeLines(const std::deque<std::string> &lines, FILE *fp) {
    bool ok = true;
    for (const std::string &l : lines) {
        if (fwrite(l.data(), 1, l.size(), fp) != l.size() || fputc('\n', fp) == EOF) {
            ok = false;
            break;
        }
    }
    if (ok && fflush(fp) != 0) ok = false;
    int saved = errno;
    if (fclose(fp) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    errno = saved;
    return ok;
}

} // namespace

int History::save(const char *path) const {
    // A symbolic link stays a link: what is saved is the file it names.
    std::string target = path;
    struct stat st;
    bool exists = lstat(path, &st) == 0;
    if (exists && S_ISLNK(st.st_mode)) {
        if (char *resolved = realpath(path, nullptr)) {
            target = resolved;
            free(resolved);
        }
        exists = stat(target.c_str(), &st) == 0;
    }

    // Save to a file that is not a regular file (a FIFO, a device) as it is:
    // there is nothing there to replace.
    if (exists && !S_ISREG(st.st_mode)) {
        int fd = open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return -1;
        FILE *fp = fdopen(fd, "w");
        if (!fp) {
            close(fd);
            return -1;
        }
        return writeLines(lines_, fp) ? 0 : -1;
    }

    // A regular file is never rewritten in place, where a full disk would
    // leave it cut short: the lines go to a new file beside it, which
    // replaces the old one only once it is complete. History may hold
    // secrets typed as arguments, so the new file is readable by its owner
    // only.
    std::string tmp = target + ".tmp-XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    FILE *fp = fdopen(fd, "w");
    bool ok = fp != nullptr && writeLines(lines_, fp);
    if (fp == nullptr) close(fd);
    if (ok && rename(tmp.c_str(), target.c_str()) == 0) return 0;
    int saved = errno;
    unlink(tmp.c_str());
    errno = saved;
    return -1;
}

int History::load(const char *path) {
    // Opened without waiting: a FIFO put where the file should be must not
    // hold up the caller, and only a regular file is read.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st;
    FILE *fp = nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (fp = fdopen(fd, "r")) == nullptr) {
        close(fd);
        return -1;
    }
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
