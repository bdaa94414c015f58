#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/ml/ScratchPool.hpp"

using platform::ml::ScratchPool;

namespace {

struct Buffers {
    int id = 0;
};

}  // namespace

TEST(ScratchPool, APredictionThatThrowsStillHandsItsScratchBack) {
    ScratchPool<Buffers> pool;
    int made = 0;
    auto make = [&] { return std::make_unique<Buffers>(Buffers{++made}); };
    EXPECT_THROW(
        {
            auto lease = pool.acquire(make);
            throw std::runtime_error("the prediction failed halfway");
        },
        std::runtime_error);
    EXPECT_EQ(pool.idleCount(), 1u);
    // The next prediction reuses that set instead of allocating another.
    auto again = pool.acquire(make);
    EXPECT_EQ(again->id, 1);
    EXPECT_EQ(made, 1);
    EXPECT_EQ(pool.idleCount(), 0u);
}

TEST(ScratchPool, ConcurrentLeasesNeverShareASet) {
    ScratchPool<Buffers> pool;
    std::atomic<int> shared{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                auto lease = pool.acquire([&] { return std::make_unique<Buffers>(); });
                // A set held by two leases at once would see the other's mark.
                if (lease->id != 0) ++shared;
                lease->id = 1;
                std::this_thread::yield();
                lease->id = 0;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(shared.load(), 0);
    EXPECT_LE(pool.idleCount(), 8u);
    EXPECT_GE(pool.idleCount(), 1u);
}

// A caller gets back the set it filled (its cached window) even when another
// caller returned a set after it; without a match it takes the latest one.
TEST(ScratchPool, PreferredSetsGoBackToTheirCaller) {
    ScratchPool<Buffers> pool;
    int made = 0;
    auto make = [&] { return std::make_unique<Buffers>(Buffers{++made}); };
    {
        auto a = pool.acquire(make);
        auto b = pool.acquire(make);
        auto c = pool.acquire(make);
    }  // returned in the order c, b, a: a is the latest
    auto prefer = [](int id) { return [id](const Buffers& s) { return s.id == id; }; };
    for (int id : {2, 3, 1}) {
        auto lease = pool.acquire(prefer(id), make);
        EXPECT_EQ(lease->id, id);
    }
    auto any = pool.acquire(prefer(99), make);
    EXPECT_EQ(any->id, 1);  // the one just returned
    EXPECT_EQ(made, 3);
    auto x = pool.acquire(prefer(2), make), y = pool.acquire(prefer(2), make),
         z = pool.acquire(prefer(2), make);
    EXPECT_EQ(x->id, 2);
    EXPECT_EQ(made, 4);  // three idle sets for four leases
}
