// Fuzz target: random programs over two fresh graphs. Lazy adds (fresh
// results handed over whole, as the add makes them), nodes recorded by hand
// with any inputs and outputs (old outputs, operands, empty handles), views,
// handle copies, explicit allocations, finds, schedules, visits and runs,
// graphs dropped and made anew. Every schedule and every producer found must
// be the graph model's (tests/model), every storage's allocation state must
// match the model of allocations below, and when the program ends nothing may
// be left (LeakSanitizer).
#include <array>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_set>

#include "fuzz_util.h"
#include "tests/model/graph.h"

namespace quarnel::fuzz {
namespace {

constexpr size_t SLOTS = 8;

// A graph and its model. The visits share their marks, as a caller would.
struct GraphUnderTest {
    std::optional<Graph> graph;
    model::GraphRecord model;
    std::unordered_set<Node*> visited;
    std::set<size_t> model_visited;

    void reset() {
        // The model lets go of the bodies first: they die with the graph.
        model.clear();
        visited.clear();
        model_visited.clear();
        graph.reset();
        graph.emplace();
    }
    Node* record(std::string name, std::vector<Tensor> inputs, Tensor output) {
        Node* node = model.record(*graph, std::move(name), std::move(inputs), std::move(output));
        FUZZ_CHECK(node != nullptr && node->id == static_cast<int32_t>(model.entries().size() - 1),
                   "node ids follow recording order");
        return node;
    }
};

// Allocation states the model expects, by storage. Storages are kept alive
// by the entries' handles while the model looks at them.
struct Allocations {
    using Entry = std::pair<std::weak_ptr<Storage>, bool>;
    std::map<const Storage*, Entry> state;

    const Entry& known(const Tensor& t) const {
        const auto it = state.find(t.storage().get());
        FUZZ_CHECK(it != state.end() && it->second.first.lock() == t.storage(), "the model knows every storage");
        return it->second;
    }

    void born(const Tensor& t) {
        const auto& s = t.storage();
        auto& entry = state[s.get()];
        if (entry.first.lock() != s) entry = {s, s->numel() == 0 || s->data() != nullptr};
    }
    bool expected(const Tensor& t) const { return known(t).second; }
    void set(const Tensor& t) {
        (void)known(t);
        state[t.storage().get()].second = true;
    }
    // What allocating t's storage does: nothing when it has memory (or needs
    // none), fail off the CPU, else take the memory.
    Outcome allocate(const Tensor& t) {
        if (expected(t)) return Outcome::ok();
        if (t.device() != Device::CPU)
            return Outcome::error<std::runtime_error>("Buffer: only CPU device is implemented");
        set(t);
        return Outcome::ok();
    }
};

Tensor empty_handle() {
    Tensor t(Shape(), Dtype::FLOAT32, Device::CPU, false);
    Tensor taken = std::move(t);
    return t;  // NOLINT(bugprone-use-after-move): an empty handle is the point
}

const std::vector<uint64_t> SHAPES[] = {{2, 3}, {6}, {0, 3}, {}, {1}};

class Program {
public:
    explicit Program(FuzzedDataProvider& in) : in_(in) {
        for (auto& g : graphs_) g.reset();
    }

    void run() {
        bool bulk_done = false;
        for (int step = 0; step < 64 && in_.remaining_bytes() > 0; ++step) {
            switch (in_.ConsumeIntegralInRange<int>(0, 11)) {
                case 0: make(); break;
                case 1: lazy_add(); break;
                case 2: record_by_hand(); break;
                case 3: view(); break;
                case 4: alias(); break;
                case 5: allocate(); break;
                case 6: schedule_and_run(); break;
                case 7: visit(); break;
                case 8: slot() = std::nullopt; break;
                case 9: graph().reset(); break;
                case 10: find(); break;
                case 11:
                    // Rare by design: a few milliseconds, where every other step takes microseconds.
                    if (!bulk_done && in_.ConsumeIntegral<uint16_t>() == 0xB01C) {
                        bulk();
                        bulk_done = true;
                    }
                    break;
            }
            check_allocations();
            if (!bulk_done) check_producers();
        }
    }

private:
    std::optional<Tensor>& slot() { return slots_[in_.ConsumeIntegralInRange<size_t>(0, SLOTS - 1)]; }
    GraphUnderTest& graph() { return graphs_[in_.ConsumeBool() ? 1 : 0]; }
    // A slot's tensor with a body, or none.
    const Tensor* operand() {
        const auto& s = slot();
        return s && s->impl() ? &*s : nullptr;
    }
    // Any slot's handle, empty ones included; an empty handle for an empty slot.
    Tensor any_handle() {
        const auto& s = slot();
        return s ? *s : empty_handle();
    }
    void keep(std::optional<Tensor>& where, Tensor t) {
        if (t.impl()) allocations_.born(t);
        where = std::move(t);
    }

    void make() {
        const auto& shape = in_.PickValueInArray(SHAPES);
        const Dtype dtype = in_.ConsumeBool() ? Dtype::FLOAT32 : Dtype::INT64;
        const Device device = in_.ConsumeIntegralInRange<int>(0, 7) == 0 ? Device::CUDA : Device::CPU;
        const bool now = device == Device::CPU && in_.ConsumeBool();
        keep(slot(), Tensor(Shape(shape), dtype, device, now));
    }

    void lazy_add() {
        const Tensor* a = operand();
        const Tensor* b = operand();
        GraphUnderTest& g = graph();
        auto& out = slot();
        if (a == nullptr || b == nullptr) return;
        // The add's checks, in its order; a refused add records nothing.
        Outcome refusal;
        if (a->dtype() != b->dtype()) {
            refusal = Outcome::error<std::invalid_argument>("add: dtype mismatch");
        } else if (a->device() != b->device()) {
            refusal = Outcome::error<std::invalid_argument>("add: device mismatch");
        } else if (entries(a->shape()).size() != entries(b->shape()).size()) {
            refusal = Outcome::error<std::invalid_argument>("add: rank mismatch");
        } else if (entries(a->shape()) != entries(b->shape())) {
            refusal = Outcome::error<std::invalid_argument>("add: shape mismatch");
        }
        if (!refusal.succeeds()) {
            matches(
                refusal, [&] { add(*a, *b); }, "add refused");
            return;
        }
        // The result as the add makes it, handed over whole as the add does.
        Tensor result(a->shape(), a->dtype(), a->device(), false);
        FUZZ_CHECK(!result.allocated() || result.numel() == 0, "a pending result has no memory");
        allocations_.born(result);
        out = g.record("ADD", {*a, *b}, std::move(result))->output;
    }

    // Any inputs (also empty handles, also the output itself), and as output
    // a fresh pending body, an empty handle, or any slot's body: a body seen
    // before makes the graph mend the producers it keeps for the walks.
    void record_by_hand() {
        GraphUnderTest& g = graph();
        std::vector<Tensor> inputs;
        const int count = in_.ConsumeIntegralInRange<int>(0, 3);
        for (int i = 0; i < count; ++i) inputs.push_back(any_handle());
        Tensor output = empty_handle();
        switch (in_.ConsumeIntegralInRange<int>(0, 2)) {
            case 0: output = Tensor(Shape(in_.PickValueInArray(SHAPES)), Dtype::FLOAT32, Device::CPU, false); break;
            case 1: output = any_handle(); break;
            default: break;
        }
        if (output.impl()) allocations_.born(output);
        auto& out = slot();
        // Handed over whole or still held by the caller, which the graph treats apart.
        const bool hand_over = in_.ConsumeBool();
        Node* node = g.record("NODE", std::move(inputs), hand_over ? std::move(output) : output);
        if (node->output.impl()) out = node->output;
    }

    void view() {
        const Tensor* a = operand();
        auto& out = slot();
        if (a == nullptr) return;
        Tensor v = in_.ConsumeBool() ? a->view({-1}) : a->reshape(entries_signed(a->shape()));
        FUZZ_CHECK(v.storage() == a->storage() && v.impl() != a->impl(), "a view shares the storage, not the body");
        keep(out, std::move(v));
    }

    // A copy of the handle, or contiguous(), which is the very body.
    void alias() {
        const Tensor* a = operand();
        auto& out = slot();
        if (a == nullptr) return;
        Tensor copy = in_.ConsumeBool() ? *a : a->contiguous();
        FUZZ_CHECK(copy.impl() == a->impl(), "contiguous() of a contiguous tensor is its body");
        out = std::move(copy);
    }

    void allocate() {
        const Tensor* a = operand();
        if (a == nullptr) return;
        Tensor t = *a;
        matches(
            allocations_.allocate(t), [&] { t.allocate(); }, "allocate");
    }

    void schedule_and_run() {
        GraphUnderTest& g = graph();
        const Tensor t = any_handle();
        const std::vector<Node*> want = g.model.schedule(t.impl().get());
        Executor executor;
        executor.schedule(*g.graph, t);
        FUZZ_CHECK(executor.order() == want, "schedule of " + std::to_string(want.size()) + " nodes, got " +
                                                 std::to_string(executor.order().size()));
        // Running allocates the outputs in order and stops at the first failure.
        Outcome expected;
        for (Node* node : want) {
            if (!node->output.impl()) continue;
            expected = allocations_.allocate(node->output);
            if (!expected.succeeds()) break;
        }
        matches(
            expected, [&] { executor.run(); }, "run");
    }

    void visit() {
        GraphUnderTest& g = graph();
        const Tensor t = any_handle();
        const std::optional<size_t> p = g.model.producer(t.impl().get());
        if (!p) return;
        std::vector<Node*> want;
        if (g.model_visited.count(*p) == 0) g.model.post_order(*p, g.model_visited, want);
        Executor executor;
        executor.visit(*g.graph, g.model.entries()[*p].node, g.visited);
        FUZZ_CHECK(executor.order() == want, "visit appends the unvisited ancestry");
    }

    void find() {
        GraphUnderTest& g = graph();
        const Tensor t = any_handle();
        FUZZ_CHECK(g.graph->find(t) == g.model.producer_node(t.impl().get()), "find");
    }

    // Enough nodes to fill more than one chunk: each result is an operand of
    // the next only every 64th node, so the ancestry stays shallow.
    void bulk() {
        const Tensor* a = operand();
        GraphUnderTest& g = graph();
        auto& out = slot();
        if (a == nullptr) return;
        const Tensor base = *a;
        Tensor last = base;
        const int count = 20000 + in_.ConsumeIntegralInRange<int>(0, 2000);
        for (int i = 0; i < count; ++i) {
            Tensor result(base.shape(), base.dtype(), base.device(), false);
            allocations_.born(result);
            last = g.record("ADD", {i % 64 == 0 ? last : base, base}, std::move(result))->output;
        }
        out = last;
        // Every output still knows its producer, across the chunks.
        for (const auto& entry : g.model.entries()) {
            if (entry.output != nullptr)
                FUZZ_CHECK(g.graph->find(entry.node->output) == g.model.producer_node(entry.output), "find after bulk");
        }
    }

    static std::vector<long long> entries_signed(const Shape& shape) {
        std::vector<long long> out;
        for (uint64_t d : entries(shape)) out.push_back(static_cast<long long>(d));
        return out;
    }

    void check_allocations() const {
        for (const auto& s : slots_) {
            if (!s || !s->impl()) continue;
            FUZZ_CHECK(s->allocated() == allocations_.expected(*s), "allocation state");
        }
    }

    void check_producers() const {
        for (const auto& g : graphs_) {
            for (const auto& entry : g.model.entries()) {
                if (entry.output == nullptr) continue;
                FUZZ_CHECK(g.graph->find(entry.node->output) == g.model.producer_node(entry.output),
                           "producer of a recorded output");
            }
        }
        for (const auto& s : slots_) {
            if (!s) continue;
            for (const auto& g : graphs_) {
                FUZZ_CHECK(g.graph->find(*s) == g.model.producer_node(s->impl().get()), "producer of a held tensor");
            }
        }
    }

    FuzzedDataProvider& in_;
    Allocations allocations_;
    std::array<GraphUnderTest, 2> graphs_;
    std::array<std::optional<Tensor>, SLOTS> slots_;
};

}  // namespace
}  // namespace quarnel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    quarnel::fuzz::Program(in).run();
    return 0;
}
