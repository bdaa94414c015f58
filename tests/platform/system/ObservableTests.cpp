#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "platform/system/Observable.hpp"

using namespace platform;

namespace {

struct Model {
    ObservationRegistrar registrar;
    Observable<std::string> name{registrar, "a"};
    Observable<std::vector<int>> list{registrar};
    Observable<float> level{registrar, 0.0f};
};

}  // namespace

TEST(Observable, SetNotifiesOnlyWhenTheValueChanges) {
    Model m;
    int calls = 0;
    auto token = m.name.observe([&] { ++calls; });
    m.name.set("a");
    EXPECT_EQ(calls, 0);
    m.name.set("b");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(m.name.peek(), "b");
    // NaN never equals itself, so every NaN store is a change.
    m.level.set(NAN);
    int levelCalls = 0;
    auto levelToken = m.level.observe([&] { ++levelCalls; });
    m.level.set(NAN);
    m.level.set(NAN);
    EXPECT_EQ(levelCalls, 2);
}

TEST(Observable, InPlaceChangesAlwaysNotifyAndHooksRunFirst) {
    Model m;
    std::vector<std::string> order;
    m.list.setWriteHook([&] { order.push_back("hook"); });
    auto token = m.list.observe([&] { order.push_back("observer"); });
    m.list.mutate([](std::vector<int>&) {});  // changes nothing, still a change
    m.list.set({});                           // equal: hook only
    m.list.set({1});
    EXPECT_EQ(order, (std::vector<std::string>{"hook", "observer", "hook", "hook", "observer"}));
}

TEST(Observable, TrackingFiresOnceForFieldsThatWereRead) {
    Model m;
    int fired = 0;
    auto token = ObservationRegistrar::withObservationTracking(
        [&] {
            (void)m.name.get();
            (void)m.name.get();
            (void)m.level.peek();  // not a tracked read
        },
        [&] { ++fired; });
    m.level.set(3.0f);
    EXPECT_EQ(fired, 0);
    m.name.set("x");
    m.name.set("y");
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(m.registrar.observerCount(), 0u);
}

TEST(Observable, TokensCancelAndMayOutliveTheModel) {
    ObservationToken survivor;
    int calls = 0;
    {
        Model m;
        auto token = m.name.observe([&] { ++calls; });
        token.cancel();
        m.name.set("b");
        EXPECT_EQ(calls, 0);
        survivor = m.name.observe([&] { ++calls; });
        EXPECT_EQ(m.registrar.observerCount(), 1u);
    }
    survivor.cancel();  // the model is gone; must not touch it
    EXPECT_FALSE(survivor.active());
}

TEST(Observable, ObserversMayCancelOthersDuringANotification) {
    Model m;
    int second = 0;
    ObservationToken secondToken;
    auto first = m.name.observe([&] { secondToken.cancel(); });
    secondToken = m.name.observe([&] { ++second; });
    auto anyField = m.registrar.observe(nullptr, [&] { ++second; });
    m.name.set("changed");
    EXPECT_EQ(second, 1);  // only the any-field observer ran
    EXPECT_EQ(m.registrar.observerCount(), 2u);
}

TEST(Observable, NestedTrackingAlsoCountsForTheOuterScope) {
    Model m;
    int inner = 0, outer = 0;
    ObservationToken innerToken;
    auto outerToken = ObservationRegistrar::withObservationTracking(
        [&] {
            innerToken = ObservationRegistrar::withObservationTracking([&] { (void)m.list.get(); },
                                                                       [&] { ++inner; });
        },
        [&] { ++outer; });
    m.list.mutate([](auto& l) { l.push_back(1); });
    EXPECT_EQ(inner, 1);
    EXPECT_EQ(outer, 1);
}

TEST(Observable, AnObserverMayReleaseTheModel) {
    auto m = std::make_unique<Model>();
    int after = 0;
    auto release = m->name.observe([&] { m.reset(); });
    auto anyField = m->registrar.observe(nullptr, [&] { ++after; });
    m->name.set("changed");  // the registrar's state must outlive the walk over its observers
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(after, 1);
}
