// The help sub-command's listing.
#include "cluster/help.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(ClusterHelp, ListingOnStandardError) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(clusterManagerCommandHelp(0, nullptr), 0);
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out.rfind("Cluster Manager Commands:\n"
                        "  create         host1:port1 ... hostN:portN\n"
                        "                 --cluster-replicas <arg>\n"
                        "  check          host:port\n"
                        "                 --cluster-search-multiple-owners\n"
                        "  info           host:port\n"
                        "  fix            host:port\n"
                        "                 --cluster-search-multiple-owners\n"
                        "                 --cluster-fix-with-unreachable-masters\n",
                        0),
              0u);
    const std::string tail = "  backup         host:port backup_directory\n"
                             "  help           \n"
                             "\nFor check, fix, reshard, del-node, set-timeout you can specify "
                             "the host and port of any working node in the cluster.\n"
                             "\nCluster Manager Options:\n"
                             "  --cluster-yes  Automatic yes to cluster commands prompts\n\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

} // namespace
