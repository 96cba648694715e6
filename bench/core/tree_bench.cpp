// Building, copying, printing and destroying two million-node trees: a chain
// of nested Maximize nodes (deep) and a NumOf of Depends nodes (wide). Each
// reports ns_per_node; the node sizes are printed in the context header. A
// copy shares the root, so its time per node is next to nothing; destruction
// is timed on a fresh tree that nothing else shares.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "package/constraint/tree.hpp"

namespace {

namespace c = kelto::package::constraint;
using c::Constraint;

constexpr std::size_t kNodes = 1'000'000;

Constraint build_deep_chain() {
    Constraint chain{c::DependsPayload{"leaf"}};
    for (std::size_t i = 1; i < kNodes; ++i) chain = Constraint{c::MaximizePayload{std::move(chain)}};
    return chain;
}

Constraint build_wide_num_of() {
    std::vector<Constraint> of;
    of.reserve(kNodes - 1);
    for (std::size_t i = 1; i < kNodes; ++i) of.emplace_back(c::DependsPayload{"d" + std::to_string(i)});
    return Constraint{c::NumOfPayload{std::move(of)}};
}

Constraint build(const benchmark::State& state) {
    return state.range(0) == 0 ? build_deep_chain() : build_wide_num_of();
}

/// The tree of the benchmark's shape, built once.
const Constraint& shape(const benchmark::State& state) {
    static const Constraint deep = build_deep_chain();
    static const Constraint wide = build_wide_num_of();
    return state.range(0) == 0 ? deep : wide;
}

using Clock = std::chrono::steady_clock;

/// Times only `measured` in each iteration, with `prepare` and `finish` left
/// out, and reports the time per node. Manual timing, not PauseTiming: a
/// pause costs microseconds of its own and skews nothing here, but the time
/// per node is best read off one clock.
template <class Prepare, class Measured, class Finish>
void run(benchmark::State& state, Prepare prepare, Measured measured, Finish finish) {
    double total_ns = 0;
    for (auto _ : state) {
        auto input = prepare();
        const auto start = Clock::now();
        auto output = measured(std::move(input));
        const auto stop = Clock::now();
        const std::chrono::duration<double, std::nano> elapsed = stop - start;
        state.SetIterationTime(elapsed.count() * 1e-9);
        total_ns += elapsed.count();
        finish(std::move(output));
    }
    state.SetLabel(state.range(0) == 0 ? "Maximize chain" : "NumOf of Depends");
    state.counters["ns_per_node"] = total_ns / (static_cast<double>(state.iterations()) * kNodes);
}

/// Times making a tree with `make`; letting go of it is left out.
template <class Make>
void time_making(benchmark::State& state, Make make) {
    run(
        state, [] { return 0; },
        [&](int) {
            std::optional<Constraint> tree{make()};
            benchmark::DoNotOptimize(*tree);
            return tree;
        },
        [](std::optional<Constraint> tree) { tree.reset(); });
}

void BM_build(benchmark::State& state) {
    time_making(state, [&] { return build(state); });
}

void BM_copy(benchmark::State& state) {
    const Constraint& tree = shape(state);
    time_making(state, [&] { return tree; });
}

void BM_text(benchmark::State& state) {
    const Constraint& tree = shape(state);
    run(
        state, [] { return 0; },
        [&](int) {
            std::string text = c::constraint_text(tree);
            benchmark::DoNotOptimize(text);
            return text;
        },
        [](std::string) {});
}

void BM_destroy(benchmark::State& state) {
    run(
        state, [&] { return std::optional<Constraint>{build(state)}; },
        [](std::optional<Constraint> tree) {
            tree.reset();
            benchmark::ClobberMemory();
            return 0;
        },
        [](int) {});
}

BENCHMARK(BM_build)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_copy)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_text)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_destroy)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The node sizes, printed once in the header of the run.
[[maybe_unused]] const bool kSizesReported = [] {
    const std::pair<const char*, std::size_t> sizes[] = {
        {"sizeof(Constraint)", sizeof(Constraint)},
        {"sizeof(CmpPayload)", sizeof(c::CmpPayload)},
        {"sizeof(DependsPayload)", sizeof(c::DependsPayload)},
        {"sizeof(IfThenPayload)", sizeof(c::IfThenPayload)},
        {"sizeof(MaximizePayload)", sizeof(c::MaximizePayload)},
        {"sizeof(MinimizePayload)", sizeof(c::MinimizePayload)},
        {"sizeof(NumOfPayload)", sizeof(c::NumOfPayload)},
        {"sizeof(SpecOptionPayload)", sizeof(c::SpecOptionPayload)},
        {"sizeof(ValuePayload)", sizeof(c::ValuePayload)},
    };
    for (const auto& [name, size] : sizes) benchmark::AddCustomContext(name, std::to_string(size));
    return true;
}();

}  // namespace
