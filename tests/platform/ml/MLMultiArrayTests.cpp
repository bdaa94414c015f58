#include <gtest/gtest.h>

#include <cstdint>

#include "platform/ml/MLFeatureProvider.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/MLMultiArray.hpp"

using namespace platform::ml;

TEST(MLMultiArray, StorageIsAlignedZeroedAndRowMajor) {
    for (auto type :
         {MLMultiArrayDataType::float16, MLMultiArrayDataType::float32,
          MLMultiArrayDataType::float64, MLMultiArrayDataType::int32, MLMultiArrayDataType::int8}) {
        for (std::vector<std::int64_t> shape :
             {std::vector<std::int64_t>{1, 80, 1, 3000}, {3}, {2, 0, 5}, {}}) {
            MLMultiArray a(shape, type);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.dataPointer()) % 64, 0u)
                << dataTypeName(type);
            std::int64_t expected = 1;
            for (auto d : shape) expected *= d;
            EXPECT_EQ(a.count(), expected);
            for (std::int64_t i = 0; i < a.count(); i += 997) EXPECT_EQ(a.doubleValue(i), 0.0);
        }
    }
    MLMultiArray a({2, 3, 4}, MLMultiArrayDataType::float32);
    EXPECT_EQ(a.strides(), (std::vector<std::int64_t>{12, 4, 1}));
    const std::int64_t idx[] = {1, 2, 3};
    EXPECT_EQ(a.offset(idx), 23);
    const std::int64_t bad[] = {1, 3, 0};
    EXPECT_THROW(a.offset(bad), std::out_of_range);
}

TEST(MLMultiArray, RefusesImpossibleShapes) {
    EXPECT_THROW(MLMultiArray({2, -1}, MLMultiArrayDataType::float32), MLModelError);
    EXPECT_THROW(MLMultiArray({INT64_MAX / 2, 4}, MLMultiArrayDataType::float32), MLModelError);
}

TEST(MLMultiArray, NumberAccessConvertsPerElementType) {
    struct Case {
        MLMultiArrayDataType type;
        double written;
        double read;
    };
    const Case cases[] = {
        {MLMultiArrayDataType::float16, 0.2, 0.199951171875},
        {MLMultiArrayDataType::float16, -10000, -10000},
        {MLMultiArrayDataType::float32, 0.1, static_cast<double>(0.1f)},
        {MLMultiArrayDataType::float64, 0.1, 0.1},
        {MLMultiArrayDataType::int32, 51863.9, 51863},
        {MLMultiArrayDataType::int32, 1e12, 2147483647},  // saturates instead of wrapping
        {MLMultiArrayDataType::int8, -300, -128},
    };
    for (const auto& c : cases) {
        MLMultiArray a({4}, c.type);
        a.setValue(3, c.written);
        EXPECT_EQ(a.doubleValue(3), c.read) << dataTypeName(c.type);
    }
    MLMultiArray a({4}, MLMultiArrayDataType::int32);
    EXPECT_THROW(a.doubleValue(4), std::out_of_range);
    EXPECT_THROW(a.setValue(-1, 0), std::out_of_range);
    EXPECT_THROW(a.span<float>(), std::logic_error);
}

TEST(MLMultiArray, ProvidersShareTheArrayNotACopy) {
    auto ids = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
    MLDictionaryFeatureProvider provider({{"input_ids", ids}});
    ids->setValue(0, 50257);
    auto value = provider.featureValue("input_ids");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->multiArrayValue().get(), ids.get());
    EXPECT_EQ(value->multiArrayValue()->doubleValue(0), 50257);
    for (const char* other : {"input_ids ", "Input_ids", ""})
        EXPECT_FALSE(provider.featureValue(other)) << other;
    EXPECT_EQ(provider.featureNames(), std::set<std::string>{"input_ids"});
    EXPECT_THROW(MLDictionaryFeatureProvider({{"x", nullptr}}), MLModelError);
}

TEST(MLMultiArray, ExternalStorageIsReleasedOnce) {
    int released = 0;
    static float storage[6];
    {
        auto a = std::make_shared<MLMultiArray>(storage, std::vector<std::int64_t>{2, 3},
                                                MLMultiArrayDataType::float32, [&](void* p) {
                                                    EXPECT_EQ(p, storage);
                                                    ++released;
                                                });
        a->setValue(5, 1.5);
        EXPECT_EQ(storage[5], 1.5f);
        auto copy = a->copy();
        EXPECT_NE(copy->dataPointer(), a->dataPointer());
        EXPECT_EQ(copy->doubleValue(5), 1.5);
    }
    EXPECT_EQ(released, 1);
}
