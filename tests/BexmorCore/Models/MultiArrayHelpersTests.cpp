#include <gtest/gtest.h>

#include <cstring>

#include "BexmorCore/MultiArrayHelpers.h"

using namespace bexmor;
using platform::ml::Half;
using platform::ml::MlError;
using platform::ml::MultiArray;
using platform::ml::MultiArrayDataType;
using platform::ml::ScalarType;
using platform::ml::Tensor;

namespace {

Tensor tensorOf(ScalarType type, std::vector<int64_t> shape, const void* data, size_t bytes) {
    Tensor t{std::move(shape), type, std::vector<std::byte>(bytes)};
    std::memcpy(t.data.data(), data, bytes);
    return t;
}

}  // namespace

TEST(MakeMultiArray, FillsEveryElementInTheElementType) {
    const auto zeros = makeMultiArray({1, 1, 448}, MultiArrayDataType::float16, 0);
    for (Half h : zeros.elements<Half>()) ASSERT_EQ(h.bits, 0);
    EXPECT_EQ(pixelBuffer({1, 1, 448})->width, 448);
    EXPECT_EQ(pixelBuffer({1, 1, 448})->height, 1);
    EXPECT_EQ(pixelBuffer({3, 5, 7})->height, 15);

    // A plain int literal, a double or a Half all land converted, never as raw bytes of another size.
    const auto halves = makeMultiArray({2, 3}, MultiArrayDataType::float16, -1);
    for (Half h : halves.elements<Half>()) EXPECT_EQ(float(h), -1.0f);
    const auto floats = makeMultiArray({4}, MultiArrayDataType::float32, 0.25);
    for (float f : floats.elements<float>()) EXPECT_EQ(f, 0.25f);
    const auto fromHalf = makeMultiArray({2}, MultiArrayDataType::float32, Half(1.5f));
    for (float f : fromHalf.elements<float>()) EXPECT_EQ(f, 1.5f);
    const auto ints = makeMultiArray({3}, MultiArrayDataType::int32, -7);
    for (int32_t i : ints.elements<int32_t>()) EXPECT_EQ(i, -7);
    const auto bytes = makeMultiArray({3}, MultiArrayDataType::int8, 5);
    for (int8_t i : bytes.elements<int8_t>()) EXPECT_EQ(i, 5);
    const auto doubles = makeMultiArray({2}, MultiArrayDataType::float64, 0.1f);
    for (double d : doubles.elements<double>()) EXPECT_EQ(d, double(0.1f));
}

TEST(MakeMultiArray, Refusals) {
    EXPECT_THROW((void)makeMultiArray({}, MultiArrayDataType::float16, 0), MLMultiArrayCreationError);
    EXPECT_STREQ(MLMultiArrayCreationError().what(), "Failed to create IOSurface-backed pixel buffer for MLMultiArray");
    EXPECT_THROW((void)makeMultiArray({}, MultiArrayDataType::float32, 0), MlError);
    EXPECT_THROW((void)makeMultiArray({2, -1}, MultiArrayDataType::int32, 0), MlError);
    EXPECT_THROW((void)makeMultiArray({2}, MultiArrayDataType::int8, 300), std::invalid_argument);
    EXPECT_THROW((void)makeMultiArray({2}, MultiArrayDataType::int32, 1.5), std::invalid_argument);
    EXPECT_THROW((void)makeMultiArray({2}, MultiArrayDataType::int32, NAN), std::invalid_argument);
    EXPECT_THROW((void)makeMultiArray({2}, MultiArrayDataType::int32, 3e9), std::invalid_argument);
}

TEST(From, ShapeOfOnesThenTheLength) {
    const auto a = from({7, 8, 9}, 2);
    EXPECT_EQ(a.shape(), (std::vector<int64_t>{1, 3}));
    EXPECT_EQ(a.dataType(), MultiArrayDataType::int32);
    EXPECT_EQ(std::vector<int32_t>(a.elements<int32_t>().begin(), a.elements<int32_t>().end()), (std::vector<int32_t>{7, 8, 9}));
    EXPECT_EQ(from({1}, 1).shape(), (std::vector<int64_t>{1}));
    EXPECT_EQ(from({1, 2}, 3).shape(), (std::vector<int64_t>{1, 1, 2}));
    EXPECT_THROW((void)from({1}, 0), std::invalid_argument);
    EXPECT_THROW((void)from({int64_t(1) << 31}, 1), std::invalid_argument);
    EXPECT_THROW((void)from({}, 1), std::invalid_argument);
}

TEST(LinearOffset, TheShorterListDecides) {
    const MultiArray a({2, 3, 4}, MultiArrayDataType::float32);
    EXPECT_EQ(linearOffset(a, {1, 2}, std::vector<int64_t>{10, 1, 100}), 12);
    EXPECT_EQ(linearOffset(a, {1, 2, 3}), 12 + 8 + 3);
    EXPECT_EQ(linearOffset(a, {1, 2, 3, 9}), 23);
    EXPECT_EQ(linearOffset(a, {1, 1}, std::vector<int64_t>{5}), 5);
}

TEST(Fill, SkipsBadIndexesAndConverts) {
    auto a = makeMultiArray({1, 4}, MultiArrayDataType::float16, 0);
    fill(a, {{0, 5}}, 1.0f);
    for (Half h : a.elements<Half>()) EXPECT_EQ(h.bits, 0);
    fill(a, {{0, 3}, {0, -1}, {0}, {1, 0}, {0, 1, 0}}, 2.5f);  // a float into half elements: converted
    EXPECT_EQ(float(a.elements<Half>()[3]), 2.5f);
    EXPECT_EQ(a.elements<Half>()[0].bits, 0);
    EXPECT_EQ(a.elements<Half>()[2].bits, 0);

    auto logits = makeMultiArray({1, 1, 5}, MultiArrayDataType::float32, 1.0f);
    fill(logits, {{0, 0, 1}, {0, 0, 4}}, -INFINITY);
    EXPECT_EQ(logits.elements<float>()[1], -INFINITY);
    EXPECT_EQ(logits.elements<float>()[4], -INFINITY);
    EXPECT_EQ(logits.elements<float>()[2], 1.0f);

    auto ints = makeMultiArray({3}, MultiArrayDataType::int8, 0);
    EXPECT_THROW(fill(ints, {{0}}, 1000), std::invalid_argument);
    EXPECT_EQ(ints.elements<int8_t>()[0], 0);
}

TEST(FillLastDimension, WritesTheRangeOrNothing) {
    auto a = makeMultiArray({1, 1, 6}, MultiArrayDataType::float16, 0);
    fillLastDimension(a, 2, 2, Half(1.0f));
    for (Half h : a.elements<Half>()) EXPECT_EQ(h.bits, 0);
    fillLastDimension(a, 1, 4, Half(-3.0f));
    const std::vector<float> expected = {0, -3, -3, -3, 0, 0};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(float(a.elements<Half>()[i]), expected[i]);

    auto before = a.clone();
    EXPECT_THROW(fillLastDimension(a, 4, 7, Half(9.0f)), std::invalid_argument);
    EXPECT_THROW(fillLastDimension(a, -1, 2, Half(9.0f)), std::invalid_argument);
    EXPECT_EQ(std::memcmp(a.data(), before.data(), a.byteCount()), 0);
    auto wrongShape = makeMultiArray({1, 2, 6}, MultiArrayDataType::float16, 0);
    EXPECT_THROW(fillLastDimension(wrongShape, 0, 1, Half(1.0f)), std::invalid_argument);
    auto wrongType = makeMultiArray({1, 1, 6}, MultiArrayDataType::float32, 0);
    EXPECT_THROW(fillLastDimension(wrongType, 0, 1, Half(1.0f)), std::invalid_argument);
    EXPECT_EQ(wrongType.elements<float>()[0], 0.0f);
}

TEST(TensorReads, ByScalarType) {
    const uint16_t halves[2] = {Half(1.5f).bits, Half(-2.0f).bits};
    const auto h = tensorOf(ScalarType::float16, {2}, halves, sizeof halves);
    EXPECT_EQ(toFloatArray(h), (std::vector<float>{1.5f, -2.0f}));
    const int32_t ints[3] = {1, -2, 3};
    const auto i = tensorOf(ScalarType::int32, {1, 3}, ints, sizeof ints);
    EXPECT_EQ(toIntArray(i), (std::vector<int64_t>{1, -2, 3}));
    EXPECT_EQ(toFloatArray(i), (std::vector<float>{1.0f, -2.0f, 3.0f}));
    const float floats[2] = {0.5f, 4.0f};
    const auto f = tensorOf(ScalarType::float32, {2, 1}, floats, sizeof floats);
    EXPECT_EQ(toFloatArray(f), (std::vector<float>{0.5f, 4.0f}));

    const auto asArray = toMLMultiArray(h);
    EXPECT_EQ(asArray.dataType(), MultiArrayDataType::float16);
    EXPECT_EQ(float(asArray.elements<Half>()[0]), 1.5f);
    EXPECT_EQ(toMLMultiArray(i).shape(), (std::vector<int64_t>{1, 3}));
    EXPECT_EQ(toMLMultiArray(f).elements<float>()[1], 4.0f);

    // A float tensor read as integers, or a tensor of another type, is refused by name.
    try {
        (void)toIntArray(f);
        FAIL();
    } catch (const UnsupportedScalarTypeError& e) {
        EXPECT_STREQ(e.what(), "Unsupported scalar type: Float");
    }
    const int8_t bytes[2] = {1, 2};
    const auto b = tensorOf(ScalarType::int8, {2}, bytes, sizeof bytes);
    try {
        (void)toFloatArray(b);
        FAIL();
    } catch (const UnsupportedScalarTypeError& e) {
        EXPECT_STREQ(e.what(), "Unsupported scalar type: Int8");
    }
    EXPECT_THROW((void)toMLMultiArray(b), UnsupportedScalarTypeError);
    const auto broken = tensorOf(ScalarType::float32, {3}, floats, sizeof floats);
    EXPECT_THROW((void)toFloatArray(broken), std::invalid_argument);
}
