#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "vortilcore/hub/Broadcaster.hpp"

using vortil::Broadcaster;

namespace {

std::vector<int> drain(platform::AsyncStream<int>& stream) {
    std::vector<int> got;
    while (stream.buffered() > 0) got.push_back(*stream.next());
    return got;
}

}  // namespace

TEST(Broadcaster, ReplaysTheLatestStateOrTheInitialOneToEachNewSubscriber) {
    struct Case {
        const char* name;
        std::optional<int> initial;
        std::vector<int> before;  // broadcast before subscribing
        std::vector<int> expected;
        int initialCalls;
    };
    const std::vector<Case> cases = {
        {"fresh", 7, {}, {7}, 1},
        {"after one broadcast", 7, {5}, {5}, 0},
        {"after several", 7, {1, 2, 3}, {3}, 0},
        {"no initial state", std::nullopt, {}, {}, 1},
    };
    for (const auto& c : cases) {
        int calls = 0;
        Broadcaster<int> b([&] {
            ++calls;
            return c.initial;
        });
        for (int v : c.before) b.broadcast(v);
        auto s = b.subscribe();
        EXPECT_EQ(drain(*s), c.expected) << c.name;
        EXPECT_EQ(calls, c.initialCalls) << c.name;
        b.broadcast(42);
        EXPECT_EQ(drain(*s), std::vector<int>{42}) << c.name;
    }
}

TEST(Broadcaster, DestroyingItEndsTheStreamOfAWaitingConsumer) {
    auto b = std::make_unique<Broadcaster<int>>([] { return std::optional<int>(); });
    auto stream = b->subscribe();
    std::atomic<bool> ended{false};
    std::vector<int> seen;
    std::thread consumer([&] {
        while (auto v = stream->next()) seen.push_back(*v);
        ended = true;
    });
    b->broadcast(1);
    b.reset();
    consumer.join();  // would hang if the stream were left open
    EXPECT_TRUE(ended);
    EXPECT_EQ(seen, std::vector<int>{1});
}

TEST(Broadcaster, ConcurrentProducersAndSubscribersKeepEachProducersOrder) {
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 2000;
    Broadcaster<int> b([] { return std::optional<int>(-1); });
    auto early = b.subscribe();
    std::vector<std::shared_ptr<platform::AsyncStream<int>>> late(8);
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&b, p] {
            for (int i = 0; i < kPerProducer; ++i) b.broadcast(p * kPerProducer + i);
        });
    }
    for (size_t k = 0; k < late.size(); ++k) {
        threads.emplace_back([&b, &late, k] {
            late[k] = b.subscribe();
            if (k % 2) {
                std::this_thread::yield();
                late[k].reset();  // leaves while the producers run
            }
        });
    }
    for (auto& t : threads) t.join();

    auto check = [&](platform::AsyncStream<int>& s, bool complete) {
        std::vector<int> last(kProducers, -1);
        std::vector<int> got = drain(s);
        ASSERT_FALSE(got.empty());
        size_t counted = 0;
        for (size_t i = 0; i < got.size(); ++i) {
            if (got[i] < 0) {
                EXPECT_EQ(i, 0u) << "the initial state only comes first";
                continue;
            }
            const int p = got[i] / kPerProducer;
            const int n = got[i] % kPerProducer;
            // The replayed latest state may precede the same producer's next one.
            EXPECT_GT(n, last[p]);
            last[p] = n;
            ++counted;
        }
        if (complete) {
            EXPECT_EQ(counted, size_t(kProducers * kPerProducer));
        }
    };
    check(*early, true);
    for (auto& s : late) {
        if (s) check(*s, false);
    }
    EXPECT_EQ(b.subscriberCount(), 1u + late.size() / 2);
}
