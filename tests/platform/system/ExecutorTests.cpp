#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/system/AsyncStream.hpp"
#include "platform/system/RunLoop.hpp"
#include "platform/system/SerialExecutor.hpp"
#include "support/ManualMainExecutor.hpp"

using namespace platform;
using namespace std::chrono_literals;

TEST(SerialExecutor, RunsTasksInPostOrderOnOneThread) {
    std::vector<int> order;
    std::thread::id worker;
    std::atomic<bool> sameThread{true};
    {
        SerialExecutor ex("test.serial");
        for (int i = 0; i < 200; ++i) {
            ex.post([&, i] {
                if (worker == std::thread::id()) worker = std::this_thread::get_id();
                if (worker != std::this_thread::get_id()) sameThread = false;
                order.push_back(i);
            });
        }
    }  // the destructor drains the queue
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
    EXPECT_TRUE(sameThread);
    EXPECT_NE(worker, std::this_thread::get_id());
}

TEST(SerialExecutor, CallWaitsForEarlierTasksAndReturnsOrRethrows) {
    SerialExecutor ex("test.call");
    int counter = 0;
    for (int i = 0; i < 50; ++i) ex.post([&] { ++counter; });
    EXPECT_EQ(ex.call([&] { return counter; }), 50);
    EXPECT_THROW(ex.call([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    // A call made from a task runs inline instead of deadlocking.
    EXPECT_EQ(ex.call([&] { return ex.call([] { return 7; }) + 1; }), 8);
    EXPECT_FALSE(ex.isCurrent());
    EXPECT_TRUE(ex.call([&] { return ex.isCurrent(); }));
}

TEST(SerialExecutor, ShutdownRunsQueuedTasksAndRefusesNewOnes) {
    SerialExecutor ex("test.shutdown");
    std::atomic<int> ran{0};
    ex.post([&] {
        std::this_thread::sleep_for(20ms);
        ++ran;
    });
    ex.post([&] { ++ran; });
    ex.shutdown();
    EXPECT_EQ(ran.load(), 2);
    EXPECT_FALSE(ex.post([&] { ++ran; }));
    EXPECT_THROW(ex.call([] { return 1; }), std::logic_error);
    ex.shutdown();  // idempotent
    EXPECT_EQ(ran.load(), 2);
}

TEST(SerialExecutor, ConcurrentPostersNeverRunTwoTasksAtOnce) {
    SerialExecutor ex("test.mpsc");
    std::atomic<int> inside{0}, overlaps{0}, total{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&] {
            for (int i = 0; i < 250; ++i) {
                ex.post([&] {
                    if (inside.fetch_add(1) != 0) ++overlaps;
                    ++total;
                    inside.fetch_sub(1);
                });
            }
        });
    }
    for (auto& p : posters) p.join();
    ex.shutdown();
    EXPECT_EQ(total.load(), 1000);
    EXPECT_EQ(overlaps.load(), 0);
}

TEST(ManualMainExecutor, RunsNothingUntilAskedThenInPostOrder) {
    VirtualClock clock;
    ManualMainExecutor main(clock);
    std::vector<int> order;
    main.post([&] { order.push_back(1); });
    main.post([&] {
        order.push_back(2);
        main.post([&] { order.push_back(4); });  // posted by a task: runs in the same pass
    });
    main.post([&] { order.push_back(3); });
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(main.runPending(), 4u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_TRUE(main.isMainThread());
    bool other = true;
    std::thread([&] { other = main.isMainThread(); }).join();
    EXPECT_FALSE(other);
}

TEST(ManualMainExecutor, DelayedTasksFireAtTheirVirtualTime) {
    VirtualClock clock;
    ManualMainExecutor main(clock);
    const Date t0 = clock.now();
    std::vector<std::pair<int, double>> fired;
    auto at = [&](int id) {
        return [&, id] { fired.emplace_back(id, secondsBetween(t0, clock.now())); };
    };
    main.postAfter(300ms, at(3));
    main.postAfter(100ms, at(1));
    main.postAfter(100ms, at(2));  // same due time: post order
    main.postAfter(2s, at(9));
    EXPECT_EQ(main.runPending(), 0u);
    EXPECT_EQ(main.advance(299ms), 2u);
    EXPECT_EQ(main.advance(1ms), 1u);
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[0].first, 1);
    EXPECT_NEAR(fired[0].second, 0.1, 1e-9);
    EXPECT_EQ(fired[1].first, 2);
    EXPECT_EQ(fired[2].first, 3);
    EXPECT_NEAR(fired[2].second, 0.3, 1e-9);
    EXPECT_NEAR(secondsBetween(t0, clock.now()), 0.3, 1e-9);
    EXPECT_EQ(main.pendingCount(), 1u);

    // A task that schedules another within the advanced span sees it fire too.
    main.postAfter(100ms, [&] { main.postAfter(100ms, at(5)); });
    main.advance(250ms);
    ASSERT_EQ(fired.size(), 4u);
    EXPECT_EQ(fired[3].first, 5);
    EXPECT_NEAR(fired[3].second, 0.5, 1e-9);
}

// Posts from several threads, some delayed: each runs once, on the thread in
// run(), delayed ones by due time, and quit() from a task ends run().
TEST(RunLoop, RunsPostsFromAnyThreadOnTheRunningThreadByDueTime) {
    RunLoop loop;
    std::vector<int> order;  // touched only on the loop's thread
    std::atomic<bool> offThread{false};
    std::thread::id runner;
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i)
                loop.post([&, v = t * 100 + i] {
                    if (std::this_thread::get_id() != runner || !loop.isMainThread())
                        offThread = true;
                    order.push_back(v);
                });
        });
    for (auto& p : posters) p.join();
    loop.postAfter(60ms, [&] {
        order.push_back(-2);
        loop.quit();
    });
    loop.postAfter(30ms, [&] { order.push_back(-1); });
    std::thread driver([&] {
        runner = std::this_thread::get_id();
        loop.run();
    });
    driver.join();
    ASSERT_EQ(order.size(), 202u);
    EXPECT_FALSE(offThread);
    EXPECT_EQ(order[200], -1);
    EXPECT_EQ(order[201], -2);
    for (int t = 0; t < 4; ++t) {  // each poster's tasks keep their order
        int last = -1;
        for (int v : order)
            if (v >= t * 100 && v < t * 100 + 100) {
                EXPECT_GT(v, last);
                last = v;
            }
    }
}

// A loop waiting for a delayed task while other threads post enough to move
// its entries: the wait must not hold on to the entry it waits for (run under
// AddressSanitizer, a reference to it was read after the move).
TEST(RunLoop, PostsWhileItWaitsForADelayedTaskLoseNothing) {
    RunLoop loop;
    std::atomic<int> ran{0};
    std::atomic<bool> waiting{false};
    constexpr int kPosters = 4, kEach = 500;
    loop.postAfter(0ms, [&] { waiting = true; });
    // Only ends a run that lost a task; the last task posted ends it otherwise.
    loop.postAfter(60s, [&] { loop.quit(); });
    std::thread driver([&] { loop.run(); });
    while (!waiting) std::this_thread::sleep_for(1ms);
    std::vector<std::thread> posters;
    for (int t = 0; t < kPosters; ++t)
        posters.emplace_back([&] {
            for (int i = 0; i < kEach; ++i)
                loop.postAfter(150ms, [&] {
                    if (++ran == kPosters * kEach) loop.quit();
                });
        });
    for (auto& p : posters) p.join();
    driver.join();
    EXPECT_EQ(ran.load(), kPosters * kEach);
}

TEST(AsyncStream, DeliversInOrderThenDrainsAfterFinish) {
    auto s = AsyncStream<int>::make();
    EXPECT_TRUE(s->yield(1));
    EXPECT_TRUE(s->yield(2));
    s->finish();
    EXPECT_FALSE(s->yield(3));
    EXPECT_EQ(s->next(), 1);
    EXPECT_EQ(s->next(), 2);
    EXPECT_EQ(s->next(), std::nullopt);
    EXPECT_EQ(s->next(), std::nullopt);
    EXPECT_TRUE(s->isFinished());
}

TEST(AsyncStream, ConsumerBlocksUntilAProducerYieldsOrFinishes) {
    auto s = AsyncStream<std::vector<float>>::make();
    EXPECT_EQ(s->next(10ms), std::nullopt);  // times out on an empty, open stream
    constexpr int perProducer = 500;
    std::vector<std::thread> producers;
    for (int p = 0; p < 3; ++p) {
        producers.emplace_back([s, p] {
            for (int i = 0; i < perProducer; ++i) s->yield(std::vector<float>{float(p), float(i)});
        });
    }
    std::thread closer([&] {
        for (auto& t : producers) t.join();
        s->finish();
    });
    std::vector<int> lastSeen(3, -1);
    int count = 0;
    bool ordered = true;
    while (auto v = s->next()) {
        int p = int((*v)[0]), i = int((*v)[1]);
        if (i <= lastSeen[p]) ordered = false;  // each producer's values stay in order
        lastSeen[p] = i;
        ++count;
    }
    closer.join();
    EXPECT_EQ(count, 3 * perProducer);
    EXPECT_TRUE(ordered);
}

TEST(AsyncStream, TerminationHandlerRunsOnceAtFinishOrWhenTheStreamGoesAway) {
    int calls = 0;
    {
        auto s = AsyncStream<int>::make();
        s->setOnTermination([&] { ++calls; });
        s->finish();
        s->finish();
        EXPECT_EQ(calls, 1);
        s->setOnTermination([&] { calls += 10; });  // already ended: runs at once
        EXPECT_EQ(calls, 11);
    }
    EXPECT_EQ(calls, 11);  // nothing more when the finished stream is destroyed
    {
        auto s = AsyncStream<int>::make();
        s->setOnTermination([&] { ++calls; });
    }
    EXPECT_EQ(calls, 12);  // an unfinished stream ends when it goes away
}

TEST(AsyncStream, AStoppedTokenWakesAWaitingConsumerButStillDrainsWhatIsBuffered) {
    auto s = AsyncStream<int>::make();
    std::stop_source source;
    std::optional<int> got = 42;
    std::thread consumer([&] { got = s->next(source.get_token()); });
    std::this_thread::sleep_for(20ms);  // let it block; the result does not depend on this
    source.request_stop();
    consumer.join();
    EXPECT_EQ(got, std::nullopt);
    EXPECT_FALSE(s->isFinished());

    s->yield(7);
    EXPECT_EQ(s->next(source.get_token()), 7);  // no wait needed, so the value comes
    EXPECT_EQ(s->next(source.get_token()), std::nullopt);
}

TEST(AsyncStream, ABoundedStreamHoldsBackItsProducer) {
    auto s = AsyncStream<int>::make(2);
    std::atomic<int> yielded{0};
    std::thread producer([&] {
        for (int i = 0; i < 5; ++i) {
            if (s->yield(i)) ++yielded;
        }
    });
    // The producer can get two values ahead and no further until we take one.
    while (yielded.load() < 2) std::this_thread::yield();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(yielded.load(), 2);
    EXPECT_EQ(s->buffered(), 2u);
    for (int expected = 0; expected < 5; ++expected) EXPECT_EQ(s->next(), expected);
    producer.join();
    EXPECT_EQ(yielded.load(), 5);
}

TEST(AsyncStream, FinishingReleasesAProducerWaitingForRoom) {
    auto s = AsyncStream<int>::make(1);
    ASSERT_TRUE(s->yield(1));
    std::atomic<bool> result{true};
    std::thread producer([&] { result = s->yield(2); });  // waits: the buffer is full
    std::this_thread::sleep_for(20ms);
    s->finish();
    producer.join();
    EXPECT_FALSE(result.load());
    EXPECT_EQ(s->next(), 1);  // what was buffered before the end still drains
    EXPECT_EQ(s->next(), std::nullopt);
}
