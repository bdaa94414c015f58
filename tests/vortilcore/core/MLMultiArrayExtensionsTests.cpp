#include <gtest/gtest.h>

#include <cstdint>

#include "platform/ml/MLModelError.hpp"
#include "vortilcore/core/MLMultiArrayExtensions.hpp"
#include "vortilcore/core/MLTensorExtensions.hpp"

using namespace vortil;
using platform::ml::MLTensor;
using DT = platform::ml::MLMultiArrayDataType;

TEST(MLMultiArrayExtensions, FillsOnlyWhenTheValueTypeMatchesExactly) {
    auto half = makeMLMultiArray({1, 4}, DT::float16, Float16(0.0f));
    EXPECT_EQ(half->shape(), (std::vector<std::int64_t>{1, 4}));
    EXPECT_EQ(half->strides(), (std::vector<std::int64_t>{4, 1}));
    for (auto h : half->span<Float16>()) EXPECT_EQ(h.bits, 0);
    const auto layout = pixelBuffer({1, 4});
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->width, 4);
    EXPECT_EQ(layout->height, 1);
    EXPECT_EQ(pixelBuffer({2, 3, 5})->height, 6);

    auto mask = makeMLMultiArray({1, 224}, DT::float16, Float16(-10000.0f));
    for (auto h : mask->span<Float16>()) EXPECT_EQ(static_cast<float>(h), -10000.0f);

    struct Case {
        const char* what;
        std::shared_ptr<MLMultiArray> array;
        double expected;
    };
    const Case cases[] = {
        {"float for float32", makeMLMultiArray({3}, DT::float32, 1.5f), 1.5},
        {"long for float32", makeMLMultiArray({3}, DT::float32, 7L), 0},
        {"double for float32", makeMLMultiArray({3}, DT::float32, 2.0), 0},
        {"double for float64", makeMLMultiArray({3}, DT::float64, 2.25), 2.25},
        {"int32 for int32", makeMLMultiArray({3}, DT::int32, std::int32_t{-7}), -7},
        {"int64 for int32", makeMLMultiArray({3}, DT::int32, std::int64_t{5}), 0},
        {"int8 for int8", makeMLMultiArray({3}, DT::int8, std::int8_t{-3}), -3},
        {"float for float16", makeMLMultiArray({3}, DT::float16, 1.0f), 0},
        {"Float16 for float32", makeMLMultiArray({3}, DT::float32, Float16(1.0f)), 0},
    };
    for (const auto& c : cases)
        for (std::int64_t i = 0; i < 3; ++i)
            EXPECT_EQ(c.array->doubleValue(i), c.expected) << c.what;
}

TEST(MLMultiArrayExtensions, HalfArraysNeedAPixelBufferLayout) {
    for (std::vector<std::int64_t> shape : {std::vector<std::int64_t>{}, {0, 4}, {4, 0}}) {
        try {
            makeMLMultiArray(shape, DT::float16, Float16(0.0f));
            ADD_FAILURE() << "accepted";
        } catch (const MLMultiArrayCreationError& e) {
            EXPECT_EQ(e.code(), MLMultiArrayCreationError::Code::pixelBufferFailed);
            EXPECT_EQ(e.errorDescription(),
                      "Failed to create IOSurface-backed pixel buffer for MLMultiArray");
        }
    }
    EXPECT_FALSE(pixelBuffer({INT64_MAX, INT64_MAX, 2}));  // overflowing height
    // Other types go straight to the runtime, whose refusal passes through.
    EXPECT_THROW(makeMLMultiArray({-1}, DT::float32, 0.0f), platform::ml::MLModelError);
    EXPECT_EQ(makeMLMultiArray({}, DT::float32, 3.0f)->doubleValue(0), 3.0);
}

TEST(MLMultiArrayExtensions, IntegerArraysAndOffsets) {
    auto ids = multiArrayFrom({5, 6}, 3);
    EXPECT_EQ(ids->shape(), (std::vector<std::int64_t>{1, 1, 2}));
    EXPECT_EQ(ids->dataType(), DT::int32);
    EXPECT_EQ(ids->doubleValue(0), 5);
    EXPECT_EQ(ids->doubleValue(1), 6);
    EXPECT_EQ(multiArrayFrom({}, 1)->shape(), (std::vector<std::int64_t>{0}));

    const std::int64_t index[] = {1, 2};
    const std::int64_t strides[] = {10, 1, 7};
    EXPECT_EQ(linearOffset(index, strides), 12);
    auto a = makeMLMultiArray({2, 3, 4}, DT::float32, 0.0f);
    const std::int64_t full[] = {1, 2, 3};
    EXPECT_EQ(linearOffset(*a, full), 23);
    EXPECT_EQ(linearOffset(*a, full, std::vector<std::int64_t>{1, 1}), 3);
    EXPECT_EQ(linearOffset(*a, std::span<const std::int64_t>()), 0);
}

TEST(MLMultiArrayExtensions, FillSkipsInvalidIndexVectors) {
    auto logits = makeMLMultiArray({1, 1, 5}, DT::float16, Float16(1.0f));
    fill(*logits, {{0, 0, 4}, {0, 0, 5}, {0, 4}, {0, 0, -1}, {1, 0, 0}},
         Float16::negativeInfinity());
    const auto v = logits->span<Float16>();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(static_cast<float>(v[i]), 1.0f) << i;
    EXPECT_EQ(v[4].bits, 0xFC00);

    auto grid = makeMLMultiArray({2, 3}, DT::int32, std::int32_t{0});
    fill(*grid, {{1, 2}, {0, 1}}, std::int32_t{9});
    EXPECT_EQ(grid->doubleValue(5), 9);
    EXPECT_EQ(grid->doubleValue(1), 9);
    EXPECT_EQ(grid->doubleValue(0), 0);
}

TEST(MLMultiArrayExtensions, FillLastDimensionWritesTheRange) {
    auto logits = makeMLMultiArray({1, 1, 10}, DT::float16, Float16(2.0f));
    fillLastDimension(*logits, 0, 0, Float16(0.0f));
    for (auto h : logits->span<Float16>()) EXPECT_EQ(static_cast<float>(h), 2.0f);
    fillLastDimension(*logits, 0, 3, Float16(0.0f));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(logits->doubleValue(i), i < 3 ? 0.0 : 2.0) << i;
    fillLastDimension(*logits, 8, 1000, Float16(5.0f));  // clamped to the dimension
    EXPECT_EQ(logits->doubleValue(9), 5.0);
}

TEST(MLMultiArrayExtensionsDeathTest, ProgrammingErrorsStop) {
    auto wrongShape = makeMLMultiArray({1, 2, 10}, DT::float16, Float16(0.0f));
    EXPECT_DEATH(fillLastDimension(*wrongShape, 0, 1, Float16(0.0f)), "shape \\[1, 1, N\\]");
    auto halves = makeMLMultiArray({1, 1, 4}, DT::float16, Float16(0.0f));
    EXPECT_DEATH(fill(*halves, {{0, 0, 3}}, 1.0f), "not the array's element type");
    EXPECT_DEATH(multiArrayFrom({1}, 0), "at least one dimension");
    EXPECT_DEATH(multiArrayFrom({std::int64_t{1} << 40}, 1), "32-bit range");
    const std::int64_t big[] = {INT64_MAX, 2};
    const std::int64_t strides[] = {2, 1};
    EXPECT_DEATH(linearOffset(big, strides), "overflows");
}

TEST(MLTensorExtensions, ReadsTensorsBack) {
    EXPECT_EQ(toFloatArray(MLTensor({2}, std::vector<std::int32_t>{1, 2})),
              (std::vector<float>{1.0f, 2.0f}));
    EXPECT_EQ(toFloatArray(MLTensor({2}, std::vector<Float16>{Float16(0.2f), Float16(-3.0f)})),
              (std::vector<float>{0.199951171875f, -3.0f}));
    EXPECT_EQ(toFloatArray(MLTensor({1, 2}, std::vector<float>{0.5f, 16777217.0f})),
              (std::vector<float>{0.5f, 16777216.0f}));
    EXPECT_EQ(toIntArray(MLTensor({3}, std::vector<std::int32_t>{-1, 0, 51863})),
              (std::vector<std::int64_t>{-1, 0, 51863}));
    EXPECT_TRUE(toIntArray(MLTensor({0}, std::vector<std::int32_t>{})).empty());

    auto array = toMLMultiArray(MLTensor(
        {2, 2}, std::vector<Float16>{Float16(1.0f), Float16(2.0f), Float16(3.0f), Float16(4.0f)}));
    EXPECT_EQ(array->shape(), (std::vector<std::int64_t>{2, 2}));
    EXPECT_EQ(array->dataType(), DT::float16);
    EXPECT_EQ(array->doubleValue(3), 4.0);
    EXPECT_THROW(MLTensor({3}, std::vector<float>{1.0f}), std::invalid_argument);
}

TEST(MLTensorExtensionsDeathTest, UnsupportedScalarTypesStop) {
    EXPECT_DEATH(toFloatArray(MLTensor({1}, std::vector<double>{1.0})),
                 "Unsupported scalar type: double");
    EXPECT_DEATH(toMLMultiArray(MLTensor({1}, std::vector<std::int8_t>{1})),
                 "Unsupported scalar type: std::int8_t");
    EXPECT_DEATH(toIntArray(MLTensor({1}, std::vector<float>{1.0f})),
                 "Unsupported scalar type: float");
}
