#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "vortilcore/core/ConcurrencyUtilities.hpp"
#include "vortilcore/core/EarlyStopActor.hpp"
#include "vortilcore/core/PropertyLock.hpp"
#include "vortilcore/core/Protected.hpp"
#include "vortilcore/core/UnfairLock.hpp"
#include "vortilcore/core/VortilCoreError.hpp"
#include "vortilcore/core/WeakSendableWrapper.hpp"

using namespace vortil;
using platform::Uuid;

TEST(VortilCoreError, DescribesItselfByExactlyItsMessage) {
    const std::string message = "Model folder is missing: /tmp/x";
    try {
        throw VortilCoreError::invalidConfiguration(message);
    } catch (const std::exception& e) {
        EXPECT_EQ(std::string(e.what()), message);
        auto& error = dynamic_cast<const VortilCoreError&>(e);
        EXPECT_EQ(error.kind(), VortilCoreError::Kind::invalidConfiguration);
        EXPECT_EQ(error.errorDescription(), std::optional<std::string>(message));
        EXPECT_EQ(error.localizedDescription(), message);
    }
}

TEST(ConcurrencyUtilities, ActiveProcessorCountIsPositive) {
    EXPECT_GE(ConcurrencyUtilities::activeProcessorCount(), 1);
}

TEST(UnfairLock, ThrowingBodyReleasesTheLockAndPassesTheErrorOn) {
    UnfairLock lock;
    EXPECT_THROW(lock.withLock([]() -> int { throw std::runtime_error("boom"); }),
                 std::runtime_error);
    // Would deadlock if the failed section had kept the lock.
    EXPECT_EQ(lock.withLock([] { return 7; }), 7);
    try {
        lock.withLock([] { throw VortilCoreError::invalidConfiguration("bad"); });
        FAIL() << "expected the closure's error";
    } catch (const VortilCoreError& e) {
        EXPECT_STREQ(e.what(), "bad");
    }
}

TEST(UnfairLock, SerialisesConcurrentSections) {
    UnfairLock lock;
    long counter = 0;  // guarded only by the lock; ThreadSanitizer checks that
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) lock.withLock([&] { ++counter; });
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 8 * 5000);
}

TEST(PropertyLock, CopiesShareTheLockButNotTheValue) {
    PropertyLock<std::vector<int>> a(std::vector<int>{1});
    PropertyLock<std::vector<int>> b = a;
    b.modify([](std::vector<int>& v) { v.push_back(2); });
    EXPECT_EQ(a.get(), std::vector<int>{1});
    EXPECT_EQ(b.get(), (std::vector<int>{1, 2}));
    a.set({9});
    EXPECT_EQ(a.get(), std::vector<int>{9});
    EXPECT_EQ(b.get(), (std::vector<int>{1, 2}));
}

TEST(PropertyLock, EncodesAsTheBareValue) {
    struct Record {
        PropertyLock<int> count{0};
        PropertyLock<std::optional<std::string>> language;
    };
    Record record;
    record.count.set(5);
    EXPECT_EQ(nlohmann::json(record.count).dump(), nlohmann::json(5).dump());
    EXPECT_EQ(nlohmann::json(record.language).dump(), "null");

    nlohmann::json object = {{"count", record.count}, {"language", record.language}};
    EXPECT_EQ(object.dump(), R"({"count":5,"language":null})");

    auto decoded = object.at("count").get<PropertyLock<int>>();
    EXPECT_EQ(decoded.get(), 5);
    auto language = nlohmann::json("en").get<PropertyLock<std::optional<std::string>>>();
    EXPECT_EQ(language.get(), std::optional<std::string>("en"));
    EXPECT_THROW(nlohmann::json("five").get<PropertyLock<int>>(), nlohmann::json::exception);
}

TEST(PropertyLock, ConcurrentReadersAndWritersDoNotRace) {
    PropertyLock<std::vector<int>> shared(std::vector<int>{});
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            auto copy = shared.get();
            for (size_t i = 0; i < copy.size(); ++i) ASSERT_EQ(copy[i], static_cast<int>(i));
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                std::vector<int> v(i % 50);
                for (size_t k = 0; k < v.size(); ++k) v[k] = static_cast<int>(k);
                shared.set(std::move(v));
                nlohmann::json encoded = shared;
                ASSERT_TRUE(encoded.is_array());
            }
        });
    }
    for (auto& w : writers) w.join();
    stop = true;
    reader.join();
}

TEST(PropertyLock, ModifyMayTouchAnotherWrappedValueWithoutDeadlock) {
    PropertyLock<int> a(1);
    PropertyLock<int> b(2);
    a.modify([&](int& v) { v += b.get(); });
    b.modify([&](int& v) { v = a.get() * 10; });
    EXPECT_EQ(a.get(), 3);
    EXPECT_EQ(b.get(), 30);
}

TEST(Protected, OptionalStartsEmptyAndCopiesShareTheValue) {
    Protected<std::optional<int>> model;
    EXPECT_EQ(model.get(), std::nullopt);
    Protected<std::optional<int>> copy = model;
    copy.set(4);
    EXPECT_EQ(model.get(), std::optional<int>(4));
    model.modify([](std::optional<int>& v) { *v += 1; });
    EXPECT_EQ(copy.get(), std::optional<int>(5));
    Protected<std::string> name(std::string("encoder"));
    EXPECT_EQ(name.get(), "encoder");
}

TEST(Protected, ConcurrentSetAndGetDoNotRace) {
    Protected<std::optional<std::string>> model;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([model, t]() mutable {
            for (int i = 0; i < 2000; ++i) {
                if (i % 2) {
                    model.set("model-" + std::to_string(t));
                } else {
                    auto value = model.get();
                    if (value) {
                        ASSERT_EQ(value->rfind("model-", 0), 0u);
                    }
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_TRUE(model.get().has_value());
}

TEST(WeakSendableWrapper, DoesNotKeepItsObjectAlive) {
    auto object = std::make_shared<std::string>("decoder");
    auto wrapper = std::make_shared<WeakSendableWrapper<std::string>>(object);
    ASSERT_EQ(wrapper->value(), object);
    std::weak_ptr<std::string> watch = object;
    object.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(wrapper->value(), nullptr);

    auto other = std::make_shared<std::string>("other");
    wrapper->setValue(other);
    EXPECT_EQ(wrapper->value(), other);
    wrapper->modifyValue([](std::shared_ptr<std::string>& strong) {
        ASSERT_NE(strong, nullptr);
        strong = nullptr;
    });
    EXPECT_EQ(wrapper->value(), nullptr);
    EXPECT_EQ(other.use_count(), 1);
}

TEST(WeakSendableWrapper, ReadersSeeTheObjectOrNothingWhileItIsReleased) {
    for (int round = 0; round < 50; ++round) {
        auto object = std::make_shared<std::vector<int>>(100, round);
        WeakSendableWrapper<std::vector<int>> wrapper(object);
        std::thread reader([&] {
            for (int i = 0; i < 200; ++i) {
                if (auto strong = wrapper.value()) {
                    ASSERT_EQ(strong->at(99), round);
                }
            }
        });
        object.reset();
        reader.join();
        EXPECT_EQ(wrapper.value(), nullptr);
    }
}

TEST(EarlyStopActor, TableSemantics) {
    EarlyStopActor actor;
    Uuid never = Uuid::random();
    EXPECT_FALSE(actor.get(never));
    EXPECT_EQ(actor.remove(never), std::nullopt);

    Uuid run = Uuid::random();
    actor.set(true, run);
    EXPECT_TRUE(actor.get(run));
    EXPECT_EQ(actor.remove(run), std::optional<bool>(true));
    EXPECT_FALSE(actor.get(run));
    EXPECT_EQ(actor.remove(run), std::nullopt);

    // A false flag is still an entry.
    actor.set(false, run);
    EXPECT_EQ(actor.remove(run), std::optional<bool>(false));

    Uuid other = Uuid::random();
    actor.set(false, run);
    actor.set(true, other);
    actor.set(true, run);  // replaces
    EXPECT_TRUE(actor.get(run));
    EXPECT_EQ(actor.remove(other), std::optional<bool>(true));
    EXPECT_TRUE(actor.get(run));
}

TEST(EarlyStopActor, AStopRequestReachesARunningLoop) {
    EarlyStopActor actor;
    Uuid run = Uuid::random();
    actor.set(false, run);
    std::atomic<bool> started{false};
    std::thread decoder([&] {
        started = true;
        while (!actor.get(run)) std::this_thread::yield();
        EXPECT_EQ(actor.remove(run), std::optional<bool>(true));
    });
    while (!started) std::this_thread::yield();
    actor.set(true, run);
    decoder.join();
    EXPECT_EQ(actor.remove(run), std::nullopt);
}
