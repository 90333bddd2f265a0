#include "lineedit/terminal.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace lineedit::term {

namespace {

struct termios saved_mode;
int raw_fd = -1; // descriptor currently in raw mode, -1 for none
bool exit_hook_installed = false;

void restoreAtExit() {
    if (raw_fd >= 0) disableRawMode(raw_fd);
}

// Signals that end the process by default and can still arrive while the
// terminal is raw (the keyboard sends none then, but kill and a closing
// terminal do). While raw, each one first gives the terminal its mode back
// and then takes its default course; a signal the process ignores or handles
// itself is left alone.
constexpr int kEndingSignals[] = {SIGTERM, SIGHUP, SIGQUIT};
struct sigaction previous_actions[std::size(kEndingSignals)];
bool signal_caught[std::size(kEndingSignals)];

void restoreAndResignal(int sig) {
    int saved_errno = errno;
    if (raw_fd >= 0) tcsetattr(raw_fd, TCSANOW, &saved_mode);
    // The action was reset to the default on entry; the signal is delivered
    // again once this handler returns.
    raise(sig);
    errno = saved_errno;
}

void catchEndingSignals() {
    for (size_t i = 0; i < std::size(kEndingSignals); i++) {
        signal_caught[i] = false;
        struct sigaction &prev = previous_actions[i];
        if (sigaction(kEndingSignals[i], nullptr, &prev) != 0) continue;
        if ((prev.sa_flags & SA_SIGINFO) || prev.sa_handler != SIG_DFL) continue;
        struct sigaction sa = {};
        sa.sa_handler = restoreAndResignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESETHAND | SA_RESTART;
        signal_caught[i] = sigaction(kEndingSignals[i], &sa, nullptr) == 0;
    }
}

void releaseEndingSignals() {
    for (size_t i = 0; i < std::size(kEndingSignals); i++)
        if (signal_caught[i]) sigaction(kEndingSignals[i], &previous_actions[i], nullptr);
    std::fill(std::begin(signal_caught), std::end(signal_caught), false);
}

// How long a terminal gets to answer a cursor position query.
constexpr int kQueryTimeoutMs = 200;

// Asks the terminal for the cursor's column (1-based); -1 when it does not answer.
int cursorColumn(int ifd, int ofd) {
    if (!writeAll(ofd, "\x1b[6n")) return -1;
    char reply[32];
    size_t n = 0;
    unsigned char c;
    while (n + 1 < sizeof reply) {
        if (readByte(ifd, c, kQueryTimeoutMs) != 1) return -1;
        reply[n++] = static_cast<char>(c);
        if (c == 'R') break;
    }
    reply[n] = '\0';
    int row, col;
    if (n < 2 || reply[0] != '\x1b' || reply[1] != '[') return -1;
    if (sscanf(reply + 2, "%d;%dR", &row, &col) != 2) return -1;
    return col;
}

} // namespace

bool isUnsupportedTerm() {
    const char *term = getenv("TERM");
    if (!term) return false;
    for (const char *name : {"dumb", "cons25", "emacs"})
        if (strcasecmp(term, name) == 0) return true;
    return false;
}

int enableRawMode(int fd) {
    if (!isatty(fd)) {
        errno = ENOTTY;
        return -1;
    }
    if (!exit_hook_installed) {
        atexit(restoreAtExit);
        exit_hook_installed = true;
    }
    struct termios mode;
    if (tcgetattr(fd, &saved_mode) == -1) return -1;
    mode = saved_mode;
    // No break signal, no CR to NL, no parity check, no stripping of the 8th
    // bit, no flow control; no output processing; 8-bit characters; no echo,
    // no line buffering, no extended functions, no signal characters (Ctrl-C
    // and Ctrl-Z arrive as bytes).
    mode.c_iflag &= ~(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    mode.c_oflag &= ~OPOST;
    mode.c_cflag |= CS8;
    mode.c_lflag &= ~(ECHO | ICANON | IEXTEN | ISIG);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    // TCSADRAIN rather than a flush: input typed or pasted ahead stays
    // queued for the following lines.
    if (tcsetattr(fd, TCSADRAIN, &mode) == -1) return -1;
    raw_fd = fd;
    catchEndingSignals();
    return 0;
}

void disableRawMode(int fd) {
    if (raw_fd != fd) return;
    if (tcsetattr(fd, TCSADRAIN, &saved_mode) != -1) {
        raw_fd = -1;
        releaseEndingSignals();
    }
}

size_t windowColumns(int ofd) {
    struct winsize ws;
    if (ioctl(ofd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 0;
}

size_t columns(int ifd, int ofd) {
    if (size_t c = windowColumns(ofd)) return c;
    if (size_t c = windowColumns(ifd)) return c;
    if (!isatty(ofd)) return 80;
    int start = cursorColumn(ifd, ofd);
    if (start < 1) return 80;
    if (!writeAll(ofd, "\x1b[999C")) return 80;
    int cols = cursorColumn(ifd, ofd);
    if (cols < 1) return 80;
    if (cols > start) writeAll(ofd, "\x1b[" + std::to_string(cols - start) + "D");
    return static_cast<size_t>(cols);
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

int readByte(int fd, unsigned char &c, int timeout_ms) {
    for (;;) {
        if (timeout_ms >= 0) {
            struct pollfd p = {fd, POLLIN, 0};
            int r = poll(&p, 1, timeout_ms);
            if (r < 0 && errno == EINTR) continue;
            if (r == 0) return 0;
            if (r < 0) return -1;
        }
        ssize_t n = read(fd, &c, 1);
        if (n == 1) return 1;
        if (n < 0 && errno == EINTR) continue;
        return -1;
    }
}

bool inputPending(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

} // namespace lineedit::term
