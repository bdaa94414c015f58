#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <unordered_set>

#include "vortilcore/core/ModelState.hpp"

using vortil::ModelState;

TEST(ModelState, DescriptionsBusyFlagsAndRawValues) {
    struct Row {
        ModelState state;
        const char* text;
        bool busy;
    };
    const Row rows[] = {
        {ModelState::unloading, "Unloading", true},
        {ModelState::unloaded, "Unloaded", false},
        {ModelState::loading, "Loading", true},
        {ModelState::loaded, "Loaded", false},
        {ModelState::prewarming, "Specializing", true},
        {ModelState::prewarmed, "Specialized", false},
        {ModelState::downloading, "Downloading", true},
        {ModelState::downloaded, "Downloaded", false},
    };
    std::unordered_set<ModelState> distinct;
    int position = 0;
    for (const Row& row : rows) {
        EXPECT_EQ(static_cast<int>(row.state), position++);
        EXPECT_EQ(vortil::description(row.state), row.text);
        EXPECT_EQ(vortil::isBusy(row.state), row.busy) << row.text;
        std::ostringstream interpolated;
        interpolated << "state: " << row.state;
        EXPECT_EQ(interpolated.str(), std::string("state: ") + row.text);
        distinct.insert(row.state);
    }
    EXPECT_EQ(distinct.size(), 8u);
}
