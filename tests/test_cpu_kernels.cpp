// The vectorised, multi-threaded CPU path gives the same bits as the per-particle functions
// called one particle at a time.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "kernels/cpu_kernels.h"
#include "sim/constants.h"
#include "sim/initial_conditions.h"

#ifdef _OPENMP
#include <omp.h>
#endif

namespace lumeth {
namespace {

// A generated galaxy with a few records placed where the arithmetic takes its rare branches.
std::vector<Particle> test_galaxy(int count) {
    std::vector<Particle> particles(count);
    generate_galaxy(particles.data(), count, 99u + count);
    const Particle special[] = {
        {{3e14, 1e14, -5e13}, {1e6, -2e5, 3e5}, {}, kSolarMass},  // inner zone
        {{0, 0, 0}, {1e5, 0, 0}, {}, kSolarMass},                 // at the centre
        {{0, 0, 2e14}, {0, 0, -1e6}, {}, kSolarMass},             // on the axis
        {{kInnerZoneRadius, 0, 0}, {0, 0, 0}, {}, kSolarMass},    // on the boundary
    };
    for (int k = 0; k < 4 && 2 * k + 1 < count; ++k) {
        particles[2 * k + 1] = special[k];
    }
    return particles;
}

bool same_bytes(const std::vector<Particle>& a, const std::vector<Particle>& b) {
    return std::memcmp(a.data(), b.data(), a.size() * sizeof(Particle)) == 0;
}

// Bit-for-bit equality of every field, except that any two NaNs count as equal: which NaN
// operand an instruction propagates (and so its sign and payload) is not part of IEEE
// arithmetic, and the vector and scalar instructions choose differently.
bool same_values(const std::vector<Particle>& a, const std::vector<Particle>& b) {
    const double* x = &a[0].position[0];
    const double* y = &b[0].position[0];
    for (size_t k = 0; k < a.size() * 10; ++k) {
        const bool both_nan = std::isnan(x[k]) && std::isnan(y[k]);
        if (!both_nan && std::memcmp(&x[k], &y[k], sizeof(double)) != 0) {
            return false;
        }
    }
    return true;
}

TEST(CpuPath, ForcesMatchTheReferenceBitForBit) {
    const int width = cpu_simd_width();
    // Remainders of the SIMD width and of the two-block groups, and of the sampling stride.
    for (int count : {1, 2, 3, width - 1, width, width + 1, 2 * width - 1, 2 * width, 2 * width + 1,
                      999, 1000, 1001, 1002, 2003, 4099, 10007}) {
        if (count < 1) {
            continue;
        }
        std::vector<Particle> fast = test_galaxy(count);
        std::vector<Particle> reference = fast;
        compute_forces_cpu(fast.data(), count, 0, 0, 0);
        compute_forces_reference(reference.data(), count, 0, 0, 0);
        EXPECT_TRUE(same_bytes(fast, reference)) << "count " << count;
    }
}

TEST(CpuPath, ForcesMatchForEveryThreadCount) {
#ifdef _OPENMP
    const int threads = omp_get_max_threads();
    std::vector<Particle> reference = test_galaxy(3001);
    compute_forces_reference(reference.data(), 3001, 1e17, -2e17, 0);
    for (int n : {1, 2, 3, 7}) {
        omp_set_num_threads(n);
        std::vector<Particle> fast = test_galaxy(3001);
        compute_forces_cpu(fast.data(), 3001, 1e17, -2e17, 0);
        EXPECT_TRUE(same_bytes(fast, reference)) << n << " threads";
    }
    omp_set_num_threads(threads);
#else
    GTEST_SKIP() << "built without OpenMP";
#endif
}

TEST(CpuPath, NonFiniteValuesPassThroughLikeTheReference) {
    std::vector<Particle> fast = test_galaxy(2001);
    fast[5].position[0] = std::numeric_limits<double>::quiet_NaN();
    fast[1000].velocity[1] = std::numeric_limits<double>::infinity();  // a sampled record
    std::vector<Particle> reference = fast;
    compute_forces_cpu(fast.data(), 2001, 0, 0, 0);
    compute_forces_reference(reference.data(), 2001, 0, 0, 0);
    EXPECT_FALSE(same_bytes(reference, test_galaxy(2001)));
    EXPECT_TRUE(same_values(fast, reference));
    EXPECT_FALSE(std::isfinite(fast[7].acceleration[0]));  // every record feels record 1000
    EXPECT_TRUE(std::isnan(fast[5].acceleration[0]));
}

TEST(CpuPath, IntegrationMatchesTheReferenceBitForBit) {
    for (int count : {1, 255, 256, 257, 10007}) {
        std::vector<Particle> fast = test_galaxy(count);
        compute_forces_reference(fast.data(), count, 0, 0, 0);
        std::vector<Particle> reference = fast;
        integrate_cpu(fast.data(), count, kTimeStep);
        integrate_reference(reference.data(), count, kTimeStep);
        EXPECT_TRUE(same_bytes(fast, reference)) << "count " << count;
    }
}

}  // namespace
}  // namespace lumeth
