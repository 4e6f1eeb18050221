#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "test_util.h"

namespace quarnel {
namespace {

using test::Throws;

TEST(DtypeTest, DeviceNames) {
    const struct {
        Device device;
        const char* name;
    } table[] = {{Device::CPU, "cpu"}, {Device::CUDA, "cuda"}, {Device::HIP, "hip"}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        EXPECT_STREQ(to_string(row.device), row.name);
    }
}

TEST(DtypeTest, ElementTypeNamesAndSizes) {
    const struct {
        Dtype dtype;
        const char* name;
        size_t size;
    } table[] = {
        {Dtype::FLOAT32, "fp32", 4}, {Dtype::INT32, "i32", 4}, {Dtype::FLOAT64, "f64", 8}, {Dtype::INT64, "i64", 8}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        EXPECT_STREQ(to_string(row.dtype), row.name);
        EXPECT_EQ(dtype_size(row.dtype), row.size);
    }
}

TEST(DtypeTest, DeviceOutsideEnumeratorsIsRejected) {
    for (int32_t value : {3, -1, 1000, INT32_MIN}) {
        SCOPED_TRACE(value);
        EXPECT_TRUE(
            Throws<std::invalid_argument>([&] { to_string(static_cast<Device>(value)); }, "Unsupported device"));
    }
}

TEST(DtypeTest, DtypeOutsideEnumeratorsIsRejected) {
    for (int value : {4, 9, 255}) {
        SCOPED_TRACE(value);
        const auto dtype = static_cast<Dtype>(value);
        EXPECT_TRUE(Throws<std::invalid_argument>([&] { to_string(dtype); }, "Unsupported Dtype"));
        EXPECT_TRUE(Throws<std::invalid_argument>([&] { dtype_size(dtype); }, "Unsupported Dtype"));
    }
}

}  // namespace
}  // namespace quarnel
