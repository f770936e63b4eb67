// One rendering of the exposition, with this host's kernel behind the Linux
// layer: what a scrape costs before any networking.

#include <benchmark/benchmark.h>

#include "app/exporter.hpp"

namespace {

void render_with_linux_layer(benchmark::State& state)
{
    Exporter exporter("kelmar_host", "00000000");
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = exporter.render();
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(render_with_linux_layer)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
