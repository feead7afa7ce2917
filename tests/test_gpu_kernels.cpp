// The kernels and the step driver on a real CUDA device, compared with the CPU path. Each test
// skips itself, with the reason, where no usable device is present (and in a build without
// CUDA). Integration and the outer force model must agree bit for bit; the inner force model
// uses acos, atan2, sin and cos from each side's own library and must agree within a few ulps.
// Both kernels are also checked against the high-precision table that the CPU path meets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "compare.h"
#include "gpu/device_operations.h"
#include "gpu/device_step.h"
#include "gpu/step_driver.h"
#include "gpu/step_driver_testing.h"
#include "kernels/cpu_kernels.h"
#include "reference_table_check.h"
#include "sim/constants.h"
#include "sim/float_bits.h"
#include "sim/initial_conditions.h"

namespace {

using lumeth::bit_pattern;
using lumeth::same_bits;

using Particles = std::vector<Particle>;
using lumeth::Vector3;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const lumeth::DeviceOperations& device() {
    return lumeth::platform_device_operations();
}

// Why no device can run the kernels here, or nullptr. Probed once per process.
const char* device_unusable() {
    static const char* const why = device().probe();
    return why;
}

#define SKIP_WITHOUT_CUDA_DEVICE()                                        \
    do {                                                                  \
        if (const char* why = device_unusable()) {                        \
            GTEST_SKIP() << "no usable CUDA device here (" << why << ")"; \
        }                                                                 \
    } while (false)

Particle particle(double x, double y, double z, double vx = 0.0, double vy = 0.0, double vz = 0.0,
                  double mass = lumeth::kSolarMass) {
    Particle p{};
    p.position[0] = x;
    p.position[1] = y;
    p.position[2] = z;
    p.velocity[0] = vx;
    p.velocity[1] = vy;
    p.velocity[2] = vz;
    p.mass = mass;
    return p;
}

Particles galaxy(int count, std::uint32_t seed) {
    Particles particles(static_cast<std::size_t>(count));
    lumeth::generate_galaxy(particles.data(), count, seed);
    return particles;
}

// Particles spread through the inner zone about `center`, moving at up to 1e6 m/s: the
// inner model with every angle and rate.
Particles inner_zone_cloud(int count, std::uint64_t seed, double cx = 0.0, double cy = 0.0,
                           double cz = 0.0) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    Particles particles;
    while (static_cast<int>(particles.size()) < count) {
        const double x = unit(random), y = unit(random), z = unit(random);
        if (x * x + y * y + z * z >= 1.0) {
            continue;
        }
        const double r = lumeth::kInnerZoneRadius * 0.999;
        particles.push_back(particle(cx + x * r, cy + y * r, cz + z * r, 1e6 * unit(random),
                                     1e6 * unit(random), 1e6 * unit(random),
                                     lumeth::kSolarMass * (1.0 + unit(random) * 0.5)));
    }
    return particles;
}

// --- Running the kernels on the device ---------------------------------------------------------

// One device step through the driver's own sequence over records 0..count-1 of `particles`,
// in a fresh device buffer that holds the whole array: records from `count` on are copied up
// before the step and back after it, so that what the kernel did beyond the count shows.
// Device buffers are released by the device reset at process exit.
testing::AssertionResult step_on_device(Particles& particles, int count,
                                        const lumeth::KernelLaunch& launch) {
    const std::size_t bytes = particles.size() * sizeof(Particle);
    Particle* buffer = nullptr;
    if (const char* why = device().allocate(&buffer, bytes)) {
        return testing::AssertionFailure() << "allocate: " << why;
    }
    const bool whole_array = static_cast<std::size_t>(count) == particles.size();
    if (!whole_array) {
        if (const char* why = device().copy_to_device(buffer, particles.data(), bytes)) {
            return testing::AssertionFailure() << "copy to device: " << why;
        }
    }
    const lumeth::StepFailure failure =
        lumeth::run_step_on_device(device(), buffer, particles.data(), count, launch);
    if (failure.failed()) {
        return testing::AssertionFailure() << failure.action << ": " << failure.text;
    }
    if (!whole_array) {
        if (const char* why = device().copy_to_host(particles.data(), buffer, bytes)) {
            return testing::AssertionFailure() << "copy to host: " << why;
        }
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult forces_on_device(Particles& particles, int count, double cx = 0.0,
                                          double cy = 0.0, double cz = 0.0) {
    return step_on_device(particles, count, lumeth::forces_launch(cx, cy, cz));
}

testing::AssertionResult integrate_on_device(Particles& particles, int count, double dt) {
    return step_on_device(particles, count, lumeth::integrate_launch(dt));
}

// --- Comparing with the CPU --------------------------------------------------------------------

struct ForceComparison {
    int outer = 0;             // records compared bit for bit
    int inner = 0;             // records compared within the tolerance
    double worst_share = 0.0;  // largest inner difference, as a share of its tolerance
};

// The device's force pass against the CPU's, from the same input: every field bit for bit,
// except inner-zone accelerations, which must lie within the tolerance that a few-ulp
// difference in the math library's results allows (bench/compare.h).
testing::AssertionResult forces_agree(const Particles& gpu, const Particles& cpu, double cx,
                                      double cy, double cz, ForceComparison* summary = nullptr) {
    const int count = static_cast<int>(gpu.size());
    const lumeth::bench::Comparison c =
        lumeth::bench::compare_gpu_forces(cpu.data(), gpu.data(), count, cx, cy, cz);
    ForceComparison result;
    for (const Particle& p : cpu) {
        ++(lumeth::bench::in_inner_zone(p, cx, cy, cz) ? result.inner : result.outer);
    }
    result.worst_share = c.worst_share;
    if (summary != nullptr) {
        *summary = result;
    }
    if (c.differing > 0) {
        const int i = c.first_differing;
        const Vector3<double> tolerance =
            lumeth::bench::gpu_force_tolerance(cpu.data(), count, i, cx, cy, cz);
        testing::AssertionResult failure = testing::AssertionFailure();
        failure << lumeth::bench::describe(c) << "; the first is record " << i << ":";
        for (int k = 0; k < 10; ++k) {
            const double g = (&gpu[i].position[0])[k];
            const double e = (&cpu[i].position[0])[k];
            if (!same_bits(g, e)) {
                failure << " double " << k << " GPU " << g << ", CPU " << e << ";";
            }
        }
        return failure << " tolerance " << tolerance.x << ", " << tolerance.y << ", "
                       << tolerance.z;
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult all_same(const Particles& gpu, const Particles& cpu) {
    for (std::size_t i = 0; i < gpu.size(); ++i) {
        const double* g = gpu[i].position;  // the ten doubles of the record
        const double* c = cpu[i].position;
        for (int k = 0; k < 10; ++k) {
            if (!same_bits(g[k], c[k])) {
                return testing::AssertionFailure()
                       << "record " << i << " double " << k << ": GPU " << g[k] << ", CPU " << c[k];
            }
        }
    }
    return testing::AssertionSuccess();
}

struct ForceCase {
    std::string name;
    Particles particles;
    double cx = 0.0, cy = 0.0, cz = 0.0;
};

std::vector<ForceCase> force_edge_cases() {
    using lumeth::kInnerZoneRadius;
    std::vector<ForceCase> cases;
    cases.push_back({"single particle at rest far out", {particle(1e20, 0, 0)}});
    cases.push_back({"single particle moving far out", {particle(1e20, 0, 0, 0, 2e5, 0)}});
    cases.push_back(
        {"at rest exactly at the inner-zone radius", {particle(kInnerZoneRadius, 0, 0)}});
    cases.push_back({"at rest just inside the inner zone",
                     {particle(std::nextafter(kInnerZoneRadius, 0.0), 0, 0)}});
    cases.push_back({"at rest at 4e14 m", {particle(4e14, 0, 0)}});
    cases.push_back({"tangential at 4e14 m", {particle(4e14, 0, 0, 0, 1e6, 0)}});
    cases.push_back({"inward at 4e14 m", {particle(4e14, 0, 0, -1e6, 0, 0)}});
    cases.push_back({"out of the plane at 4e14 m", {particle(2e14, -1e14, 3e14, 3e5, 2e5, -4e5)}});
    cases.push_back({"two particles, sampled asymmetrically",
                     {particle(1.0001e20, 0, 0), particle(1e20, 0, 0)}});
    cases.push_back({"coincident sampled particle",
                     {particle(3e19, 1e19, 0, 1e5, 0, 0), particle(3e19, 1e19, 0, 0, -2e5, 7e4)}});
    cases.push_back({"at the centre at rest", {particle(0, 0, 0)}});
    cases.push_back({"at the centre moving", {particle(0, 0, 0, 1e5, -2e5, 3e5)}});
    cases.push_back({"within 1e-10 m of the centre", {particle(5e-11, -3e-11, 2e-11, 1e3, 0, 0)}});
    cases.push_back({"on the +z axis inside", {particle(0, 0, 1e14, 1e5, 2e5, -3e5)}});
    cases.push_back({"on the -z axis inside", {particle(0, 0, -1e14, 1e5, 2e5, 3e5)}});
    cases.push_back({"near the z axis inside", {particle(1e-11, 0, 2e14, 0, 1e5, 0)}});
    cases.push_back({"non-finite position and velocity",
                     {particle(3e19, 0, 0), particle(kNaN, 0, 0), particle(1e20, kInf, 0),
                      particle(1e19, 0, 0, kInf, 0, 0), particle(-kInf, 2e19, 0)}});

    Particles mixed = galaxy(1001, 11u);  // sampled records 0 and 1000
    Particles cloud = inner_zone_cloud(300, 5u);
    std::copy(cloud.begin(), cloud.end(), mixed.begin() + 200);
    cases.push_back({"count 1001 with inner-zone particles", mixed});
    cases.push_back({"inner-zone cloud", inner_zone_cloud(4096, 17u)});

    const double cx = 1e14, cy = -2e14, cz = 3e13;
    Particles off_centre = galaxy(3000, 23u);
    Particles off_cloud = inner_zone_cloud(1000, 29u, cx, cy, cz);
    std::copy(off_cloud.begin(), off_cloud.end(), off_centre.begin() + 1000);
    cases.push_back({"black hole away from the origin", off_centre, cx, cy, cz});
    return cases;
}

// --- The kernels -------------------------------------------------------------------------------

TEST(GpuKernels, ForcesOnAGeneratedGalaxyMatchTheCpu) {
    SKIP_WITHOUT_CUDA_DEVICE();
    const int count = 100000;
    const Particles before = galaxy(count, 2024u);
    Particles gpu = before;
    ASSERT_TRUE(forces_on_device(gpu, count));
    Particles cpu = before;
    lumeth::compute_forces_cpu(cpu.data(), count, 0.0, 0.0, 0.0);
    ForceComparison summary;
    EXPECT_TRUE(forces_agree(gpu, cpu, 0.0, 0.0, 0.0, &summary));
    std::cout << "[ INFO     ] " << summary.outer << " outer-model records bit for bit, "
              << summary.inner << " inner-model records within " << summary.worst_share
              << " of their tolerance\n";
}

TEST(GpuKernels, ForcesOnEdgeCasesMatchTheCpu) {
    SKIP_WITHOUT_CUDA_DEVICE();
    double worst = 0.0;
    for (const ForceCase& c : force_edge_cases()) {
        SCOPED_TRACE(c.name);
        const int count = static_cast<int>(c.particles.size());
        Particles gpu = c.particles;
        ASSERT_TRUE(forces_on_device(gpu, count, c.cx, c.cy, c.cz));
        Particles cpu = c.particles;
        lumeth::compute_forces_cpu(cpu.data(), count, c.cx, c.cy, c.cz);
        ForceComparison summary;
        EXPECT_TRUE(forces_agree(gpu, cpu, c.cx, c.cy, c.cz, &summary));
        worst = std::max(worst, summary.worst_share);
    }
    std::cout << "[ INFO     ] inner-model records within " << worst << " of their tolerance\n";
}

// The kernels against the independent high-precision table (reference_table_check.h states
// the bounds): the comparisons with the CPU above would pass a fault that both share.
TEST(GpuKernels, ForcesAndStepsMatchTheHighPrecisionTable) {
    SKIP_WITHOUT_CUDA_DEVICE();
    reference_table::expect_forces_match(
        "GPU", [](Particle* particles, int count, double cx, double cy, double cz) {
            Particles gpu(particles, particles + count);
            ASSERT_TRUE(forces_on_device(gpu, count, cx, cy, cz));
            std::copy(gpu.begin(), gpu.end(), particles);
        });
    reference_table::expect_steps_match("GPU", [](Particle* particles, int count, double dt) {
        Particles gpu(particles, particles + count);
        ASSERT_TRUE(integrate_on_device(gpu, count, dt));
        std::copy(gpu.begin(), gpu.end(), particles);
    });
}

TEST(GpuKernels, IntegrationMatchesTheCpuBitForBit) {
    SKIP_WITHOUT_CUDA_DEVICE();
    using lumeth::kInnerZoneRadius;
    Particles galaxy_state = galaxy(100000, 2025u);
    lumeth::compute_forces_cpu(galaxy_state.data(), 100000, 0.0, 0.0, 0.0);

    auto accelerated = [](Particle p, double ax, double ay, double az) {
        p.acceleration[0] = ax;
        p.acceleration[1] = ay;
        p.acceleration[2] = az;
        return p;
    };
    Particles edges = {
        accelerated(particle(1e15, 0, 0), 1, 0, 0),
        accelerated(particle(0, 0, 0), 1, 0, 0),
        accelerated(particle(kInnerZoneRadius, 0, 0, 1e5, -1e5, 0), 1e-3, 2e-3, -3e-3),
        accelerated(particle(std::nextafter(kInnerZoneRadius, 0.0), 0, 0, 1e5, 0, 0), 1e-3, 0, 0),
        accelerated(particle(1e14, 2e14, -3e14, 4e5, -5e5, 6e5), -7e-4, 8e-4, -9e-4),
        accelerated(particle(1e19, -2e19, 3e18, 1e5, 2e5, 3e5), 0, 0, 0),
        accelerated(particle(kNaN, 0, 0, 1, 2, 3), 1, 1, 1),
        accelerated(particle(1e19, 0, 0, kInf, 0, 0), 0, kInf, kNaN),
        accelerated(particle(-kInf, 1e19, 0), 1e-10, 0, 0),
    };
    Particles inner = inner_zone_cloud(2000, 31u);
    for (Particle& p : inner) {
        p.acceleration[0] = p.velocity[1] * 1e-9;
        p.acceleration[1] = -p.velocity[0] * 1e-9;
        p.acceleration[2] = p.velocity[2] * 3e-10;
    }

    for (double dt : {lumeth::kTimeStep, 2.0, -lumeth::kTimeStep}) {
        for (const Particles* input : {&galaxy_state, &edges, &inner}) {
            SCOPED_TRACE("dt " + std::to_string(dt) + ", " + std::to_string(input->size()) +
                         " records");
            const int count = static_cast<int>(input->size());
            Particles gpu = *input;
            ASSERT_TRUE(integrate_on_device(gpu, count, dt));
            Particles cpu = *input;
            lumeth::integrate_cpu(cpu.data(), count, dt);
            EXPECT_TRUE(all_same(gpu, cpu));
        }
    }
}

// The threads past the count (the rest of the last block) must write nothing: records placed
// after the count in the same device buffer come back untouched, and a count of 0 changes
// nothing at all.
TEST(GpuKernels, ThreadsBeyondTheCountTouchNothing) {
    SKIP_WITHOUT_CUDA_DEVICE();
    Particles before = galaxy(512, 41u);
    for (Particle& p : before) {
        p.acceleration[0] = 1e-9;
        p.acceleration[1] = -2e-9;
        p.acceleration[2] = 3e-9;
    }
    for (int count : {300, 0}) {
        SCOPED_TRACE("count " + std::to_string(count));
        Particles forces = before;
        ASSERT_TRUE(forces_on_device(forces, count));  // 2 blocks for 300, 1 block for 0
        Particles integrated = before;
        ASSERT_TRUE(integrate_on_device(integrated, count, lumeth::kTimeStep));

        const Particles tail(before.begin() + count, before.end());
        EXPECT_TRUE(all_same(Particles(forces.begin() + count, forces.end()), tail));
        EXPECT_TRUE(all_same(Particles(integrated.begin() + count, integrated.end()), tail));
        if (count > 0) {
            Particles cpu = Particles(before.begin(), before.begin() + count);
            lumeth::integrate_cpu(cpu.data(), count, lumeth::kTimeStep);
            EXPECT_TRUE(all_same(Particles(integrated.begin(), integrated.begin() + count), cpu));
        }
    }
}

// --- The step driver on the device -------------------------------------------------------------

// Frames of step_forces then step_integrate through the driver on the GPU, each compared with
// the CPU path from the same input; then release_gpu, after which the process exits cleanly.
TEST(GpuStepDriver, StepPairOnTheGpuMatchesTheCpuFrameAfterFrame) {
    SKIP_WITHOUT_CUDA_DEVICE();
    lumeth::driver_testing::install_device_operations(nullptr);
    const int count = 100000;
    const int frames = 5;
    Particles particles = galaxy(count, 2026u);
    Particles cpu_trajectory = particles;
    bool inner_zone_visited = false;

    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    for (int frame = 0; frame < frames; ++frame) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        const Particles before_forces = particles;
        step_forces(particles.data(), count);
        if (lumeth::step_backend() != lumeth::StepBackend::gpu) {
            break;
        }
        Particles cpu = before_forces;
        lumeth::compute_forces_cpu(cpu.data(), count, 0.0, 0.0, 0.0);
        ForceComparison summary;
        EXPECT_TRUE(forces_agree(particles, cpu, 0.0, 0.0, 0.0, &summary));
        inner_zone_visited = inner_zone_visited || summary.inner > 0;

        const Particles before_integration = particles;
        step_integrate(particles.data(), count, lumeth::kTimeStep);
        if (lumeth::step_backend() != lumeth::StepBackend::gpu) {
            break;
        }
        cpu = before_integration;
        lumeth::integrate_cpu(cpu.data(), count, lumeth::kTimeStep);
        EXPECT_TRUE(all_same(particles, cpu));

        lumeth::compute_forces_cpu(cpu_trajectory.data(), count, 0.0, 0.0, 0.0);
        lumeth::integrate_cpu(cpu_trajectory.data(), count, lumeth::kTimeStep);
    }
    const lumeth::StepBackend backend = lumeth::step_backend();
    release_gpu();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(backend, lumeth::StepBackend::gpu) << "the driver left the GPU: " << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");

    // With no record ever in the inner zone, the whole trajectory is the CPU's, bit for bit.
    if (!inner_zone_visited) {
        EXPECT_TRUE(all_same(particles, cpu_trajectory));
    }
}

}  // namespace
