#pragma once

#include <memory>
#include <string>

#include "collect/disk_samples.hpp"

// What every rendering of the exposition needs: the metric-name prefix, the
// build's revision and the GEOM statistics, opened once for the process.
class Exporter {
public:
    Exporter(std::string prefix, std::string version);
    ~Exporter();
    Exporter(const Exporter&) = delete;
    Exporter& operator=(const Exporter&) = delete;

    // A fresh reading of every source as one exposition text.
    std::string render();

private:
    std::string prefix;
    std::string version;
    std::unique_ptr<GeomStatsHandle> disk_stats;
};
