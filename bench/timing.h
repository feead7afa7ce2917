// How lumeth-bench times a piece of work on the host: one warm-up run, then timed runs.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

namespace lumeth::bench {

// One warm-up run and then `runs` timed runs of `work`, each after `setup` (not timed).
// Milliseconds from the steady clock, one sample per timed run.
template <typename Setup, typename Work>
std::vector<double> time_runs(int runs, Setup setup, Work work) {
    std::vector<double> samples;
    for (int run = 0; run <= runs; ++run) {
        setup();
        const auto start = std::chrono::steady_clock::now();
        work();
        const auto stop = std::chrono::steady_clock::now();
        if (run > 0) {
            samples.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
        }
    }
    return samples;
}

// The median of the samples; NaN for none.
inline double median(std::vector<double> samples) {
    if (samples.empty()) {
        return NAN;
    }
    std::sort(samples.begin(), samples.end());
    const std::size_t mid = samples.size() / 2;
    return samples.size() % 2 != 0 ? samples[mid] : 0.5 * (samples[mid - 1] + samples[mid]);
}

}  // namespace lumeth::bench
