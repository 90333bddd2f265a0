#pragma once
// Cluster nodes connected to peers the test drives: the replies are queued
// before the call (each command reads its reply in order), then the requests
// the call sent are compared word for word.

#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cli/config.h"
#include "cluster/manager.h"
#include "loopback_peer.h"

namespace scripted {

using Words = std::vector<std::string>;

inline std::string request(const Words &words) {
    std::string r = "*" + std::to_string(words.size()) + "\r\n";
    for (const std::string &w : words)
        r += "$" + std::to_string(w.size()) + "\r\n" + w + "\r\n";
    return r;
}

inline std::string requests(std::initializer_list<Words> all) {
    std::string r;
    for (const Words &w : all)
        r += request(w);
    return r;
}

inline const char kIdA[] = "aaaa000000000000000000000000000000000000";
inline const char kIdB[] = "bbbb000000000000000000000000000000000000";

// A loaded node connected to a peer the test drives.
struct ScriptedNode {
    explicit ScriptedNode(const char *id) {
        listener = peer::bindLoopback("127.0.0.1", &port);
        node = clusterManagerNewNode(host, port);
        node->name = hi_sdsnew(id);
        node->context = vornConnect("127.0.0.1", port);
        far = peer::acceptPeer(listener.get());
    }
    // Runs fn while the peer answers each request it receives with the next
    // of replies; returns the requests received, re-encoded, and anything
    // sent beyond them.
    template <typename Fn> std::string run(const std::vector<std::string> &replies, Fn fn) {
        std::string received;
        std::thread answer([&] {
            std::string buf;
            for (const std::string &reply : replies) {
                Words words;
                while (!takeRequest(&buf, &words)) {
                    std::string more = peer::recvUpTo(far.get(), 1, 5000);
                    if (more.empty()) return;
                    buf += more;
                }
                received += request(words);
                peer::sendAll(far.get(), reply);
            }
        });
        fn();
        answer.join();
        return received + peer::recvPending(far.get());
    }
    template <typename Fn> std::string run(const std::string &reply, Fn fn) {
        return run(std::vector<std::string>{reply}, fn);
    }

    // Takes one complete request (an array of bulk strings) off the front of buf.
    static bool takeRequest(std::string *buf, Words *words) {
        size_t pos = 0;
        auto line = [&](long *n, char type) {
            size_t end = buf->find("\r\n", pos);
            if (end == std::string::npos || (*buf)[pos] != type) return false;
            *n = std::stol(buf->substr(pos + 1, end - pos - 1));
            pos = end + 2;
            return true;
        };
        long count;
        if (pos >= buf->size() || !line(&count, '*')) return false;
        Words w;
        for (long i = 0; i < count; i++) {
            long len;
            if (pos >= buf->size() || !line(&len, '$')) return false;
            if (buf->size() < pos + static_cast<size_t>(len) + 2) return false;
            w.push_back(buf->substr(pos, static_cast<size_t>(len)));
            pos += static_cast<size_t>(len) + 2;
        }
        buf->erase(0, pos);
        *words = std::move(w);
        return true;
    }

    char host[16] = "127.0.0.1";
    int port = 0;
    peer::Fd listener, far;
    clusterManagerNode *node = nullptr; // owned by cluster_manager.nodes
};

// Two scripted masters, A and B, as the loaded topology; the cluster
// command flags cleared for the test.
class ScriptedCluster : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_flags = config.cluster_manager_command.flags;
        config.cluster_manager_command.flags = 0;
        cluster_manager.nodes = listCreate();
        a = add(kIdA);
        b = add(kIdB);
    }
    void TearDown() override {
        freeClusterManager();
        for (ScriptedNode *s : scripted)
            delete s;
        config.cluster_manager_command.flags = saved_flags;
    }
    ScriptedNode *add(const char *id) {
        auto *s = new ScriptedNode(id);
        listAddNodeTail(cluster_manager.nodes, s->node);
        scripted.push_back(s);
        return s;
    }
    std::string address(const ScriptedNode *s) const {
        return "127.0.0.1:" + std::to_string(s->port);
    }

    std::vector<ScriptedNode *> scripted;
    ScriptedNode *a = nullptr, *b = nullptr;
    int saved_flags = 0;
};

} // namespace scripted
