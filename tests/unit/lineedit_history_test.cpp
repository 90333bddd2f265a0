#include "lineedit/history.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lineedit/linenoise.h"

namespace {

using lineedit::History;

std::vector<std::string> linesOf(const History &h) {
    std::vector<std::string> v;
    for (size_t i = 0; i < h.size(); i++)
        v.push_back(h.at(i));
    return v;
}

struct HistoryFile : ::testing::Test {
    std::string dir;
    void SetUp() override {
        char tmpl[] = "/tmp/lineedit-hist-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string path(const char *name) const { return dir + "/" + name; }
    static std::string slurp(const std::string &p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static void write(const std::string &p, const std::string &data) {
        std::ofstream(p, std::ios::binary) << data;
    }
};

TEST(History, SkipsOnlyARepeatOfTheNewestLine) {
    History h;
    EXPECT_TRUE(h.add("get a"));
    EXPECT_FALSE(h.add("get a"));
    EXPECT_TRUE(h.add("set a 1"));
    EXPECT_TRUE(h.add("get a")) << "an older equal line does not block a new entry";
    EXPECT_EQ(linesOf(h), (std::vector<std::string>{"get a", "set a 1", "get a"}));
}

TEST(History, KeepsTheNewestLinesWithinItsCapacity) {
    History h;
    EXPECT_EQ(h.maxLen(), 100u);
    for (int i = 0; i < 150; i++)
        h.add("cmd " + std::to_string(i));
    ASSERT_EQ(h.size(), 100u);
    EXPECT_EQ(h.at(0), "cmd 50");
    EXPECT_EQ(h.at(99), "cmd 149");
}

TEST(History, MaxLenRejectsNonPositiveAndShrinksFromTheOldEnd) {
    History h;
    for (const char *l : {"a", "b", "c", "d"})
        h.add(l);
    EXPECT_FALSE(h.setMaxLen(0));
    EXPECT_FALSE(h.setMaxLen(-3));
    EXPECT_EQ(h.size(), 4u) << "a rejected length changes nothing";

    EXPECT_TRUE(h.setMaxLen(2));
    EXPECT_EQ(linesOf(h), (std::vector<std::string>{"c", "d"}));
    h.add("e");
    EXPECT_EQ(linesOf(h), (std::vector<std::string>{"d", "e"}));

    EXPECT_TRUE(h.setMaxLen(5));
    h.add("f");
    EXPECT_EQ(linesOf(h), (std::vector<std::string>{"d", "e", "f"}));
}

TEST_F(HistoryFile, SaveWritesOneLinePerEntryOwnerOnlyAndLoadReadsItBack) {
    History h;
    const std::vector<std::string> lines = {"set k \"a b\"", "", "get caf\xc3\xa9", "ping"};
    for (const auto &l : lines)
        h.add(l);
    std::string file = path("hist");
    ASSERT_EQ(h.save(file.c_str()), 0);
    EXPECT_EQ(slurp(file), "set k \"a b\"\n\nget caf\xc3\xa9\nping\n");
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    History back;
    ASSERT_EQ(back.load(file.c_str()), 0);
    EXPECT_EQ(linesOf(back), lines);
}

TEST_F(HistoryFile, SaveNarrowsTheModeOfAnExistingFileAndReplacesItsContent) {
    std::string file = path("hist");
    write(file, "old 1\nold 2\nold 3\n");
    ASSERT_EQ(chmod(file.c_str(), 0644), 0);
    History h;
    h.add("new");
    ASSERT_EQ(h.save(file.c_str()), 0);
    EXPECT_EQ(slurp(file), "new\n");
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// In a child: saves 100 lines under a 4 KiB file-size limit over the file
// holding `old`; 0 when the save failed and left exactly that file behind.
int saveUnderSizeLimit(const std::string &dir, const std::string &file, const std::string &old) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {4096, 4096};
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 2;
    History h;
    for (int i = 0; i < 100; i++)
        h.add("new line " + std::to_string(i) + " " + std::string(80, 'n'));
    int rc = h.save(file.c_str());
    int err = errno;
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    int entries = 0;
    DIR *d = opendir(dir.c_str());
    while (struct dirent *e = readdir(d))
        entries += e->d_name[0] != '.';
    closedir(d);
    return rc == -1 && err == EFBIG && ss.str() == old && entries == 1 ? 0 : 3;
}

TEST_F(HistoryFile, FailedSaveKeepsTheOldFileWholeAndLeavesNothingBehind) {
    // A file-size limit makes the writes fail part-way, as a full disk does.
    std::string file = path("hist");
    std::string old;
    for (int i = 0; i < 100; i++)
        old += "old line " + std::to_string(i) + " " + std::string(80, 'o') + "\n";
    write(file, old);
    EXPECT_EXIT(_exit(saveUnderSizeLimit(dir, file, old)), ::testing::ExitedWithCode(0), "");
}

TEST_F(HistoryFile, SaveFollowsALinkAndWritesOtherFilesInPlace) {
    History h;
    h.add("one");
    // A link stays a link: the file it names is replaced.
    std::string target = path("real");
    write(target, "old\n");
    ASSERT_EQ(symlink(target.c_str(), path("link").c_str()), 0);
    ASSERT_EQ(h.save(path("link").c_str()), 0);
    struct stat st;
    ASSERT_EQ(lstat(path("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(slurp(target), "one\n");
    // A FIFO with nobody reading neither blocks the save nor is replaced.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(h.save(path("fifo").c_str()), -1);
    ASSERT_EQ(lstat(path("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(h.load(path("fifo").c_str()), -1) << "nor does it block a load";
}

TEST_F(HistoryFile, LoadHandlesLineEndsRepeatsAndCapacity) {
    std::string file = path("hist");
    // CRLF line ends, a repeated line, and a last line without a line end.
    write(file, "one\r\ntwo\ntwo\nthree\nfour");
    History h;
    ASSERT_EQ(h.load(file.c_str()), 0);
    EXPECT_EQ(linesOf(h), (std::vector<std::string>{"one", "two", "three", "four"}));

    History small;
    small.setMaxLen(2);
    ASSERT_EQ(small.load(file.c_str()), 0);
    EXPECT_EQ(linesOf(small), (std::vector<std::string>{"three", "four"}));

    // Loading appends to what is there, without repeating the newest line.
    History more;
    more.add("zero");
    more.add("one");
    write(file, "one\nfive\n");
    ASSERT_EQ(more.load(file.c_str()), 0);
    EXPECT_EQ(linesOf(more), (std::vector<std::string>{"zero", "one", "five"}));
}

TEST_F(HistoryFile, ShrunkHistorySavesOnlyTheKeptLines) {
    History h;
    for (const char *l : {"a", "b", "c"})
        h.add(l);
    h.setMaxLen(2);
    std::string file = path("hist");
    ASSERT_EQ(h.save(file.c_str()), 0);
    EXPECT_EQ(slurp(file), "b\nc\n");
    History back;
    ASSERT_EQ(back.load(file.c_str()), 0);
    EXPECT_EQ(linesOf(back), (std::vector<std::string>{"b", "c"}));
}

TEST_F(HistoryFile, UnreadableOrUnwritablePathsFail) {
    History h;
    h.add("x");
    EXPECT_EQ(h.load(path("missing").c_str()), -1);
    EXPECT_EQ(h.save(path("no/such/dir/hist").c_str()), -1);
    EXPECT_EQ(linesOf(h), (std::vector<std::string>{"x"})) << "a failed load keeps the history";
}

TEST_F(HistoryFile, PublicFunctionsReportWhatTheyDid) {
    // The process-wide history behind the public functions.
    // Whatever earlier tests left, shrink it to one known line first.
    EXPECT_EQ(linenoiseHistorySetMaxLen(0), 0);
    EXPECT_EQ(linenoiseHistorySetMaxLen(1), 1);
    linenoiseHistoryAdd("start");
    EXPECT_EQ(linenoiseHistorySetMaxLen(3), 1);
    EXPECT_EQ(linenoiseHistoryAdd("alpha"), 1);
    EXPECT_EQ(linenoiseHistoryAdd("alpha"), 0);
    EXPECT_EQ(linenoiseHistoryAdd("beta"), 1);
    std::string file = path("hist");
    ASSERT_EQ(linenoiseHistorySave(file.c_str()), 0);
    EXPECT_EQ(slurp(file), "start\nalpha\nbeta\n");
    EXPECT_EQ(linenoiseHistoryAdd("gamma"), 1);
    ASSERT_EQ(linenoiseHistorySave(file.c_str()), 0);
    EXPECT_EQ(slurp(file), "alpha\nbeta\ngamma\n") << "capacity 3 drops the oldest";
    EXPECT_EQ(linenoiseHistoryLoad(path("missing").c_str()), -1);
    EXPECT_EQ(linenoiseHistorySetMaxLen(100), 1);
}

} // namespace
