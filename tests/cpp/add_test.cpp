#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "test_util.h"

namespace quarnel {
namespace {

using test::dims_of;
using test::probe;
using test::Throws;
using U = std::vector<uint64_t>;

struct Operand {
    Dtype dtype;
    Device device;
    U dims;
    Tensor make() const { return Tensor(Shape(dims), dtype, device, false); }
};

constexpr Dtype F32 = Dtype::FLOAT32;
constexpr Device CPU = Device::CPU;

// Several properties differ at once, so only the order of the checks picks the message.
TEST(AddTest, ChecksInOrderAndRecordNothingOnFailure) {
    const struct {
        Operand self, other;
        const char* message;
    } table[] = {
        {{F32, CPU, {2, 3}}, {Dtype::INT32, CPU, {3, 2}}, "add: dtype mismatch"},
        {{F32, CPU, {2}}, {Dtype::FLOAT64, Device::CUDA, {2, 2}}, "add: dtype mismatch"},
        {{Dtype::INT64, CPU, {2}}, {Dtype::INT64, Device::HIP, {2, 1}}, "add: device mismatch"},
        {{F32, CPU, {2, 3}}, {F32, Device::CUDA, {3, 2}}, "add: device mismatch"},
        {{F32, CPU, {2, 3}}, {F32, CPU, {4}}, "add: rank mismatch"},
        {{F32, CPU, {2, 3}}, {F32, CPU, {2, 3, 1}}, "add: rank mismatch"},
        {{F32, CPU, {}}, {F32, CPU, {1}}, "add: rank mismatch"},
        {{F32, CPU, {2, 3}}, {F32, CPU, {3, 2}}, "add: shape mismatch"},
        {{F32, CPU, {1, 2, 3, 4}}, {F32, CPU, {4, 3, 2, 1}}, "add: shape mismatch"},
        {{F32, CPU, {2, 3, 4}}, {F32, CPU, {2, 3, 5}}, "add: shape mismatch"},
        {{F32, CPU, {0, 3}}, {F32, CPU, {0, 4}}, "add: shape mismatch"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.message);
        const Tensor self = row.self.make(), other = row.other.make();
        Node* before = probe();
        EXPECT_TRUE(Throws<std::invalid_argument>([&] { add(self, other); }, row.message));
        EXPECT_EQ(probe()->id, before->id + 1);
    }
}

TEST(AddTest, ResultAndRecordedNode) {
    auto storage = std::make_shared<Storage>(10, Dtype::INT32, Device::CPU);
    const Tensor strided(storage, Shape(U{2, 2}), Strides(U{4, 1}), 1UL);
    const Tensor transposed(storage, Shape(U{2, 2}), Strides(U{1, 2}), 3UL);
    const struct {
        const char* what;
        Tensor self, other;
    } table[] = {
        {"contiguous", Operand{F32, CPU, {2, 3}}.make(), Operand{F32, CPU, {2, 3}}.make()},
        {"rank 0", Operand{Dtype::INT32, CPU, {}}.make(), Operand{Dtype::INT32, CPU, {}}.make()},
        {"no elements", Operand{Dtype::FLOAT64, CPU, {0, 3}}.make(), Operand{Dtype::FLOAT64, CPU, {0, 3}}.make()},
        {"off the CPU", Operand{Dtype::INT64, Device::CUDA, {2, 2}}.make(),
         Operand{Dtype::INT64, Device::CUDA, {2, 2}}.make()},
        {"allocated operands", Tensor::ones(Shape(U{4}), F32, CPU), Tensor::zeros(Shape(U{4}), F32, CPU)},
        {"strided operand", strided, Operand{Dtype::INT32, CPU, {2, 2}}.make()},
        {"both strided", transposed, strided},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.what);
        Node* before = probe();
        const Tensor result = add(row.self, row.other);
        Node* after = probe();
        EXPECT_EQ(after->id, before->id + 2);

        EXPECT_EQ(dims_of(result.shape()), dims_of(row.self.shape()));
        EXPECT_EQ(result.dtype(), row.self.dtype());
        EXPECT_EQ(result.device(), row.self.device());
        EXPECT_EQ(dims_of(result.strides()), dims_of(Strides::contiguous_for(row.self.shape())));
        EXPECT_EQ(result.offset(), 0U);
        EXPECT_EQ(result.storage()->numel(), static_cast<uint64_t>(row.self.numel()));
        EXPECT_EQ(result.allocated(), row.self.numel() == 0);
        EXPECT_NE(result.storage(), row.self.storage());
        EXPECT_NE(result.storage(), row.other.storage());

        Node* node = default_graph().find(result);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->id, before->id + 1);
        EXPECT_EQ(node->name, "ADD");
        EXPECT_EQ(node->op, Op::ADD);
        ASSERT_EQ(node->inputs.size(), 2U);
        EXPECT_EQ(node->inputs[0].impl(), row.self.impl());
        EXPECT_EQ(node->inputs[1].impl(), row.other.impl());
        EXPECT_EQ(node->output.impl(), result.impl());
    }
}

TEST(AddTest, OperandOrderAndRepeatedOperand) {
    const Tensor a = Operand{F32, CPU, {3}}.make(), b = Operand{F32, CPU, {3}}.make();
    const Tensor ab = add(a, b), ba = add(b, a);
    EXPECT_NE(ab.impl(), ba.impl());
    Node* nab = default_graph().find(ab);
    Node* nba = default_graph().find(ba);
    EXPECT_EQ(nba->id, nab->id + 1);
    EXPECT_EQ(nab->inputs[0].impl(), nba->inputs[1].impl());
    EXPECT_EQ(nab->inputs[1].impl(), nba->inputs[0].impl());

    const Tensor aa = add(a, a);
    Node* naa = default_graph().find(aa);
    EXPECT_EQ(naa->inputs[0].impl(), a.impl());
    EXPECT_EQ(naa->inputs[1].impl(), a.impl());
    Executor executor;
    executor.schedule(default_graph(), aa);
    EXPECT_EQ(executor.order(), (std::vector<Node*>{naa}));
    EXPECT_FALSE(aa.allocated());
    execute(aa);
    EXPECT_TRUE(aa.allocated());
    EXPECT_FALSE(a.allocated());
}

}  // namespace
}  // namespace quarnel
