// The cluster manager's log colours, its error record and the yes/no prompt.
#include "cluster/log.h"

#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cli/config.h"

namespace {

// Runs fn with standard input reading the given bytes; returns what is left
// unread afterwards.
template <typename Fn> std::string withStdin(const std::string &bytes, Fn fn) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fds[1]);
    int saved = dup(STDIN_FILENO);
    dup2(fds[0], STDIN_FILENO);
    close(fds[0]);
    fn();
    std::string rest;
    char buf[64];
    ssize_t n;
    while ((n = read(STDIN_FILENO, buf, sizeof(buf))) > 0)
        rest.append(buf, static_cast<size_t>(n));
    dup2(saved, STDIN_FILENO);
    close(saved);
    return rest;
}

class ClusterLog : public ::testing::Test {
  protected:
    void SetUp() override { saved_flags = config.cluster_manager_command.flags; }
    void TearDown() override {
        config.cluster_manager_command.flags = saved_flags;
        freeClusterManager();
    }
    int saved_flags = 0;
};

TEST_F(ClusterLog, ColoursOnlyWithTheColourFlag) {
    struct Row {
        int level;
        const char *code;
    } rows[] = {
        {CLUSTER_MANAGER_LOG_LVL_INFO, "29;1m"},
        {CLUSTER_MANAGER_LOG_LVL_WARN, "33;1m"},
        {CLUSTER_MANAGER_LOG_LVL_ERR, "31;1m"},
        {CLUSTER_MANAGER_LOG_LVL_SUCCESS, "32;1m"},
        {7, "0m"},
    };
    for (const Row &r : rows) {
        config.cluster_manager_command.flags = CLUSTER_MANAGER_CMD_FLAG_COLOR;
        testing::internal::CaptureStdout();
        clusterManagerLog(r.level, ">>> %s %d\n", "text", 5);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("\033[") + r.code + ">>> text 5\n\033[0m");
        config.cluster_manager_command.flags = 0;
        testing::internal::CaptureStdout();
        clusterManagerLog(r.level, ">>> %s %d\n", "text", 5);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), ">>> text 5\n");
    }
}

TEST_F(ClusterLog, ErrorsAreRecordedAndLogged) {
    config.cluster_manager_command.flags = 0;
    testing::internal::CaptureStdout();
    clusterManagerOnError(hi_sdsnew("[ERR] one"));
    clusterManagerOnError(hi_sdsnew("[WARNING] two"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ERR] one\n[WARNING] two\n");
    ASSERT_NE(cluster_manager.errors, nullptr);
    EXPECT_EQ(listLength(cluster_manager.errors), 2u);
    EXPECT_STREQ(static_cast<char *>(listFirst(cluster_manager.errors)->value), "[ERR] one");
}

TEST_F(ClusterLog, ConfirmReadsOneShortAnswer) {
    struct Row {
        const char *input;
        int yes;
        const char *left;
    } rows[] = {
        {"yes\n", 1, ""},
        {"yes", 1, ""},                // at end of input
        {"yesterday\n", 1, "erday\n"}, // four bytes read, the rest stays
        {"no\n", 0, ""},
        {"YES\n", 0, ""},
        {"ye", 0, ""},
        {"", 0, ""},
        {"y\nyes\n", 0, "s\n"},
    };
    config.cluster_manager_command.flags = 0;
    for (const Row &r : rows) {
        int got = -1;
        testing::internal::CaptureStdout();
        std::string left = withStdin(r.input, [&] { got = confirmWithYes("Go on?", 0); });
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Go on? (type 'yes' to accept): ");
        EXPECT_EQ(got, r.yes) << r.input;
        EXPECT_EQ(left, r.left) << r.input;
    }
}

TEST_F(ClusterLog, YesFlagAnswersUnlessIgnored) {
    config.cluster_manager_command.flags = CLUSTER_MANAGER_CMD_FLAG_YES;
    int got = -1;
    testing::internal::CaptureStdout();
    std::string left = withStdin("no\n", [&] { got = confirmWithYes("Go on?", 0); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(got, 1);
    EXPECT_EQ(left, "no\n");
    // Questions that must be answered by a person ignore the flag.
    testing::internal::CaptureStdout();
    left = withStdin("no\n", [&] { got = confirmWithYes("Really?", 1); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Really? (type 'yes' to accept): ");
    EXPECT_EQ(got, 0);
}

} // namespace
