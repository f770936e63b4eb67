#pragma once

#include <memory>
#include <string>
#include <vector>

#include "collect/disk_samples.hpp"
#include "collect/interface_samples.hpp"

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
    // The same text appended to `text`: a caller that keeps its string from
    // one scrape to the next renders into storage that is already there.
    void render_into(std::string& text);

private:
    std::string prefix;
    std::string version;
    std::unique_ptr<GeomStatsHandle> disk_stats;
    // Refilled by every rendering; kept only so that their storage is reused.
    std::vector<DiskSample> disks;
    std::vector<InterfaceSample> interfaces;
};
