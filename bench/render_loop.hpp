#pragma once

// The measured loop both render benchmarks share; they differ only in the
// kernel linked behind the readers.

#include <benchmark/benchmark.h>

#include <string>

#include "app/exporter.hpp"

inline void measure_render(benchmark::State& state)
{
    // As the server renders: into one string kept from scrape to scrape.
    Exporter exporter("kelmar_host", "00000000");
    std::string text;
    for (auto _ : state) {
        text.clear();
        exporter.render_into(text);
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(text.size());
}
