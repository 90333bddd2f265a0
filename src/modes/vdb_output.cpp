#include "modes/vdb_output.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary file of the transfer in progress, for the signal handler.
// A transfer killed by Ctrl-C or a termination signal leaves no half file.
char pending_tmp[PATH_MAX + 32];

void removePendingAndDie(int sig) {
    if (pending_tmp[0] != '\0') unlink(pending_tmp);
    signal(sig, SIG_DFL);
    raise(sig);
}

const int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void watchSignals(const std::string &tmp) {
    if (tmp.size() >= sizeof(pending_tmp)) return;
    memcpy(pending_tmp, tmp.c_str(), tmp.size() + 1);
    for (int sig : kCleanupSignals) {
        struct sigaction sa = {}, old = {};
        sigaction(sig, nullptr, &old);
        if (old.sa_handler != SIG_DFL) continue; // an ignored signal stays ignored
        sa.sa_handler = removePendingAndDie;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

void unwatchSignals() {
    for (int sig : kCleanupSignals) {
        struct sigaction old = {};
        sigaction(sig, nullptr, &old);
        if (old.sa_handler == removePendingAndDie) signal(sig, SIG_DFL);
    }
    pending_tmp[0] = '\0';
}

// The directory part of path, with its trailing "/" ("" for a bare name).
std::string dirOf(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string baseOf(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

bool vdbOutput::open(const char *name) {
    name_ = name;
    if (name_ == "-") {
        fd_ = 1;
        return true;
    }
    struct stat st;
    bool exists = stat(name, &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        // A FIFO, a device or a socket: written directly, as it comes.
        fd_ = ::open(name, O_WRONLY | O_CREAT, 0644);
        return fd_ != -1;
    }
    if (!exists && errno != ENOENT) return false;

    // Through a symbolic link, the file the link points at is replaced and
    // the link stays.
    target_ = name_;
    if (exists) {
        char *real = realpath(name, nullptr);
        if (real != nullptr) {
            target_ = real;
            free(real);
        }
    }
    std::string tmp = dirOf(target_) + "." + baseOf(target_) + ".tmp-XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd == -1) {
        if (errno == EACCES && exists) {
            // A file we may write in a directory we may not: written in
            // place, emptied again should the transfer fail.
            fd_ = ::open(name, O_WRONLY);
            in_place_ = fd_ != -1;
            return in_place_;
        }
        return false;
    }
    // mkstemp makes the file private: give it the mode the file had, or the
    // mode a fresh file of ours gets.
    mode_t mode;
    if (exists) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0644 & ~mask;
    }
    if (fchmod(fd, mode) != 0) {
        int saved = errno;
        close(fd);
        unlink(tmp.c_str());
        errno = saved;
        return false;
    }
    fd_ = fd;
    tmp_ = tmp;
    watchSignals(tmp_);
    return true;
}

bool vdbOutput::write(const char *buf, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd_, buf, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = 0;
            return false;
        }
        buf += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool vdbOutput::truncate(unsigned long long size) {
    if (!seekable()) return true;
    return ftruncate(fd_, static_cast<off_t>(size)) == 0;
}

bool vdbOutput::sync() {
    if (isStdout()) return true;
    // A FIFO or a terminal has nothing to flush.
    if (fsync(fd_) == 0 || errno == EINVAL || errno == EROFS) return true;
    return false;
}

bool vdbOutput::commit() {
    if (fd_ == -1) return true;
    if (isStdout()) {
        fd_ = -1;
        return true;
    }
    int fd = fd_;
    fd_ = -1;
    int rc = close(fd);
    if (tmp_.empty()) return rc == 0 || errno == EINTR;
    if (rc != 0 && errno != EINTR) return false;
    if (rename(tmp_.c_str(), target_.c_str()) != 0) return false;
    tmp_.clear();
    unwatchSignals();
    // The new name is durable only once its directory is.
    std::string dir = dirOf(target_);
    int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dfd != -1) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

void vdbOutput::discard() {
    if (in_place_ && fd_ != -1 && ftruncate(fd_, 0) != 0) {
        // Nothing more can be done about it; the message already went out.
    }
    if (fd_ != -1 && !isStdout()) close(fd_);
    fd_ = -1;
    if (!tmp_.empty()) {
        unlink(tmp_.c_str());
        tmp_.clear();
        unwatchSignals();
    }
}
