#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/system/Progress.hpp"

using namespace platform;

TEST(Progress, FractionFromOwnUnitsAndUnfinishedChildren) {
    struct Case {
        int64_t total, completed, pending, childTotal, childCompleted;
        double expected;
    };
    const Case cases[] = {
        {10, 0, 5, 4, 2, 0.25},                          // child half done for 5 of 10 units
        {10, 3, 5, 4, 2, 0.55}, {10, 0, 5, 0, 0, 0.0},   // a child without a total adds nothing
        {0, 0, 5, 4, 2, 0.0},                            // no total, no fraction
        {-3, 5, 5, 4, 2, 0.0},  {10, 12, 5, 4, 2, 1.0},  // over-completion is clamped
        {10, 0, 20, 4, 2, 1.0},                          // children promised more units than exist
        {10, -4, 5, 4, 2, 0.0},
    };
    for (const Case& c : cases) {
        auto parent = std::make_shared<Progress>(c.total);
        parent->setCompletedUnitCount(c.completed);
        auto child = std::make_shared<Progress>(c.childTotal);
        child->setCompletedUnitCount(c.childCompleted);
        parent->addChild(child, c.pending);
        EXPECT_DOUBLE_EQ(parent->fractionCompleted(), c.expected)
            << c.total << " " << c.completed << " " << c.pending;
    }
}

TEST(Progress, NestedChildrenAndFinishedChildFoldIntoCompletedUnits) {
    auto root = std::make_shared<Progress>(10);
    auto mid = std::make_shared<Progress>(2);
    auto leaf = std::make_shared<Progress>(4);
    root->addChild(mid, 8);
    mid->addChild(leaf, 1);
    leaf->setCompletedUnitCount(1);  // leaf 1/4 -> mid 1/8 -> root 1/10
    EXPECT_DOUBLE_EQ(root->fractionCompleted(), 0.1);
    EXPECT_EQ(root->completedUnitCount(), 0);

    leaf->setCompletedUnitCount(4);  // leaf done: mid has 1 of 2 units
    EXPECT_TRUE(leaf->isFinished());
    EXPECT_EQ(mid->completedUnitCount(), 1);
    EXPECT_DOUBLE_EQ(root->fractionCompleted(), 0.4);

    mid->setCompletedUnitCount(2);
    EXPECT_EQ(root->completedUnitCount(), 8);
    EXPECT_FALSE(root->isFinished());
    root->setCompletedUnitCount(10);
    EXPECT_TRUE(root->isFinished());
    EXPECT_DOUBLE_EQ(root->fractionCompleted(), 1.0);

    // A child already finished when added counts at once.
    auto other = std::make_shared<Progress>(3);
    auto done = std::make_shared<Progress>(1);
    done->setCompletedUnitCount(1);
    other->addChild(done, 3);
    EXPECT_TRUE(other->isFinished());

    // Nothing to do is not the same as done.
    EXPECT_FALSE(Progress(0).isFinished());
}

TEST(Progress, ChangeFromAGrandchildReachesTheRootOutsideLocks) {
    auto root = std::make_shared<Progress>(2);
    auto mid = std::make_shared<Progress>(1);
    auto leaf = std::make_shared<Progress>(4);
    root->addChild(mid, 2);
    mid->addChild(leaf, 1);

    std::vector<double> seen;
    std::vector<int64_t> counts;
    root->setOnChange([&](double f) {
        seen.push_back(f);
        // Reading back from the handler would deadlock if it ran under a lock.
        counts.push_back(root->completedUnitCount());
    });
    leaf->setCompletedUnitCount(2);
    ASSERT_FALSE(seen.empty());
    EXPECT_DOUBLE_EQ(seen.back(), 0.5);
    leaf->setCompletedUnitCount(4);
    EXPECT_DOUBLE_EQ(seen.back(), 1.0);
    EXPECT_EQ(counts.back(), 2);
}

TEST(Progress, ParentMustBeSharedAndChildHasOneParent) {
    Progress plain(5);
    EXPECT_THROW(plain.addChild(std::make_shared<Progress>(1), 1), std::logic_error);
    auto a = std::make_shared<Progress>(5);
    auto b = std::make_shared<Progress>(5);
    auto child = std::make_shared<Progress>(1);
    a->addChild(child, 1);
    EXPECT_THROW(b->addChild(child, 1), std::logic_error);
    EXPECT_THROW(a->addChild(a, 1), std::logic_error);
}

TEST(Progress, ConcurrentUpdatesFromSeveralThreads) {
    constexpr int kThreads = 4;
    constexpr int kSteps = 2000;
    auto root = std::make_shared<Progress>(kThreads);
    std::vector<std::shared_ptr<Progress>> children;
    for (int i = 0; i < kThreads; ++i) {
        children.push_back(std::make_shared<Progress>(kSteps));
        root->addChild(children.back(), 1);
    }
    std::atomic<int> calls{0};
    std::atomic<bool> inRange{true};
    root->setOnChange([&](double f) {
        ++calls;
        if (f < 0.0 || f > 1.0) inRange = false;
    });
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            for (int s = 1; s <= kSteps; ++s) {
                children[i]->setCompletedUnitCount(s);
                (void)root->fractionCompleted();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_TRUE(inRange);
    EXPECT_GE(calls.load(), kThreads * kSteps);
    EXPECT_EQ(root->completedUnitCount(), kThreads);
    EXPECT_TRUE(root->isFinished());
    EXPECT_DOUBLE_EQ(root->fractionCompleted(), 1.0);
}
