// The benchmarks' clock, their statistics and the "name value unit baseline ratio" line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// CLOCK_MONOTONIC in microseconds, the clock of pellion-send's --trace.
int64_t NowUs();

// Nearest rank; 0 for no values.
double Percentile(std::vector<double> v, double p);
inline double Median(std::vector<double> v) { return Percentile(std::move(v), 50); }

// The median of repeated runs' figures, or -1 when a run failed (not positive): a run that lost
// frames fails the figure rather than pulling it down. -1 for no runs.
double MedianOfRuns(const std::vector<double>& runs);

// The values from `warm_up` on, those not measured (-1) left out.
std::vector<double> After(const std::vector<double>& v, size_t warm_up);

// "name value unit baseline ratio", the ratio 0 without a baseline; flushed at once.
void Line(const std::string& name, double value, const char* unit, double baseline);

}  // namespace bench
