#pragma once

// The measured loop both render benchmarks share; they differ only in the
// kernel linked behind the readers.

#include <benchmark/benchmark.h>

#include <string>

#include "app/exporter.hpp"

inline void measure_render(benchmark::State& state)
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
