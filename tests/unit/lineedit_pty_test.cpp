// The line editor on a real pseudo-terminal: a child process reads lines with
// linenoise() on the terminal side while the test types on the other side.
#include "lineedit/linenoise.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// One result of linenoise(): the line, or none with its errno.
struct Result {
    std::optional<std::string> line;
    int err = 0;
};

void writeFully(int fd, const std::string &s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = write(fd, s.data() + off, s.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

// Child side: reports each result on the result pipe as
// "L<length>:<bytes>" or "N<errno>;".
void report(int fd, char *line) {
    std::string rec;
    if (line)
        rec = "L" + std::to_string(strlen(line)) + ":" + line;
    else
        rec = "N" + std::to_string(errno) + ";";
    writeFully(fd, rec);
    linenoiseFree(line);
}

class PtySession {
  public:
    // `cols` 0 leaves the window size unknown.
    explicit PtySession(unsigned short cols = 80) {
        struct winsize ws = {};
        ws.ws_row = 24;
        ws.ws_col = cols;
        if (openpty(&master_, &slave_, nullptr, nullptr, &ws) != 0) master_ = slave_ = -1;
        if (pipe(results_) != 0) results_[0] = results_[1] = -1;
    }
    ~PtySession() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {master_, slave_, results_[0], results_[1]})
            if (fd >= 0) close(fd);
    }
    bool ok() const { return master_ >= 0 && results_[0] >= 0; }
    int slave() const { return slave_; }

    // Runs `body` in a child whose standard input and output are the
    // terminal, or `stdin_fd` for input when given (`other_end`, the pipe's
    // write end, is closed in the child so that it sees the end of input).
    void start(const std::function<void(int result_fd)> &body, const char *term = "xterm",
               int stdin_fd = -1, int other_end = -1) {
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            setsid();
            dup2(stdin_fd >= 0 ? stdin_fd : slave_, STDIN_FILENO);
            dup2(slave_, STDOUT_FILENO);
            close(master_);
            close(results_[0]);
            if (other_end >= 0) close(other_end);
            setenv("TERM", term, 1);
            body(results_[1]);
            _exit(0);
        }
        close(results_[1]);
        results_[1] = -1;
    }

    // Collects terminal output until `marker` appears after what was already
    // seen (or the time runs out); returns whether it appeared.
    bool waitFor(const std::string &marker, int timeout_ms = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t at = output_.find(marker, seen_);
            if (at != std::string::npos) {
                seen_ = at + marker.size();
                return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0 || !pump(static_cast<int>(left))) return false;
        }
    }

    // The prompt of a following read: the previous line ends first.
    bool waitForNextPrompt() { return waitFor("\r\n\r> "); }

    void send(const std::string &keys) { writeFully(master_, keys); }

    // Waits for the child to end and returns its results and exit status.
    std::vector<Result> finish(int *status = nullptr, int timeout_ms = 5000) {
        std::string raw;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            pump(0);
            char buf[4096];
            struct pollfd p = {results_[0], POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                ssize_t n = read(results_[0], buf, sizeof buf);
                if (n == 0) break; // the child is gone
                if (n > 0) raw.append(buf, static_cast<size_t>(n));
            }
            if (std::chrono::steady_clock::now() > deadline) break;
        }
        int st = -1;
        if (pid_ > 0) {
            for (int i = 0; i < 250 && waitpid(pid_, &st, WNOHANG) == 0; i++)
                usleep(20000);
            if (waitpid(pid_, &st, WNOHANG) == 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &st, 0);
            }
            pid_ = -1;
        }
        pump(0);
        if (status) *status = st;
        return parse(raw);
    }

    const std::string &output() const { return output_; }

  private:
    bool pump(int timeout_ms) {
        struct pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return false;
        char buf[4096];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) return false;
        output_.append(buf, static_cast<size_t>(n));
        return true;
    }

    static std::vector<Result> parse(const std::string &raw) {
        std::vector<Result> out;
        size_t i = 0;
        while (i < raw.size()) {
            Result r;
            if (raw[i] == 'L') {
                size_t colon = raw.find(':', i);
                size_t len = std::stoul(raw.substr(i + 1, colon - i - 1));
                r.line = raw.substr(colon + 1, len);
                i = colon + 1 + len;
            } else {
                size_t semi = raw.find(';', i);
                r.err = std::stoi(raw.substr(i + 1, semi - i - 1));
                i = semi + 1;
            }
            out.push_back(r);
        }
        return out;
    }

    int master_ = -1, slave_ = -1;
    int results_[2] = {-1, -1};
    pid_t pid_ = -1;
    std::string output_;
    size_t seen_ = 0;
};

struct termios modeOf(int fd) {
    struct termios t = {};
    tcgetattr(fd, &t);
    return t;
}

void expectSameMode(const struct termios &a, const struct termios &b) {
    EXPECT_EQ(a.c_iflag, b.c_iflag);
    EXPECT_EQ(a.c_oflag, b.c_oflag);
    EXPECT_EQ(a.c_cflag, b.c_cflag);
    EXPECT_EQ(a.c_lflag, b.c_lflag);
}

void readLines(int n, int fd) {
    for (int i = 0; i < n; i++)
        report(fd, linenoise("> "));
}

TEST(LineEditorTerminal, EditsInRawModeAndRestoresTheTerminal) {
    PtySession s;
    ASSERT_TRUE(s.ok());
    struct termios before = modeOf(s.slave());
    ASSERT_TRUE(before.c_lflag & ECHO);
    s.start([](int fd) { readLines(1, fd); });
    ASSERT_TRUE(s.waitFor("> "));
    // While editing, the terminal neither echoes nor buffers lines.
    struct termios during = modeOf(s.slave());
    EXPECT_FALSE(during.c_lflag & (ECHO | ICANON | ISIG));
    s.send("hello\x1b[D\x1b[Dx\x01Y\r");
    auto results = s.finish();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].line, "Yhelxlo");
    expectSameMode(before, modeOf(s.slave()));
    EXPECT_EQ(s.output().substr(s.output().size() - 2), "\r\n") << "line end in cooked mode";
}

TEST(LineEditorTerminal, CtrlCAndCtrlDReturnNone) {
    PtySession s;
    ASSERT_TRUE(s.ok());
    struct termios before = modeOf(s.slave());
    s.start([](int fd) { readLines(3, fd); });
    ASSERT_TRUE(s.waitFor("> "));
    // The first Ctrl-C only abandons the typed text, the second ends.
    s.send("abc\x03");
    ASSERT_TRUE(s.waitFor("^C\r\n"));
    s.send("\x03");
    ASSERT_TRUE(s.waitForNextPrompt());
    s.send("x\x7f\x04");
    ASSERT_TRUE(s.waitForNextPrompt());
    s.send("ok\r");
    auto results = s.finish();
    ASSERT_EQ(results.size(), 3u);
    EXPECT_FALSE(results[0].line);
    EXPECT_EQ(results[0].err, EAGAIN);
    EXPECT_FALSE(results[1].line);
    EXPECT_EQ(results[2].line, "ok");
    expectSameMode(before, modeOf(s.slave()));
}

TEST(LineEditorTerminal, MaskModeNeverEchoesTheSecret) {
    PtySession s;
    ASSERT_TRUE(s.ok());
    s.start([](int fd) {
        linenoiseMaskModeEnable();
        report(fd, linenoise("Please input password: "));
        linenoiseMaskModeDisable();
        report(fd, linenoise("> "));
    });
    ASSERT_TRUE(s.waitFor("password: "));
    s.send("s3cr3t\r");
    ASSERT_TRUE(s.waitForNextPrompt());
    s.send("seen\r");
    auto results = s.finish();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].line, "s3cr3t");
    EXPECT_EQ(results[1].line, "seen");
    EXPECT_NE(s.output().find("******"), std::string::npos);
    EXPECT_EQ(s.output().find("s3c"), std::string::npos);
    EXPECT_NE(s.output().find("seen"), std::string::npos) << "mask mode switched off again";
}

TEST(LineEditorTerminal, LinesTypedAheadAreKeptForTheNextRead) {
    PtySession s;
    ASSERT_TRUE(s.ok());
    s.start([](int fd) { readLines(3, fd); });
    ASSERT_TRUE(s.waitFor("> "));
    s.send("one\rtwo\rx\x1b[Dy\r");
    auto results = s.finish();
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].line, "one");
    EXPECT_EQ(results[1].line, "two");
    EXPECT_EQ(results[2].line, "yx") << "escape sequences typed ahead arrive whole";
}

TEST(LineEditorTerminal, HistoryRecallThroughThePublicFunctions) {
    PtySession s;
    ASSERT_TRUE(s.ok());
    s.start([](int fd) {
        for (int i = 0; i < 2; i++) {
            char *l = linenoise("> ");
            if (l) linenoiseHistoryAdd(l);
            report(fd, l);
        }
    });
    ASSERT_TRUE(s.waitFor("> "));
    s.send("get k\r");
    ASSERT_TRUE(s.waitForNextPrompt());
    s.send("\x1b[A 2\r");
    auto results = s.finish();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[1].line, "get k 2");
}

void completeGet(const char *buf, linenoiseCompletions *lc) {
    if (buf[0] == 'g') {
        linenoiseAddCompletion(lc, "GET");
        linenoiseAddCompletion(lc, "GETSET");
    }
}

TEST(LineEditorTerminal, LoneEscRestoresTheTypedTextDuringCompletion) {
    PtySession s;
    ASSERT_TRUE(s.ok());
    s.start([](int fd) {
        linenoiseSetCompletionCallback(completeGet);
        readLines(2, fd);
    });
    ASSERT_TRUE(s.waitFor("> "));
    s.send("g\t");
    ASSERT_TRUE(s.waitFor("> GET\x1b[0K"));
    // Esc alone: after a short wait the typed text is back, no other key needed.
    s.send("\x1b");
    ASSERT_TRUE(s.waitFor("> g\x1b[0K"));
    s.send("\r");
    ASSERT_TRUE(s.waitForNextPrompt());
    s.send("g\t\t x\r"); // a blank accepts GETSET and is inserted
    auto results = s.finish();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].line, "g");
    EXPECT_EQ(results[1].line, "GETSET x");
}

TEST(LineEditorTerminal, MultiLineModeWrapsInsteadOfScrolling) {
    PtySession s(40);
    ASSERT_TRUE(s.ok());
    s.start([](int fd) {
        linenoiseSetMultiLine(1);
        readLines(1, fd);
    });
    ASSERT_TRUE(s.waitFor("> "));
    const std::string line(38, 'm');
    s.send(line);
    // Prompt and line fill the 40 columns: the cursor moves to a new row.
    ASSERT_TRUE(s.waitFor(line + "\n\r"));
    s.send("\r");
    auto results = s.finish();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].line, line);
}

TEST(LineEditorTerminal, ClearScreenComesAfterPendingOutput) {
    PtySession s;
    ASSERT_TRUE(s.ok());
    s.start([](int) {
        fputs("before", stdout); // still in the stdio buffer
        linenoiseClearScreen();
    });
    s.finish();
    EXPECT_EQ(s.output(), "before\x1b[H\x1b[2J");
}

char *exitOnQ(const char *buf, int *, int *) {
    if (strcmp(buf, "q") == 0) exit(3);
    return nullptr;
}

TEST(LineEditorTerminal, ExitWhileEditingRestoresTheTerminal) {
    PtySession s;
    ASSERT_TRUE(s.ok());
    struct termios before = modeOf(s.slave());
    s.start([](int fd) {
        linenoiseSetHintsCallback(exitOnQ);
        readLines(1, fd);
    });
    ASSERT_TRUE(s.waitFor("> "));
    EXPECT_FALSE(modeOf(s.slave()).c_lflag & ECHO);
    s.send("q");
    int status = 0;
    auto results = s.finish(&status);
    EXPECT_TRUE(results.empty());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    expectSameMode(before, modeOf(s.slave()));
}

TEST(LineEditorTerminal, UnknownWindowSizeIsMeasuredWithTheCursor) {
    PtySession s(0);
    ASSERT_TRUE(s.ok());
    s.start([](int fd) { readLines(1, fd); });
    // The editor asks where the cursor is, moves it far right, asks again.
    ASSERT_TRUE(s.waitFor("\x1b[6n"));
    s.send("\x1b[5;1R");
    ASSERT_TRUE(s.waitFor("\x1b[999C\x1b[6n"));
    s.send("\x1b[5;40R");
    ASSERT_TRUE(s.waitFor("\x1b[39D"));
    ASSERT_TRUE(s.waitFor("> "));
    s.send(std::string(50, 'a') + "\r");
    auto results = s.finish();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].line, std::string(50, 'a'));
    // 40 columns: the prompt and 37 characters, one cell kept for the cursor.
    EXPECT_NE(s.output().find("\r> " + std::string(37, 'a') + "\x1b[0K"), std::string::npos);
    EXPECT_EQ(s.output().find(std::string(38, 'a')), std::string::npos);
}

TEST(LineEditorTerminal, UnsupportedTerminalReadsAPlainLine) {
    PtySession s;
    ASSERT_TRUE(s.ok());
    struct termios before = modeOf(s.slave());
    s.start([](int fd) { readLines(2, fd); }, "dumb");
    ASSERT_TRUE(s.waitFor("> "));
    s.send("plain words\n");
    ASSERT_TRUE(s.waitFor("> "));
    s.send("\x04"); // end of input in cooked mode
    auto results = s.finish();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].line, "plain words");
    EXPECT_FALSE(results[1].line);
    EXPECT_EQ(s.output().find("\x1b["), std::string::npos) << "no escape sequences";
    expectSameMode(before, modeOf(s.slave()));
}

TEST(LineEditorTerminal, InputFromAPipeIsReadLineByLine) {
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    PtySession s;
    ASSERT_TRUE(s.ok());
    s.start([](int fd) { readLines(5, fd); }, "xterm", in[0], in[1]);
    close(in[0]);
    const std::string long_line(100000, 'x');
    std::string data = "first line\n\n" + long_line + "\nlast without end";
    // Fed while the child reads, as the pipe holds less than this.
    writeFully(in[1], data);
    close(in[1]);
    auto results = s.finish();
    ASSERT_EQ(results.size(), 5u);
    EXPECT_EQ(results[0].line, "first line");
    EXPECT_EQ(results[1].line, "");
    EXPECT_EQ(results[2].line, long_line);
    EXPECT_EQ(results[3].line, "last without end");
    EXPECT_FALSE(results[4].line) << "none at the end of input";
    EXPECT_EQ(s.output().find("> "), std::string::npos) << "no prompt without a terminal";
}

} // namespace
