#include "collect/scalar_readings.hpp"

#include <cstdlib>

bool read_load_averages(LoadAverages& load)
{
    double averages[3] = {};
    if (getloadavg(averages, 3) != 3)
        return false;
    load.load1 = averages[0];
    load.load5 = averages[1];
    load.load15 = averages[2];
    return true;
}
