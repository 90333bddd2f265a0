#pragma once
// Runs a piece of a test on a thread with a small stack. Code that walks a
// deeply nested reply with one stack frame per level overflows it at once,
// whatever the build's optimisation, so a test can show that the code does
// not recurse without building replies deep enough to overflow the main
// thread's 8 MiB.

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstddef>
#include <functional>

namespace smallstack {

// Enough for the code's own frames, even instrumented; a recursive walk of a
// 100000-level reply needs several times more even at 16 bytes a frame.
inline constexpr size_t kBytes = 256 * 1024;
// Depth the nesting tests use: 6 times what fits into kBytes at 16 bytes a
// level, and shallow enough for the sanitizer build, where every regrowth
// of the reader's task stack moves it.
inline constexpr int kDepth = 100000;

inline void run(const std::function<void()> &fn) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, kBytes), 0);
    pthread_t thread;
    auto body = [](void *p) -> void * {
        (*static_cast<const std::function<void()> *>(p))();
        return nullptr;
    };
    int rc = pthread_create(&thread, &attr, body, const_cast<std::function<void()> *>(&fn));
    pthread_attr_destroy(&attr);
    ASSERT_EQ(rc, 0);
    pthread_join(thread, nullptr);
}

} // namespace smallstack
