#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/ml/MLShapedArray.hpp"

using namespace platform::ml;

TEST(MLShapedArray, OwnsACopyOrViewsInPlace) {
    const std::vector<float> scalars = {1, 2, 3, 4, 5, 6};
    MLShapedArray<float> owned({2, 3}, scalars);
    EXPECT_EQ(owned.shape(), (std::vector<std::int64_t>{2, 3}));
    EXPECT_EQ(owned.strides(), (std::vector<std::int64_t>{3, 1}));
    EXPECT_EQ(owned.scalarCount(), 6);
    EXPECT_EQ(owned.scalars()[5], 6.0f);
    EXPECT_THROW(MLShapedArray<float>({2, 2}, scalars), std::invalid_argument);

    auto array = MLMultiArray::make({1, 2}, MLMultiArrayDataType::int32);
    MLShapedArray<std::int32_t> view(array);
    view.scalars()[1] = 9;
    EXPECT_EQ(array->span<std::int32_t>()[1], 9);
    EXPECT_EQ(view.multiArray().get(), array.get());
}

TEST(MLShapedArray, RefusesAnotherElementTypeOrNoArray) {
    for (auto type : {MLMultiArrayDataType::float32, MLMultiArrayDataType::int32,
                      MLMultiArrayDataType::float64}) {
        EXPECT_THROW(MLShapedArray<Float16>(MLMultiArray::make({4}, type)), MLModelError);
    }
    EXPECT_THROW(MLShapedArray<float>(std::shared_ptr<MLMultiArray>()), MLModelError);
}
