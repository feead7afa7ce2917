// The vectorised, multi-threaded CPU path gives the same bits as the per-particle functions
// called one particle at a time, at every instruction-set level this build has and this CPU
// runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernels/cpu_kernels.h"
#include "sim/constants.h"
#include "sim/initial_conditions.h"

#ifdef _OPENMP
#include <omp.h>
#endif

namespace lumeth {
namespace {

// A generated galaxy with every tenth record moved into the inner zone (where the per-lane
// relativistic model runs, with products and sums a compiler could fuse on its own) and a few
// records placed where the arithmetic takes its rare branches.
std::vector<Particle> test_galaxy(int count) {
    std::vector<Particle> particles(count);
    generate_galaxy(particles.data(), count, 99u + count);
    std::mt19937_64 random(7u + count);
    std::uniform_real_distribution<double> unit(-0.57, 0.57);  // |(x, y, z)| < 1
    for (int i = 0; i < count; i += 10) {
        Particle& p = particles[i];
        for (int k = 0; k < 3; ++k) {
            p.position[k] = kInnerZoneRadius * unit(random);
            p.velocity[k] = 1e6 * unit(random);
        }
    }
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

// Every test below runs once per level, the CPU path switched to that level.
class CpuPath : public testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        previous_ = cpu_instruction_set();
        ASSERT_TRUE(use_cpu_instruction_set(GetParam()));
        ASSERT_STREQ(GetParam(), cpu_instruction_set());
    }
    void TearDown() override { use_cpu_instruction_set(previous_); }

  private:
    const char* previous_ = nullptr;
};

// Particles per SIMD block of each level: a level compiled without its -march flag shows here.
int expected_width(const std::string& level) {
    if (level == "x86-64") {
        return 2;  // SSE2
    }
    if (level == "x86-64-v3") {
        return 4;  // AVX2
    }
    if (level == "x86-64-v4") {
        return 8;  // AVX-512
    }
    return 0;  // native or generic: whatever the build's flags give
}

TEST(CpuLevels, TheBestLevelRunsByDefaultAndOnlyLevelsThisCpuRunsAreTaken) {
    const std::vector<const char*> levels = supported_cpu_instruction_sets();
    ASSERT_FALSE(levels.empty());
    const char* requested = std::getenv("LUMETH_CPU_LEVEL");
    if (requested == nullptr || *requested == '\0') {
        EXPECT_STREQ(levels.back(), cpu_instruction_set());
    }
    const std::string in_use = cpu_instruction_set();
    for (const char* refused : {"bogus", "", "X86-64", "x86-64-v5"}) {
        EXPECT_FALSE(use_cpu_instruction_set(refused)) << "'" << refused << "'";
        EXPECT_EQ(in_use, cpu_instruction_set());
    }
#if defined(__x86_64__) || defined(_M_X64)
    for (const char* level : {"x86-64", "x86-64-v3", "x86-64-v4"}) {
        bool listed = false;
        for (const char* supported : levels) {
            listed = listed || std::string(supported) == level;
        }
        // A level this build has but the CPU cannot run is refused like an unknown one.
        EXPECT_EQ(listed, use_cpu_instruction_set(level)) << level;
        if (listed) {
            EXPECT_STREQ(level, cpu_instruction_set());
            EXPECT_EQ(expected_width(level), cpu_simd_width()) << level;
        }
    }
#endif
    EXPECT_TRUE(use_cpu_instruction_set(in_use.c_str()));
}

TEST_P(CpuPath, ForcesMatchTheReferenceBitForBit) {
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

TEST_P(CpuPath, ForcesMatchForEveryThreadCount) {
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

TEST_P(CpuPath, NonFiniteValuesPassThroughLikeTheReference) {
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

TEST_P(CpuPath, IntegrationMatchesTheReferenceBitForBit) {
    for (int count : {1, 255, 256, 257, 10007}) {
        std::vector<Particle> fast = test_galaxy(count);
        compute_forces_reference(fast.data(), count, 0, 0, 0);
        std::vector<Particle> reference = fast;
        integrate_cpu(fast.data(), count, kTimeStep);
        integrate_reference(reference.data(), count, kTimeStep);
        EXPECT_TRUE(same_bytes(fast, reference)) << "count " << count;
    }
}

// Test names carry the level, e.g. CpuPath/Level.ForcesMatchTheReferenceBitForBit/x86_64_v3.
std::string level_name(const testing::TestParamInfo<const char*>& info) {
    std::string name = info.param;
    for (char& c : name) {
        c = c == '-' ? '_' : c;
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Level, CpuPath, testing::ValuesIn(supported_cpu_instruction_sets()),
                         level_name);

}  // namespace
}  // namespace lumeth
