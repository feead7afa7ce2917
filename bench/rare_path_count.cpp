// lumeth-rare-path-count: how often the fma division's exact test sends results to the divider
// on the benchmark's galaxy. A counting build of the CPU loops (cpu_level.cpp compiled once
// more with LUMETH_COUNT_RARE_PATH, at the level its flags name) runs one force pass with the
// fma division, on one thread, and tallies every checked vector: its results, the lanes that
// failed the test, and why each failed (a result of zero, a power of two, one outside the
// normal range or the bound's window, or one too near a midpoint between two doubles).
// A measuring tool only: built on request (not by default), never part of the programs.
//
//   lumeth-rare-path-count [count]    (default 100000)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "count_measurement.h"
#include "kernels/cpu_level.h"
#include "sim/initial_conditions.h"

#ifdef _OPENMP
#include <omp.h>
#endif

namespace lumeth {

namespace cpu_levels {
extern const CpuLevelKernels LUMETH_CPU_LEVEL;
}

namespace {

struct Tally {
    long long vectors = 0;
    long long vectors_failing = 0;
    long long results = 0;
    long long zero = 0;
    long long power_of_two = 0;
    long long outside = 0;  // subnormal, infinite, NaN, or a bound below the normal range
    long long near_midpoint = 0;
};

Tally& tally() {
    static Tally counts;
    return counts;
}

}  // namespace

void count_checked_lanes(const double* results, unsigned failed, int lanes) {
    Tally& t = tally();
    t.vectors += 1;
    t.results += lanes;
    t.vectors_failing += failed != 0 ? 1 : 0;
    for (int k = 0; k < lanes; ++k) {
        if ((failed >> k & 1u) == 0) {
            continue;
        }
        const double v = std::fabs(results[k]);
        int exponent = 0;
        if (v == 0.0) {
            t.zero += 1;
        } else if (!std::isnormal(v) || v < 0x1p-960 || v > 0x1p1000) {
            t.outside += 1;
        } else if (std::frexp(v, &exponent) == 0.5) {
            t.power_of_two += 1;
        } else {
            t.near_midpoint += 1;
        }
    }
}

}  // namespace lumeth

int main(int argc, char** argv) {
    using namespace lumeth;
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    if (count < 1 || count > 10000000) {
        std::fprintf(stderr, "lumeth-rare-path-count: a count of 1 to 10000000, got '%s'\n",
                     argv[1]);
        return 2;
    }
#ifdef _OPENMP
    omp_set_num_threads(1);  // the tally is not shared between threads
#endif
    const CpuLevelKernels& level = cpu_levels::LUMETH_CPU_LEVEL;
    std::vector<Particle> galaxy(count);
    generate_galaxy(galaxy.data(), count, bench::kSeed);
    level.compute_forces_fma(galaxy.data(), count, 0.0, 0.0, 0.0, 0, 1 << 30, nullptr);
    const Tally& t = tally();
    const long long failed = t.zero + t.power_of_two + t.outside + t.near_midpoint;
    std::printf("%s level, %d particles (seed %u), one force pass with the fma division\n",
                level.name, count, bench::kSeed);
    std::printf("checked vectors: %lld of %d results; with a lane failing: %lld (%.3g%%)\n",
                t.vectors, level.simd_width, t.vectors_failing,
                t.vectors > 0 ? 100.0 * static_cast<double>(t.vectors_failing) /
                                    static_cast<double>(t.vectors)
                              : 0.0);
    std::printf(
        "results checked: %lld; failing: %lld (%.3g per million)\n", t.results, failed,
        t.results > 0 ? 1e6 * static_cast<double>(failed) / static_cast<double>(t.results) : 0.0);
    std::printf(
        "  zero: %lld, power of two: %lld, outside the window: %lld, near a midpoint: "
        "%lld\n",
        t.zero, t.power_of_two, t.outside, t.near_midpoint);
    return 0;
}
