// One rendering of the exposition, with this host's kernel behind the Linux
// layer: what a scrape costs before any networking.

#include <benchmark/benchmark.h>

#include "render_loop.hpp"

namespace {

void render_with_linux_layer(benchmark::State& state)
{
    measure_render(state);
}
// Registered as BENCHMARK() would, without its __COUNTER__, which newer clang
// warns about in our files as an extension.
benchmark::internal::Benchmark* const registered [[maybe_unused]] =
    benchmark::RegisterBenchmark("render_with_linux_layer", render_with_linux_layer)
        ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
