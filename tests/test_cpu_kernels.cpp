// The vectorised, multi-threaded CPU path gives the same bits as the per-particle functions
// called one particle at a time, at every instruction-set level this build has and this CPU
// runs, with either division: the divider's or the fused multiply-adds'.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kernels/cpu_kernels.h"
#include "sim/constants.h"
#include "sim/float_bits.h"
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

// Particles far outside the galaxy's ranges: positions, speeds and masses with exponents
// from 10^-range to 10^range (up to 290: quotients and roots then leave the fast path's
// exponent window in every direction), and records that sit on sampled records, with and
// without their speed.
std::vector<Particle> far_out_particles(int count, double range) {
    std::vector<Particle> particles(count);
    std::mt19937_64 random(2024u + count);
    std::uniform_real_distribution<double> exponent(-range, range);
    std::uniform_real_distribution<double> sign(-1.0, 1.0);
    auto wide = [&] { return (sign(random) < 0 ? -1.0 : 1.0) * std::pow(10.0, exponent(random)); };
    for (Particle& p : particles) {
        for (int k = 0; k < 3; ++k) {
            p.position[k] = wide();
            p.velocity[k] = wide();
        }
        p.mass = std::fabs(wide());
    }
    for (int i = 1; i < count; i += 7) {  // on a sampled record
        const Particle& sampled = particles[(i / 1000) * 1000];
        std::memcpy(particles[i].position, sampled.position, sizeof sampled.position);
        if (i % 2 == 1) {
            std::memcpy(particles[i].velocity, sampled.velocity, sizeof sampled.velocity);
        }
    }
    return particles;
}

// One way of the CPU path: an instruction-set level and a division ("undecided": timed, as a
// program run chooses it).
struct CpuVariant {
    const char* level;
    const char* division;
};

void PrintTo(const CpuVariant& variant, std::ostream* os) {
    *os << variant.level << ", " << variant.division << " division";
}

std::vector<CpuVariant> cpu_variants() {
    const char* previous = cpu_instruction_set();
    std::vector<CpuVariant> variants;
    for (const char* level : supported_cpu_instruction_sets()) {
        use_cpu_instruction_set(level);
        const std::vector<const char*> divisions = supported_cpu_divisions();
        for (const char* division : divisions) {
            variants.push_back({level, division});
        }
        // Undecided at every level: a level without FMA must take the hardware division
        // without timing anything.
        variants.push_back({level, "undecided"});
    }
    use_cpu_instruction_set(previous);
    return variants;
}

// Every test below runs once per variant, the CPU path switched to it.
class CpuPath : public testing::TestWithParam<CpuVariant> {
  protected:
    void SetUp() override {
        previous_level_ = cpu_instruction_set();
        ASSERT_TRUE(use_cpu_instruction_set(GetParam().level));
        ASSERT_STREQ(GetParam().level, cpu_instruction_set());
        ASSERT_TRUE(use_cpu_division(GetParam().division));
    }
    void TearDown() override {
        use_cpu_instruction_set(previous_level_);
        use_cpu_division("undecided");
    }

  private:
    const char* previous_level_ = nullptr;
};

// The timed choice of division, on made-up slice times: each division's time is the mean of the
// faster half of its slices, so that up to half of them slowed by other work, a preemption or
// the threads' wake-up move nothing; the division not in use is taken where it is faster by
// more than 5%; with too few slices the one in use stays.
TEST(DivisionChoice, TheFasterDivisionWhateverSlicesOtherWorkSlowed) {
    struct Case {
        std::vector<double> hardware_ms, fma_ms;
        const char* in_use;
        const char* expected;
    };
    const std::vector<double> hardware(6, 0.9);
    const std::vector<double> fma(6, 0.5);
    auto slowed = [](std::vector<double> ms, std::vector<int> which) {
        for (int k : which) {
            ms[k] *= 4.0;
        }
        return ms;
    };
    const Case cases[] = {
        // Steady slices: the faster, where by more than 5%.
        {{1.00, 1.01, 1.00, 1.01, 1.00, 1.00},
         {0.80, 0.81, 0.80, 0.82, 0.80, 0.81},
         "hardware",
         "fma"},
        {{1.00, 1.01, 1.00, 1.01, 1.00, 1.00},
         {0.92, 0.93, 0.92, 0.92, 0.93, 0.92},
         "hardware",
         "fma"},
        {{1.00, 1.01, 1.00, 1.01, 1.00, 1.00},
         {0.97, 0.97, 0.97, 0.98, 0.97, 0.97},
         "hardware",
         "hardware"},
        {{1.00, 1.00, 1.00, 1.00, 1.00, 1.00},
         {1.10, 1.10, 1.10, 1.10, 1.10, 1.10},
         "hardware",
         "hardware"},
        {{1.00, 1.00, 1.00, 1.00, 1.00, 1.00},
         {1.10, 1.10, 1.10, 1.10, 1.10, 1.10},
         "fma",
         "hardware"},
        // Within 5% the division in use stays, whichever it is.
        {{1.00, 1.00, 1.00, 1.00, 1.00, 1.00}, {1.03, 1.03, 1.03, 1.03, 1.03, 1.03}, "fma", "fma"},
        // A noisy machine: the fma slices spread by 35%, the faster half decides.
        {{1.00, 1.02, 1.00, 1.01, 1.00, 1.00},
         {0.70, 0.875, 0.72, 0.80, 0.71, 0.95},
         "hardware",
         "fma"},
        // The hardware division 1.8x as fast as the fma division: slowed slices of the hardware
        // division leave it chosen.
        {slowed(fma, {0, 3}), slowed(hardware, {}), "fma", "hardware"},
        // Hardware slices of 0.9 ms, fma slices of 0.5 ms, two of one division's six slices four
        // times as long, wherever they came: the fma division.
        {slowed(hardware, {0, 1}), fma, "hardware", "fma"},
        {slowed(hardware, {2, 5}), fma, "hardware", "fma"},
        {hardware, slowed(fma, {0, 1}), "hardware", "fma"},
        {hardware, slowed(fma, {1, 4}), "hardware", "fma"},
        {hardware, slowed(fma, {3, 5}), "hardware", "fma"},
        // Half of them: still.
        {hardware, slowed(fma, {0, 2, 4}), "hardware", "fma"},
        // Too few slices to tell: the division in use stays.
        {{1.00, 1.00}, {0.50, 0.50}, "hardware", "hardware"},
        {{}, {0.50, 0.50, 0.50}, "hardware", "hardware"},
        {{0.50, 0.50}, {1.00, 1.00}, "fma", "fma"},
    };
    for (const Case& c : cases) {
        const CpuDivisionChoice choice = choose_cpu_division({c.hardware_ms, c.fma_ms}, c.in_use);
        EXPECT_STREQ(c.expected, choice.division)
            << c.in_use << " in use; hardware " << c.hardware_ms.size() << " slices from "
            << (c.hardware_ms.empty() ? 0.0 : c.hardware_ms[0]) << " ms, fma from " << c.fma_ms[0]
            << " ms";
        // The choice is the same whatever order the slices came in.
        std::vector<double> hardware_reversed(c.hardware_ms.rbegin(), c.hardware_ms.rend());
        std::vector<double> fma_reversed(c.fma_ms.rbegin(), c.fma_ms.rend());
        EXPECT_STREQ(c.expected,
                     choose_cpu_division({hardware_reversed, fma_reversed}, c.in_use).division);
    }
    const CpuDivisionChoice choice = choose_cpu_division({slowed(hardware, {0, 1}), fma});
    EXPECT_DOUBLE_EQ(0.9, choice.hardware_ms)
        << "the time of the faster half, the slowed left aside";
    EXPECT_DOUBLE_EQ(0.5, choice.fma_ms);
    EXPECT_EQ(6, choice.slices);
}

// A first choice that slowed slices made wrong (more than half of one division's slices slowed)
// is corrected by the re-checks within kDivisionRecheckPasses * kFewestDivisionSlices passes
// (24), in either direction; one slowed re-check round does not undo a right choice; a re-check
// ends only every kDivisionRecheckPasses-th pass.
TEST(DivisionChoice, AWrongChoiceIsCorrectedWithinTwentyFourPasses) {
    static_assert(kDivisionRecheckPasses * kFewestDivisionSlices <= 24);
    for (const bool fma_faster : {true, false}) {
        const double faster_ms = 0.5;
        const double slower_ms = 0.9;
        // The first pass: four of the faster division's six slices slowed four times.
        std::vector<double> faster = {faster_ms, 4 * faster_ms, 4 * faster_ms,
                                      faster_ms, 4 * faster_ms, 4 * faster_ms};
        std::vector<double> slower(6, slower_ms);
        CpuDivisionRecord record;
        const CpuDivisionTiming first =
            fma_faster ? CpuDivisionTiming{slower, faster} : CpuDivisionTiming{faster, slower};
        record.choice.division = fma_faster ? "hardware" : "fma";  // the wrong one in use
        const char* right = fma_faster ? "fma" : "hardware";
        ASSERT_STRNE(right, record_division_slices(&record, first).division);
        int corrected_at = 0;
        int rechecks = 0;
        for (int pass = 1; pass <= 100; ++pass) {
            if (!division_recheck_due(&record)) {
                continue;
            }
            ++rechecks;
            // Once corrected, every third re-check has the faster division's slice slowed.
            const double faster_slice =
                corrected_at > 0 && rechecks % 3 == 0 ? 4 * faster_ms : faster_ms;
            const CpuDivisionTiming round = fma_faster
                                                ? CpuDivisionTiming{{slower_ms}, {faster_slice}}
                                                : CpuDivisionTiming{{faster_slice}, {slower_ms}};
            const bool was_right = std::strcmp(right, record.choice.division) == 0;
            record_division_slices(&record, round);
            const bool is_right = std::strcmp(right, record.choice.division) == 0;
            EXPECT_FALSE(was_right && !is_right) << "a right choice undone at pass " << pass;
            if (is_right && corrected_at == 0) {
                corrected_at = pass;
            }
        }
        EXPECT_GT(corrected_at, 0) << right << " never chosen";
        EXPECT_LE(corrected_at, kDivisionRecheckPasses * kFewestDivisionSlices) << right;
        EXPECT_EQ(100 / kDivisionRecheckPasses, rechecks);
        EXPECT_EQ(kKeptDivisionRounds, static_cast<int>(record.recent.fma_ms.size()));
    }
}

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
    if (level == "armv8-a") {
        return 2;  // NEON
    }
    return 0;  // native or generic: whatever the build's flags give
}

// The levels a portable build for this processor carries, lowest first.
std::vector<const char*> portable_levels() {
#if defined(__x86_64__) || defined(_M_X64)
    return {"x86-64", "x86-64-v3", "x86-64-v4"};
#elif defined(__aarch64__)
    return {"armv8-a"};
#else
    return {};
#endif
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
    for (const char* level : portable_levels()) {
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
    EXPECT_TRUE(use_cpu_instruction_set(in_use.c_str()));
}

TEST_P(CpuPath, ForcesMatchTheReferenceBitForBit) {
    const int width = cpu_simd_width();
    // Remainders of the SIMD width (and twice it), of the sampling stride, and of the four
    // sampled particles in flight (1 to 11 sampled: 4000 takes exactly four).
    for (int count : {1, 2, 3, width - 1, width, width + 1, 2 * width - 1, 2 * width, 2 * width + 1,
                      999, 1000, 1001, 1002, 2003, 4000, 4099, 10007}) {
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

// The galaxy as the program runs it, the timed choice of division included, and particles far
// outside it, whose quotients and roots fall back to the divider in every way the fast path
// has.
TEST_P(CpuPath, ForcesMatchAtFullSizeAndFarOutsideTheGalaxy) {
    static const std::vector<Particle> galaxy = test_galaxy(100000);
    static const std::vector<Particle> galaxy_reference = [] {
        std::vector<Particle> reference = galaxy;
        compute_forces_reference(reference.data(), 100000, 0, 0, 0);
        return reference;
    }();
    std::vector<Particle> fast = galaxy;
    compute_forces_cpu(fast.data(), 100000, 0, 0, 0);
    EXPECT_TRUE(same_bytes(fast, galaxy_reference));
    if (std::string(GetParam().division) == "undecided") {
        const CpuDivisionChoice choice = last_cpu_division_choice();
        if (supported_cpu_divisions().size() > 1) {
            EXPECT_STRNE("undecided", cpu_division()) << "a pass of 100,000 is timed";
            EXPECT_STREQ(cpu_division(), choice.division)
                << "the choice reported is the one in use";
            EXPECT_GE(choice.slices, 3);
            EXPECT_GT(choice.hardware_ms, 0.0) << "both divisions ran in the timed slices";
            EXPECT_GT(choice.fma_ms, 0.0) << "both divisions ran in the timed slices";
            // Every kDivisionRecheckPasses-th pass ends with a timed round of both divisions,
            // and may change the division: the bits stay.
            const CpuDivisionPasses before = cpu_division_passes();
            for (int pass = 2; pass <= 1 + kDivisionRecheckPasses; ++pass) {
                std::vector<Particle> again = galaxy;
                compute_forces_cpu(again.data(), 100000, 0, 0, 0);
                EXPECT_TRUE(same_bytes(again, galaxy_reference)) << "pass " << pass;
            }
            const CpuDivisionPasses after = cpu_division_passes();
            EXPECT_EQ(kDivisionRecheckPasses,
                      after.hardware - before.hardware + after.fma - before.fma);
            EXPECT_EQ(choice.rounds + 1, last_cpu_division_choice().rounds) << "one re-check";
            EXPECT_STREQ(cpu_division(), last_cpu_division_choice().division);
            // Selecting a level, this one included, times the division again: a choice
            // never carries over to another level.
            const char* level = cpu_instruction_set();
            ASSERT_TRUE(use_cpu_instruction_set(level));
            EXPECT_STREQ("undecided", cpu_division());
            EXPECT_STREQ("undecided", last_cpu_division_choice().division);
        } else {
            EXPECT_STREQ("hardware", cpu_division()) << "a level without FMA never times";
            EXPECT_EQ(choice.slices, 0);
        }
    } else {
        EXPECT_STREQ(GetParam().division, cpu_division());
    }

    // Up to 10^290 nearly every acceleration is NaN (a speed's square overflows in the black
    // hole's pull), which hides the pair terms; up to 10^150, with the hole so far away that
    // its pull is 0, most are finite, and many quotients and roots still leave the window.
    for (double range : {290.0, 150.0}) {
        const double center_x = range > 200.0 ? 1e-300 : 1e300;
        for (int count : {5003, 64}) {
            std::vector<Particle> far = far_out_particles(count, range);
            std::vector<Particle> reference = far;
            compute_forces_cpu(far.data(), count, center_x, -1e300, 0);
            compute_forces_reference(reference.data(), count, center_x, -1e300, 0);
            EXPECT_TRUE(same_values(far, reference)) << "count " << count << ", up to 1e" << range;
            if (range < 200.0 && count > 1000) {
                int finite = 0;
                for (const Particle& p : reference) {
                    finite += std::isfinite(p.acceleration[0]) ? 1 : 0;
                }
                EXPECT_GT(finite, count / 2) << "the pair terms must show in the accelerations";
            }
        }
    }
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

// --- The fma division's arithmetic against the divider, operation by operation ----------------

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Operands where the fast path's tests and fallbacks are decided: signed zeros, subnormals,
// the extremes of the normal range, infinities and NaNs, powers of two and their neighbours,
// all-ones significands, and both sides of the exponent window (2^-968 and the extremes).
std::vector<double> hard_operands() {
    std::vector<double> operands = {0.0,
                                    -0.0,
                                    kInf,
                                    -kInf,
                                    kNaN,
                                    -kNaN,
                                    from_bits(0x7ff0000000000001ULL),  // signalling NaN
                                    0x1p-1074,
                                    0x1.fffffffffffffp-1023,
                                    0x1p-1022,
                                    std::numeric_limits<double>::max(),
                                    1.0,
                                    -1.0,
                                    3.0,
                                    0.1};
    for (int e : {-1074, -1060, -1023, -1022, -1021, -1000, -970, -969, -968, -967,
                  -600,  -512,  -511,  -54,   -53,   -1,    0,    1,    52,   53,
                  511,   512,   600,   969,   1000,  1021,  1022, 1023}) {
        const double p = std::ldexp(1.0, e);
        for (double v : {p, std::nextafter(p, 0.0), std::nextafter(p, kInf),
                         std::ldexp(0x1.fffffffffffffp0, e), std::ldexp(0x1.5555555555555p0, e)}) {
            operands.push_back(v);
            operands.push_back(-v);
        }
    }
    return operands;
}

// Quotients and roots next to a midpoint m = M 2^j between two doubles (M odd, 2^53 < M <
// 2^54), built exactly in integers. A quotient: for a small t, B = t / M modulo 2^54 (M is
// odd, so invertible) makes B M - t a multiple of 2^54, and a = (B M - t) / 2^54, b = B give
// a / b = (M / 2^54) (1 - t / (B M)): within |t| 2^-105 of the midpoint, on the side of t's
// sign. A root: M with M^2 = t modulo 2^56 (t = 1 modulo 8, lifted bit by bit) makes
// x = (M^2 - t) / 2^56 a double with sqrt(x 2^56) = M sqrt(1 - t / M^2), within |t| 2^-108.
using u128 = unsigned __int128;
constexpr u128 kTwo54 = u128(1) << 54;

void add_near_midpoint_quotients(std::vector<double>& a, std::vector<double>& b, int wanted) {
    std::mt19937_64 random(11);
    std::uniform_int_distribution<int> exponent(-400, 400);
    for (int found = 0; found < wanted;) {
        const std::uint64_t m = (random() >> 10) | (1ULL << 53) | 1;  // odd, 54 bits
        std::uint64_t inverse = 1;  // m^-1 modulo 2^64 by Newton's iteration, 6 steps
        for (int step = 0; step < 6; ++step) {
            inverse *= 2 - m * inverse;
        }
        const std::int64_t t = static_cast<std::int64_t>(random() % 2001) - 1000;
        const std::uint64_t divisor =
            (static_cast<std::uint64_t>(t) * inverse) & static_cast<std::uint64_t>(kTwo54 - 1);
        if (t == 0 || divisor < (1ULL << 52) || divisor >= (1ULL << 53)) {
            continue;
        }
        const u128 product = u128(divisor) * m - static_cast<u128>(static_cast<__int128>(t));
        const std::uint64_t dividend = static_cast<std::uint64_t>(product >> 54);
        const int e = exponent(random);
        if (found % 4 < 3) {
            a.push_back(std::ldexp(static_cast<double>(dividend), e + (found % 4) * 300 - 300));
            b.push_back(std::ldexp(static_cast<double>(divisor), e / 2));
        } else {
            // Negative divisors at the bottom of the normal range, below 2^-981: the bound's
            // factor |b| 2^-53 is subnormal or smaller there while the quotient's bound is
            // normal, and the factor must come from the magnitude.
            const int shift = -1073 + std::abs(e) % 40;
            a.push_back(std::ldexp(static_cast<double>(dividend), shift + 200));
            b.push_back(-std::ldexp(static_cast<double>(divisor), shift));
        }
        ++found;
    }
}

void add_near_midpoint_squares(std::vector<double>& x, int wanted) {
    std::mt19937_64 random(12);
    std::uniform_int_distribution<int> exponent(-450, 450);
    const u128 mask56 = (u128(1) << 56) - 1;
    for (int found = 0; found < wanted;) {
        const std::int64_t t = 8 * (static_cast<std::int64_t>(random() % 2001) - 1000) + 1;
        const u128 target = static_cast<u128>(static_cast<__int128>(t)) & mask56;
        std::uint64_t root = 1;  // root^2 = t modulo 8, lifted to modulo 2^56
        for (int k = 3; k < 56; ++k) {
            const u128 modulus_mask = (u128(1) << (k + 1)) - 1;
            if (((u128(root) * root) & modulus_mask) != (target & modulus_mask)) {
                root += 1ULL << (k - 1);
            }
        }
        // The roots modulo 2^55 are root and -root; one of them may have 54 bits.
        const std::uint64_t r = root & ((1ULL << 55) - 1);
        const std::uint64_t m = r < (1ULL << 54) ? r : (1ULL << 55) - r;
        if (m < (1ULL << 53)) {
            continue;
        }
        const u128 square = u128(m) * m - static_cast<u128>(static_cast<__int128>(t));
        x.push_back(std::ldexp(static_cast<double>(square >> 56), 2 * exponent(random)));
        ++found;
    }
}

// Doubles of uniformly random bit patterns: every exponent, sign, NaN and subnormal alike.
double random_double(std::mt19937_64& random) {
    return from_bits(random());
}

// Element-wise comparison with the divider's results (any NaN equals any NaN); reports the
// first few differences.
void expect_divider_bits(const std::vector<double>& a, const std::vector<double>& b,
                         const std::vector<double>& got, const char* what) {
    int wrong = 0;
    for (size_t k = 0; k < got.size(); ++k) {
        const double expected = b.empty() ? std::sqrt(a[k]) : a[k] / b[k];
        if (!same_bits(got[k], expected) && ++wrong <= 5) {
            ADD_FAILURE() << what << std::hexfloat << ": a = " << a[k]
                          << (b.empty() ? "" : ", b = ") << (b.empty() ? 0.0 : b[k]) << ": got "
                          << got[k] << ", the divider gives " << expected;
        }
    }
    EXPECT_EQ(0, wrong) << what << ": of " << got.size();
}

std::vector<double> fma_quotients(const std::vector<double>& a, const std::vector<double>& b,
                                  const std::vector<double>* estimate = nullptr) {
    std::vector<double> q(a.size());
    EXPECT_TRUE(divide_fma_cpu(a.data(), b.data(), q.data(), static_cast<int>(a.size()),
                               estimate != nullptr ? estimate->data() : nullptr));
    return q;
}

std::vector<double> fma_roots(const std::vector<double>& a) {
    std::vector<double> s(a.size());
    EXPECT_TRUE(square_root_fma_cpu(a.data(), s.data(), static_cast<int>(a.size())));
    return s;
}

// The number of random operand pairs: LUMETH_ARITHMETIC_SAMPLES, or four million.
long long random_samples() {
    const char* samples = std::getenv("LUMETH_ARITHMETIC_SAMPLES");
    return samples != nullptr && *samples != '\0' ? std::atoll(samples) : 4000000;
}

class FmaArithmetic : public testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        previous_ = cpu_instruction_set();
        ASSERT_TRUE(use_cpu_instruction_set(GetParam()));
    }
    void TearDown() override { use_cpu_instruction_set(previous_); }

  private:
    const char* previous_ = nullptr;
};

TEST_P(FmaArithmetic, HardCasesGiveTheDividersBits) {
    const std::vector<double> operands = hard_operands();
    std::vector<double> a, b;
    for (double x : operands) {
        for (double y : operands) {
            a.push_back(x);
            b.push_back(y);
        }
    }
    // Results that are powers of two, their neighbours and the extremes of the normal range.
    std::mt19937_64 random(13);
    std::uniform_real_distribution<double> significand(1.0, 2.0);
    for (int e : {-1075, -1074, -1023, -1022, -1021, -1, 0, 1, 1022, 1023, 1024}) {
        for (int k = 0; k < 200; ++k) {
            const double y = std::ldexp(significand(random), k % 40 - 20);
            const double x = std::ldexp(y, e);
            for (double v : {x, std::nextafter(x, 0.0), std::nextafter(x, kInf)}) {
                a.push_back(v);
                b.push_back(y);
            }
        }
    }
    add_near_midpoint_quotients(a, b, 20000);
    expect_divider_bits(a, b, fma_quotients(a, b), "quotient");
    // Divisors whose reciprocal's estimate comes from elsewhere (the pair term's d^2, d c^2
    // and 5 d^3 c^5 take theirs from 1/d's), with no magnitude step: whatever the estimate, a
    // close one, a poor one, one of the wrong sign, zero or NaN, every quotient is the
    // divider's, and negative, zero, infinite and NaN divisors fall back to it.
    std::vector<double> estimate(b.size());
    const std::pair<const char*, double (*)(double)> estimates[] = {
        {"close", [](double y) { return 1.0 / y; }},
        {"poor", [](double y) { return (1.0 + 0x1p-30) / y; }},
        {"wrong sign", [](double y) { return -1.0 / y; }},
        {"zero", [](double) { return 0.0; }},
        {"NaN", [](double) { return std::numeric_limits<double>::quiet_NaN(); }},
    };
    for (const auto& [name, estimate_of] : estimates) {
        std::transform(b.begin(), b.end(), estimate.begin(), estimate_of);
        expect_divider_bits(a, b, fma_quotients(a, b, &estimate),
                            (std::string("quotient, estimate ") + name).c_str());
    }

    std::vector<double> x = operands;
    for (int e = -1074; e <= 1023; ++e) {  // every binade: 4^k and its neighbours among them
        const double p = std::ldexp(1.0, e);
        x.insert(x.end(), {p, std::nextafter(p, 0.0), std::nextafter(p, kInf),
                           std::ldexp(significand(random), e)});
    }
    add_near_midpoint_squares(x, 20000);
    expect_divider_bits(x, {}, fma_roots(x), "root");
}

TEST_P(FmaArithmetic, RandomOperandsGiveTheDividersBits) {
    std::mt19937_64 random(14);
    std::uniform_real_distribution<double> significand(1.0, 2.0);
    // Every pair of binades, one random significand each: the window's edges on every side.
    std::vector<double> a, b;
    for (int ea = -1074; ea <= 1023; ea += 3) {
        for (int eb = -1074; eb <= 1023; eb += 3) {
            a.push_back(std::ldexp(significand(random), ea));
            b.push_back(std::ldexp(significand(random), eb));
        }
    }
    expect_divider_bits(a, b, fma_quotients(a, b), "quotient, binade pairs");
    expect_divider_bits(a, {}, fma_roots(a), "root, binade pairs");

    // Random bit patterns and random operands of the galaxy's order of magnitude, in batches.
    std::uniform_real_distribution<double> moderate(-60.0, 60.0);
    const long long samples = random_samples();
    for (long long done = 0; done < samples; done += 1 << 20) {
        const int n = static_cast<int>(std::min<long long>(1 << 20, samples - done));
        a.assign(n, 0.0);
        b.assign(n, 0.0);
        for (int k = 0; k < n; ++k) {
            const bool bits = k % 2 == 0;
            a[k] = bits ? random_double(random) : std::exp2(moderate(random)) * significand(random);
            b[k] = bits ? random_double(random) : std::exp2(moderate(random)) * significand(random);
        }
        expect_divider_bits(a, b, fma_quotients(a, b), "quotient, random");
        expect_divider_bits(a, {}, fma_roots(a), "root, random");
        if (HasFailure()) {
            break;
        }
    }
}

std::vector<const char*> levels_with_fma() {
    std::vector<const char*> levels;
    for (const CpuVariant& variant : cpu_variants()) {
        if (std::string(variant.division) == "fma") {
            levels.push_back(variant.level);
        }
    }
    return levels;
}

// A test name's part for a level and division: "x86-64-v3" gives "x86_64_v3".
std::string name_part(std::string text) {
    for (char& c : text) {
        c = c == '-' ? '_' : c;
    }
    return text;
}

std::string level_name(const testing::TestParamInfo<const char*>& info) {
    return name_part(info.param);
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FmaArithmetic);
INSTANTIATE_TEST_SUITE_P(Level, FmaArithmetic, testing::ValuesIn(levels_with_fma()), level_name);

// Test names carry the level and division, e.g.
// Variant/CpuPath.ForcesMatchTheReferenceBitForBit/x86_64_v3_fma.
std::string variant_name(const testing::TestParamInfo<CpuVariant>& info) {
    return name_part(std::string(info.param.level) + "_" + info.param.division);
}

INSTANTIATE_TEST_SUITE_P(Variant, CpuPath, testing::ValuesIn(cpu_variants()), variant_name);

}  // namespace
}  // namespace lumeth
