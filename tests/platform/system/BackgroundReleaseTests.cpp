// Values whose last reference is handed over are freed on another thread;
// values still held elsewhere are not freed at all.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/system/BackgroundRelease.hpp"

namespace {

struct Witness {
    Witness(std::atomic<int>* d, std::thread::id* w) : destroyed(d), where(w) {}
    std::atomic<int>* destroyed;
    std::thread::id* where;
    ~Witness() {
        *where = std::this_thread::get_id();
        destroyed->fetch_add(1);
    }
};

TEST(BackgroundRelease, LastReferenceIsFreedOnAnotherThread) {
    std::atomic<int> destroyed = 0;
    std::thread::id where;
    platform::releaseInBackground(std::make_shared<const Witness>(&destroyed, &where));
    platform::waitForBackgroundReleases();
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_NE(where, std::this_thread::get_id());
}

TEST(BackgroundRelease, ValueStillHeldElsewhereStaysAlive) {
    std::atomic<int> destroyed = 0;
    std::thread::id where;
    auto kept = std::make_shared<const Witness>(&destroyed, &where);
    platform::releaseInBackground(kept);
    platform::waitForBackgroundReleases();
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_EQ(kept.use_count(), 1);
    kept.reset();  // the last holder frees it where it lets go
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(where, std::this_thread::get_id());
    platform::releaseInBackground(nullptr);  // nothing to free
    platform::waitForBackgroundReleases();
}

TEST(BackgroundRelease, ManyHandOversFromSeveralThreadsAreAllFreed) {
    std::atomic<int> destroyed = 0;
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i)
                platform::releaseInBackground(
                    std::shared_ptr<const int>(new int(i), [&destroyed](const int* p) {
                        delete p;
                        destroyed.fetch_add(1);
                    }));
        });
    for (auto& t : threads) t.join();
    platform::waitForBackgroundReleases();
    EXPECT_EQ(destroyed.load(), kThreads * kEach);
}

}  // namespace
