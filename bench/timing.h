// How lumeth-bench times a piece of work on the host: one warm-up run, then timed runs.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace lumeth::bench {

// A phase whose runs add up to at least this long reports its progress on standard error:
// at 10 million particles the single-threaded force pass alone takes about half an hour.
constexpr double kLongPhaseMs = 10000.0;

// A duration for the progress messages, in seconds, minutes or hours.
inline std::string duration_text(double ms) {
    char text[32];
    if (ms < 60e3) {
        std::snprintf(text, sizeof text, "%.1f s", ms / 1e3);
    } else if (ms < 3600e3) {
        std::snprintf(text, sizeof text, "%.1f min", ms / 60e3);
    } else {
        std::snprintf(text, sizeof text, "%.1f h", ms / 3600e3);
    }
    return text;
}

// One warm-up run and then `runs` timed runs of `work`, each after `setup` (not timed).
// `what` names the phase in the progress messages on standard error: when `estimate_ms` (one
// run's expected time, or NaN) says the runs add up to kLongPhaseMs or more, the estimate
// first; then, while the runs measured so far say so, one line per run with the time left.
// Milliseconds from the steady clock, one sample per timed run.
template <typename Setup, typename Work>
std::vector<double> time_runs(const std::string& what, int runs, double estimate_ms, Setup setup,
                              Work work) {
    if (estimate_ms * (runs + 1) >= kLongPhaseMs) {
        std::fprintf(stderr,
                     "lumeth-bench: %s: about %s per run, %s for 1 warm-up and %d timed run%s\n",
                     what.c_str(), duration_text(estimate_ms).c_str(),
                     duration_text(estimate_ms * (runs + 1)).c_str(), runs, runs == 1 ? "" : "s");
    }
    std::vector<double> samples;
    double elapsed_ms = 0.0;
    for (int run = 0; run <= runs; ++run) {
        setup();
        const auto start = std::chrono::steady_clock::now();
        work();
        const auto stop = std::chrono::steady_clock::now();
        const double ms = std::chrono::duration<double, std::milli>(stop - start).count();
        if (run > 0) {
            samples.push_back(ms);
        }
        elapsed_ms += ms;
        const double left_ms = elapsed_ms / (run + 1) * (runs - run);
        if (elapsed_ms + left_ms >= kLongPhaseMs) {
            const std::string done =
                run == 0 ? "warm-up" : "run " + std::to_string(run) + " of " + std::to_string(runs);
            std::fprintf(stderr, "lumeth-bench: %s: %s took %s", what.c_str(), done.c_str(),
                         duration_text(ms).c_str());
            if (run < runs) {
                std::fprintf(stderr, ", about %s left", duration_text(left_ms).c_str());
            }
            std::fprintf(stderr, "\n");
        }
    }
    return samples;
}

// A floor is timed in batches that last at least this long, so that the clock's resolution
// and a single run's noise do not set it.
constexpr double kFloorBatchMs = 5.0;

// One warm-up run of `work`, then `runs` samples of it: each sample repeats `work` until the
// batch has lasted kFloorBatchMs (at least once) and is the batch's time per run.
template <typename Work>
std::vector<double> time_floor_runs(int runs, Work work) {
    using Clock = std::chrono::steady_clock;
    work();
    std::vector<double> samples;
    for (int run = 0; run < runs; ++run) {
        const auto start = Clock::now();
        double ms = 0.0;
        long long repeats = 0;
        do {
            work();
            ++repeats;
            ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        } while (ms < kFloorBatchMs);
        samples.push_back(ms / static_cast<double>(repeats));
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

// A floor's time per run: the median of `work` timed in batches, less its call's own overhead
// (the same call with no work, `idle`, timed likewise): starting and joining the threads costs
// the floor more than some figures it bounds (more barriers, and under wine each is slow), and
// only the work itself is a bound on every figure that does the same work.
struct FloorTime {
    double ms;           // the work alone
    double overhead_ms;  // what was taken off
};

template <typename Work, typename Idle>
FloorTime time_floor(int runs, Work work, Idle idle) {
    const double overhead_ms = median(time_floor_runs(runs, idle));
    const double total_ms = median(time_floor_runs(runs, work));
    return {std::max(0.0, total_ms - overhead_ms), overhead_ms};
}

}  // namespace lumeth::bench
