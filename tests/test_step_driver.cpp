// The step driver without a GPU: the step contract on the CPU path, the driver's device logic
// against a fake device (host memory for device buffers, the reference loops for the kernels)
// that can fail at any operation, a soak, and the exported NvOptimusEnablementCuda.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gpu/device_operations.h"
#include "gpu/step_driver.h"
#include "gpu/step_driver_testing.h"
#include "kernels/cpu_kernels.h"
#include "sim/constants.h"
#include "sim/float_bits.h"
#include "sim/initial_conditions.h"

#if defined(__linux__)
#include <dlfcn.h>
#elif defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

extern "C" int NvOptimusEnablementCuda;

namespace {

using lumeth::bit_pattern;

using lumeth::DeviceOperations;
using lumeth::step_backend;
using lumeth::StepBackend;
using lumeth::driver_testing::install_device_operations;
using Particles = std::vector<Particle>;

constexpr std::uint32_t kSeed = 0x5eed2024u;

Particles galaxy(int count, std::uint32_t seed = kSeed) {
    Particles particles(static_cast<std::size_t>(count));
    lumeth::generate_galaxy(particles.data(), count, seed);
    return particles;
}

Particles reference_forces(Particles particles) {
    lumeth::compute_forces_reference(particles.data(), static_cast<int>(particles.size()), 0.0, 0.0,
                                     0.0);
    return particles;
}

Particles reference_integrate(Particles particles, double dt) {
    lumeth::integrate_reference(particles.data(), static_cast<int>(particles.size()), dt);
    return particles;
}

// Runs `frames` frames through the driver and the same frames through the reference loops;
// returns the reference's result.
Particles run_frames(Particles& particles, int frames) {
    const int count = static_cast<int>(particles.size());
    Particles expected = particles;
    for (int frame = 0; frame < frames; ++frame) {
        step_forces(particles.data(), count);
        step_integrate(particles.data(), count, lumeth::kTimeStep);
        expected = reference_integrate(reference_forces(expected), lumeth::kTimeStep);
    }
    return expected;
}

// Which fields of the records a comparison looks at.
enum Fields : unsigned {
    kPosition = 1u,
    kVelocity = 2u,
    kAcceleration = 4u,
    kMass = 8u,
    kAllFields = 15u,
};

// Bit-for-bit equality of the selected fields of every record; names the first difference.
testing::AssertionResult same_bits(const Particles& actual, const Particles& expected,
                                   unsigned fields = kAllFields) {
    if (actual.size() != expected.size()) {
        return testing::AssertionFailure()
               << "sizes " << actual.size() << " and " << expected.size();
    }
    struct Field {
        Fields which;
        const char* name;
        std::size_t offset;
        int doubles;
    };
    const Field all[] = {{kPosition, "position", offsetof(Particle, position), 3},
                         {kVelocity, "velocity", offsetof(Particle, velocity), 3},
                         {kAcceleration, "acceleration", offsetof(Particle, acceleration), 3},
                         {kMass, "mass", offsetof(Particle, mass), 1}};
    for (std::size_t i = 0; i < actual.size(); ++i) {
        for (const Field& field : all) {
            if ((fields & field.which) == 0u) {
                continue;
            }
            const auto* a = reinterpret_cast<const double*>(
                reinterpret_cast<const char*>(&actual[i]) + field.offset);
            const auto* e = reinterpret_cast<const double*>(
                reinterpret_cast<const char*>(&expected[i]) + field.offset);
            for (int k = 0; k < field.doubles; ++k) {
                if (bit_pattern(a[k]) != bit_pattern(e[k])) {
                    return testing::AssertionFailure()
                           << "record " << i << " " << field.name << "[" << k << "] is " << a[k]
                           << ", expected " << e[k];
                }
            }
        }
    }
    return testing::AssertionSuccess();
}

// --- The fake device ---------------------------------------------------------------------------

enum class Operation {
    probe,
    allocate,
    copy_to_device,
    launch_forces,
    launch_integrate,
    synchronize,
    copy_to_host,
    reset,
};

const char* operation_name(Operation operation) {
    switch (operation) {
        case Operation::probe:
            return "probe";
        case Operation::allocate:
            return "allocate";
        case Operation::copy_to_device:
            return "copy_to_device";
        case Operation::launch_forces:
            return "launch_forces";
        case Operation::launch_integrate:
            return "launch_integrate";
        case Operation::synchronize:
            return "synchronize";
        case Operation::copy_to_host:
            return "copy_to_host";
        case Operation::reset:
            return "reset";
    }
    return "?";
}

// The failure texts outlive every call, as the CUDA runtime's do.
const char* injected_failure_text(Operation operation) {
    switch (operation) {
        case Operation::probe:
            return "injected failure of probe";
        case Operation::allocate:
            return "injected failure of allocate";
        case Operation::copy_to_device:
            return "injected failure of copy_to_device";
        case Operation::launch_forces:
            return "injected failure of launch_forces";
        case Operation::launch_integrate:
            return "injected failure of launch_integrate";
        case Operation::synchronize:
            return "injected failure of synchronize";
        case Operation::copy_to_host:
            return "injected failure of copy_to_host";
        case Operation::reset:
            return "injected failure of reset";
    }
    return "?";
}

struct Call {
    Operation operation;
    int buffer;         // index of the allocation it used, -1 for none
    std::size_t bytes;  // bytes allocated or copied

    bool operator==(const Call& other) const {
        return operation == other.operation && buffer == other.buffer && bytes == other.bytes;
    }
};

std::ostream& operator<<(std::ostream& out, const Call& call) {
    return out << operation_name(call.operation) << "(buffer " << call.buffer << ", " << call.bytes
               << " bytes)";
}

struct Launch {
    Operation kernel;
    int buffer;
    int count;
    int blocks;
    int threads_per_block;
    double center_x, center_y, center_z;  // force launches
    double dt;                            // integration launches
};

// Host memory stands in for device memory; a launch runs the reference loop over the
// buffer at once, so synchronize has nothing left to wait for.
struct FakeDevice {
    // The operation that fails, and on which of its calls (1 = the first).
    bool fail = false;
    Operation fail_operation = Operation::probe;
    int fail_on_call = 1;
    bool run_kernels = true;  // false: launches record and compute nothing
    std::size_t written_by_failed_copy_back = 0;

    std::vector<std::unique_ptr<Particle[]>> allocations;
    std::vector<std::size_t> allocation_bytes;
    std::vector<Call> calls;
    std::vector<Launch> launches;
    int calls_of[8] = {};

    // Records the call; returns the injected failure text when this call is the one to fail.
    const char* enter(Operation operation, int buffer = -1, std::size_t bytes = 0) {
        calls.push_back({operation, buffer, bytes});
        const int nth = ++calls_of[static_cast<int>(operation)];
        if (fail && operation == fail_operation && nth == fail_on_call) {
            return injected_failure_text(operation);
        }
        return nullptr;
    }

    // Index of the allocation `memory` points into, checking that `bytes` fit; -1 if none.
    int buffer_of(const Particle* memory, std::size_t bytes) const {
        for (std::size_t k = 0; k < allocations.size(); ++k) {
            if (allocations[k].get() == memory) {
                EXPECT_LE(bytes, allocation_bytes[k]) << "access beyond device buffer " << k;
                return static_cast<int>(k);
            }
        }
        ADD_FAILURE() << "device operation on memory that was never allocated";
        return -1;
    }

    int count_of(Operation operation) const { return calls_of[static_cast<int>(operation)]; }
};

FakeDevice* fake = nullptr;

const char* fake_probe() {
    return fake->enter(Operation::probe);
}

const char* fake_allocate(Particle** buffer, std::size_t bytes) {
    const int index = static_cast<int>(fake->allocations.size());
    if (const char* failure = fake->enter(Operation::allocate, index, bytes)) {
        return failure;
    }
    EXPECT_EQ(bytes % sizeof(Particle), 0u);
    fake->allocations.emplace_back(new Particle[bytes / sizeof(Particle)]);
    fake->allocation_bytes.push_back(bytes);
    *buffer = fake->allocations.back().get();
    return nullptr;
}

const char* fake_copy_to_device(Particle* device, const Particle* host, std::size_t bytes) {
    const int index = fake->buffer_of(device, bytes);
    if (const char* failure = fake->enter(Operation::copy_to_device, index, bytes)) {
        return failure;
    }
    if (index >= 0) {
        std::memcpy(device, host, bytes);
    }
    return nullptr;
}

const char* fake_launch_forces(Particle* device, int count, int blocks, int threads_per_block,
                               double center_x, double center_y, double center_z) {
    const int index = fake->buffer_of(device, static_cast<std::size_t>(count) * sizeof(Particle));
    if (const char* failure = fake->enter(Operation::launch_forces, index)) {
        return failure;
    }
    fake->launches.push_back({Operation::launch_forces, index, count, blocks, threads_per_block,
                              center_x, center_y, center_z, 0.0});
    if (index >= 0 && fake->run_kernels) {
        lumeth::compute_forces_reference(device, count, center_x, center_y, center_z);
    }
    return nullptr;
}

const char* fake_launch_integrate(Particle* device, int count, int blocks, int threads_per_block,
                                  double dt) {
    const int index = fake->buffer_of(device, static_cast<std::size_t>(count) * sizeof(Particle));
    if (const char* failure = fake->enter(Operation::launch_integrate, index)) {
        return failure;
    }
    fake->launches.push_back(
        {Operation::launch_integrate, index, count, blocks, threads_per_block, 0, 0, 0, dt});
    if (index >= 0 && fake->run_kernels) {
        lumeth::integrate_reference(device, count, dt);
    }
    return nullptr;
}

const char* fake_synchronize() {
    return fake->enter(Operation::synchronize);
}

// A failed copy back first writes the leading `written_by_failed_copy_back` bytes, as a real
// transfer that breaks off midway may.
const char* fake_copy_to_host(Particle* host, const Particle* device, std::size_t bytes) {
    const int index = fake->buffer_of(device, bytes);
    if (const char* failure = fake->enter(Operation::copy_to_host, index, bytes)) {
        if (index >= 0) {
            std::memcpy(host, device, std::min(bytes, fake->written_by_failed_copy_back));
        }
        return failure;
    }
    if (index >= 0) {
        std::memcpy(host, device, bytes);
    }
    return nullptr;
}

const char* fake_reset() {
    return fake->enter(Operation::reset);
}

constexpr DeviceOperations kFakeOperations{fake_probe,
                                           fake_allocate,
                                           fake_copy_to_device,
                                           fake_launch_forces,
                                           fake_launch_integrate,
                                           fake_synchronize,
                                           fake_copy_to_host,
                                           fake_reset};

// Every test starts from a driver that has not chosen its backend and talks to a fresh fake.
class DriverTest : public testing::Test {
  protected:
    void SetUp() override {
        fake = &device_;
        install_device_operations(&kFakeOperations);
    }
    void TearDown() override {
        install_device_operations(nullptr);
        fake = nullptr;
    }

    // Starts over with a fresh fake and an undecided driver.
    void restart() {
        device_ = FakeDevice{};
        install_device_operations(&kFakeOperations);
    }

    FakeDevice device_;
};

// The driver on its CPU path: the fake's probe reports no device.
class CpuPathTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        withhold_device();
    }
    void withhold_device() {
        device_.fail = true;
        device_.fail_operation = Operation::probe;
    }
};

std::string cpu_threads_text() {
    const int threads = lumeth::cpu_thread_count();
    return std::to_string(threads) + (threads == 1 ? " thread" : " threads");
}

int count_lines(const std::string& text) {
    int lines = 0;
    for (char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

// --- The step contract on the CPU path ---------------------------------------------------------

const int kContractCounts[] = {1, 255, 256, 257, 100000};

TEST_F(CpuPathTest, ForcePassChangesOnlyAccelerationsAsTheReferenceDoes) {
    for (int count : kContractCounts) {
        SCOPED_TRACE("count " + std::to_string(count));
        const Particles before = galaxy(count);
        Particles particles = before;
        step_forces(particles.data(), count);
        EXPECT_TRUE(same_bits(particles, before, kPosition | kVelocity | kMass));
        EXPECT_TRUE(same_bits(particles, reference_forces(before)));
    }
    EXPECT_EQ(step_backend(), StepBackend::cpu_no_device);
    EXPECT_EQ(device_.calls.size(), 1u) << "only the probe";
}

TEST_F(CpuPathTest, IntegrationChangesOnlyPositionsAndVelocitiesAsTheReferenceDoes) {
    for (int count : kContractCounts) {
        SCOPED_TRACE("count " + std::to_string(count));
        const Particles before = reference_forces(galaxy(count));
        Particles particles = before;
        step_integrate(particles.data(), count, lumeth::kTimeStep);
        EXPECT_TRUE(same_bits(particles, before, kAcceleration | kMass));
        EXPECT_TRUE(same_bits(particles, reference_integrate(before, lumeth::kTimeStep)));
    }
}

TEST_F(CpuPathTest, IntegrationWithoutAForcePassUsesTheStoredAccelerations) {
    // Accelerations that no force pass would give: the integration must take them as they are.
    const int count = 3001;
    Particles before = galaxy(count);
    for (int i = 0; i < count; ++i) {
        before[i].acceleration[0] = 1e-10 * std::sin(i);
        before[i].acceleration[1] = -2e-11 * std::cos(3.0 * i);
        before[i].acceleration[2] = 5e-12 * ((i % 7) - 3);
    }
    Particles particles = before;
    step_integrate(particles.data(), count, lumeth::kTimeStep);
    EXPECT_TRUE(same_bits(particles, reference_integrate(before, lumeth::kTimeStep)));

    Particles recomputed = reference_forces(before);
    EXPECT_FALSE(same_bits(particles, reference_integrate(recomputed, lumeth::kTimeStep),
                           kPosition | kVelocity))
        << "the step integrated with recomputed accelerations";
}

TEST_F(CpuPathTest, FramesInARowFollowTheReference) {
    const int count = 2001;
    Particles particles = galaxy(count);
    Particles expected = particles;
    for (int frame = 0; frame < 5; ++frame) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        step_forces(particles.data(), count);
        expected = reference_forces(expected);
        ASSERT_TRUE(same_bits(particles, expected));
        step_integrate(particles.data(), count, lumeth::kTimeStep);
        expected = reference_integrate(expected, lumeth::kTimeStep);
        ASSERT_TRUE(same_bits(particles, expected));
    }
}

// Every value finite and every mass unchanged after some hundreds of frames of a galaxy of
// some tens of thousands of particles.
TEST_F(CpuPathTest, SoakKeepsEveryValueFiniteAndEveryMassUnchanged) {
    const int count = 20000;
    const int frames = 300;
    const Particles start = galaxy(count, 7u);
    Particles particles = start;
    for (int frame = 0; frame < frames; ++frame) {
        step_forces(particles.data(), count);
        step_integrate(particles.data(), count, lumeth::kTimeStep);
    }
    int non_finite = 0;
    int first_non_finite = -1;
    for (int i = 0; i < count; ++i) {
        const Particle& p = particles[i];
        for (int k = 0; k < 3; ++k) {
            const bool finite = std::isfinite(p.position[k]) && std::isfinite(p.velocity[k]) &&
                                std::isfinite(p.acceleration[k]);
            if (!finite && non_finite++ == 0) {
                first_non_finite = i;
            }
        }
    }
    EXPECT_EQ(non_finite, 0) << "first at record " << first_non_finite;
    EXPECT_TRUE(same_bits(particles, start, kMass));
    EXPECT_FALSE(same_bits(particles, start, kPosition)) << "the galaxy did not move";
}

// --- Backend choice ----------------------------------------------------------------------------

// The table of a build without GPU code: its probe's text is the whole note.
DeviceOperations without_gpu_code(DeviceOperations operations) {
    operations.has_gpu_code = false;
    return operations;
}
const DeviceOperations kFakeOperationsWithoutGpuCode = without_gpu_code(kFakeOperations);

// One line says why: a device that cannot be used, or a build without GPU code, in its own words.
TEST_F(CpuPathTest, WithoutADeviceOneLineSaysWhyAndNoDeviceOperationFollows) {
    struct Case {
        const DeviceOperations* operations;
        std::string note;
    };
    for (const Case& c :
         {Case{&kFakeOperations, "no usable CUDA device (injected failure of probe)"},
          Case{&kFakeOperationsWithoutGpuCode, "injected failure of probe"}}) {
        SCOPED_TRACE(c.note);
        restart();
        withhold_device();
        install_device_operations(c.operations);
        const int count = 1001;
        Particles particles = galaxy(count);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const Particles expected = run_frames(particles, 3);
        release_gpu();
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string out = testing::internal::GetCapturedStdout();

        EXPECT_EQ(err, "lumeth: " + c.note + "; running the simulation on the CPU with " +
                           cpu_threads_text() + "\n");
        EXPECT_EQ(out, "");
        EXPECT_TRUE(same_bits(particles, expected));
        ASSERT_EQ(device_.calls.size(), 1u) << "probed once; no reset on the CPU path";
        EXPECT_EQ(device_.calls[0].operation, Operation::probe);
    }
}

// A first path (the CUDA runtime) whose probe refuses: for its own code (a driver older than
// it needs, or no image for the GPU), or for something no other path mends.
struct RefusingPath {
    bool for_its_code = true;
    int probes = 0;
    int resets = 0;
};
RefusingPath* refusing = nullptr;
const char* refusing_probe() {
    ++refusing->probes;
    return refusing->for_its_code ? "the driver is older than this path needs" : "no GPU";
}
bool refusing_for_its_code() {
    return refusing->for_its_code;
}
const char* refusing_reset() {
    ++refusing->resets;
    return nullptr;
}
const char* unused_operation() {
    ADD_FAILURE() << "an operation of the refusing path";
    return "unused";
}
constexpr DeviceOperations kRefusingOperations{
    refusing_probe,
    [](Particle**, std::size_t) { return unused_operation(); },
    [](Particle*, const Particle*, std::size_t) { return unused_operation(); },
    [](Particle*, int, int, int, double, double, double) { return unused_operation(); },
    [](Particle*, int, int, int, double) { return unused_operation(); },
    [] { return unused_operation(); },
    [](Particle*, const Particle*, std::size_t) { return unused_operation(); },
    refusing_reset,
    true,
    "the first path",
    refusing_for_its_code};
DeviceOperations named(DeviceOperations operations, const char* name) {
    operations.name = name;
    return operations;
}
const DeviceOperations kFakeFallback = named(kFakeOperations, "the fallback path");

// Where the first path refuses for its own code, the fallback (the driver API with its own
// images) runs the frames and a line names both; where the fallback refuses too, its refusal is
// the note; a refusal no other path mends, or a first path that runs, never probes it.
TEST_F(DriverTest, APathRefusedForItsCodeFallsBackToTheOtherPathBeforeTheCpu) {
    struct Case {
        bool for_its_code;
        bool fallback_refuses;
        StepBackend backend;
        std::string note;
        int fallback_probes;
    };
    const std::string cpu = "; running the simulation on the CPU with " + cpu_threads_text() + "\n";
    const Case cases[] = {
        {true, false, StepBackend::gpu,
         "lumeth: the first path cannot run the kernels here (the driver is older than this path "
         "needs); running the simulation on the GPU through the fallback path\n",
         1},
        {true, true, StepBackend::cpu_no_device,
         "lumeth: no usable CUDA device (injected failure of probe)" + cpu, 1},
        {false, false, StepBackend::cpu_no_device, "lumeth: no usable CUDA device (no GPU)" + cpu,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        restart();
        RefusingPath path{c.for_its_code};
        refusing = &path;
        device_.fail = c.fallback_refuses;
        install_device_operations(&kRefusingOperations, &kFakeFallback);
        const int count = 1001;
        Particles particles = galaxy(count);
        testing::internal::CaptureStderr();
        const Particles expected = run_frames(particles, 2);
        release_gpu();
        const std::string err = testing::internal::GetCapturedStderr();
        refusing = nullptr;

        EXPECT_EQ(err, c.note);
        EXPECT_EQ(step_backend(), c.backend);
        EXPECT_TRUE(same_bits(particles, expected));
        EXPECT_EQ(path.probes, 1);
        EXPECT_EQ(device_.count_of(Operation::probe), c.fallback_probes);
        // The refused path gives back what its probe took before the fallback takes over; the
        // fallback's device is released at the end.
        EXPECT_EQ(path.resets, c.backend == StepBackend::gpu ? 1 : 0);
        EXPECT_EQ(device_.count_of(Operation::reset), c.backend == StepBackend::gpu ? 1 : 0);
        EXPECT_EQ(device_.count_of(Operation::launch_forces),
                  c.backend == StepBackend::gpu ? 2 : 0);
    }
    // A first path that runs: the fallback is never asked.
    restart();
    install_device_operations(&kFakeOperations, &kFakeFallback);
    Particles particles = galaxy(300);
    testing::internal::CaptureStderr();
    run_frames(particles, 1);
    release_gpu();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(device_.count_of(Operation::probe), 1);
}

TEST_F(DriverTest, NothingTouchesTheDeviceBeforeTheFirstStep) {
    Particles particles = galaxy(10);
    const Particles before = particles;
    testing::internal::CaptureStderr();
    step_forces(particles.data(), 0);
    step_integrate(particles.data(), -5, lumeth::kTimeStep);
    release_gpu();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(device_.calls.empty()) << "first call: " << device_.calls.front();
    EXPECT_EQ(step_backend(), StepBackend::undecided);
    EXPECT_TRUE(same_bits(particles, before));
}

// --- The device path, on the fake device -------------------------------------------------------

TEST_F(DriverTest, FramesCopyUpLaunchWaitAndCopyBackThroughOneBufferPerStepFunction) {
    const int count = 1001;
    const std::size_t bytes = count * sizeof(Particle);
    const double dt = std::nextafter(lumeth::kTimeStep, 0.0);  // passed on unchanged
    Particles particles = galaxy(count);
    Particles expected = particles;

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (int frame = 0; frame < 3; ++frame) {
        step_forces(particles.data(), count);
        expected = reference_forces(expected);
        EXPECT_TRUE(same_bits(particles, expected)) << "frame " << frame;
        step_integrate(particles.data(), count, dt);
        expected = reference_integrate(expected, dt);
        EXPECT_TRUE(same_bits(particles, expected)) << "frame " << frame;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(step_backend(), StepBackend::gpu);

    // The probe once; each step function allocates its own buffer on its first call only.
    const int f = 0;  // the force step's buffer, allocated first
    const int g = 1;  // the integration step's buffer
    std::vector<Call> expected_calls = {{Operation::probe, -1, 0}};
    for (int frame = 0; frame < 3; ++frame) {
        if (frame == 0) {
            expected_calls.push_back({Operation::allocate, f, bytes});
        }
        expected_calls.push_back({Operation::copy_to_device, f, bytes});
        expected_calls.push_back({Operation::launch_forces, f, 0});
        expected_calls.push_back({Operation::synchronize, -1, 0});
        expected_calls.push_back({Operation::copy_to_host, f, bytes});
        if (frame == 0) {
            expected_calls.push_back({Operation::allocate, g, bytes});
        }
        expected_calls.push_back({Operation::copy_to_device, g, bytes});
        expected_calls.push_back({Operation::launch_integrate, g, 0});
        expected_calls.push_back({Operation::synchronize, -1, 0});
        expected_calls.push_back({Operation::copy_to_host, g, bytes});
    }
    EXPECT_EQ(device_.calls, expected_calls);
    ASSERT_EQ(device_.allocations.size(), 2u);
    EXPECT_NE(device_.allocations[0].get(), device_.allocations[1].get());

    ASSERT_EQ(device_.launches.size(), 6u);
    for (const Launch& launch : device_.launches) {
        EXPECT_EQ(launch.count, count);
        EXPECT_EQ(launch.blocks, 4);
        EXPECT_EQ(launch.threads_per_block, 256);
        if (launch.kernel == Operation::launch_forces) {
            // The black hole at the origin: +0.0 in every coordinate.
            EXPECT_EQ(bit_pattern(launch.center_x), 0u);
            EXPECT_EQ(bit_pattern(launch.center_y), 0u);
            EXPECT_EQ(bit_pattern(launch.center_z), 0u);
        } else {
            EXPECT_EQ(bit_pattern(launch.dt), bit_pattern(dt));
        }
    }

    release_gpu();
    EXPECT_EQ(device_.count_of(Operation::reset), 1);
    EXPECT_EQ(device_.calls.back().operation, Operation::reset);
}

TEST_F(DriverTest, EachLaunchCoversTheArrayWithBlocksOf256Threads) {
    struct Case {
        int count;
        int blocks;
    };
    const Case cases[] = {{1, 1},   {255, 1}, {256, 1},      {257, 2},
                          {512, 2}, {513, 3}, {100000, 391}, {25600, 100}};
    for (const Case& c : cases) {
        SCOPED_TRACE("count " + std::to_string(c.count));
        restart();
        device_.run_kernels = false;
        Particles particles(static_cast<std::size_t>(c.count));
        step_forces(particles.data(), c.count);
        step_integrate(particles.data(), c.count, lumeth::kTimeStep);
        ASSERT_EQ(device_.launches.size(), 2u);
        for (const Launch& launch : device_.launches) {
            EXPECT_EQ(launch.blocks, c.blocks);
            EXPECT_EQ(launch.threads_per_block, 256);
            EXPECT_EQ(launch.count, c.count);
        }
        EXPECT_EQ(device_.allocation_bytes[0], static_cast<std::size_t>(c.count) * 80u);
    }
}

TEST_F(DriverTest, FirstStepMayBeTheIntegrationAndStillProbesOnce) {
    const int count = 300;
    Particles particles = reference_forces(galaxy(count));
    const Particles expected = reference_integrate(particles, lumeth::kTimeStep);
    step_integrate(particles.data(), count, lumeth::kTimeStep);
    EXPECT_TRUE(same_bits(particles, expected));
    step_forces(particles.data(), count);
    EXPECT_TRUE(same_bits(particles, reference_forces(expected)));
    EXPECT_EQ(device_.count_of(Operation::probe), 1);
    EXPECT_EQ(device_.count_of(Operation::allocate), 2);
    EXPECT_EQ(step_backend(), StepBackend::gpu);
}

TEST_F(DriverTest, AFailedDeviceResetIsReportedOnStandardError) {
    Particles particles = galaxy(10);
    step_forces(particles.data(), 10);
    device_.fail = true;
    device_.fail_operation = Operation::reset;
    testing::internal::CaptureStderr();
    release_gpu();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "lumeth: resetting the CUDA device failed (injected failure of reset)\n");
}

// --- Failures during a step --------------------------------------------------------------------

struct Fault {
    Operation operation;
    int on_call;            // which call of the operation fails
    const char* step_name;  // the step function it happens in
    const char* action;     // what the driver reports it was doing
    // A failed copy back: the share of the array it writes before it breaks off, ending
    // inside a record.
    double written_share = 0.0;
};

std::ostream& operator<<(std::ostream& out, const Fault& fault) {
    return out << operation_name(fault.operation) << " call " << fault.on_call << ", "
               << fault.written_share << " written";
}

// Frames of step_forces then step_integrate; the calls of each operation are numbered in that
// order (allocate: 1 forces, 2 integration; the others: 1, 2 in the first frame, 3, 4 in the
// second; the two launches and the waits are counted per kernel / overall).
const Fault kFaults[] = {
    {Operation::allocate, 1, "step_forces", "allocating the device buffer"},
    {Operation::allocate, 2, "step_integrate", "allocating the device buffer"},
    {Operation::copy_to_device, 1, "step_forces", "copying the particles to the device"},
    {Operation::copy_to_device, 2, "step_integrate", "copying the particles to the device"},
    {Operation::copy_to_device, 3, "step_forces", "copying the particles to the device"},
    {Operation::launch_forces, 1, "step_forces", "launching compute_forces_kernel"},
    {Operation::launch_forces, 2, "step_forces", "launching compute_forces_kernel"},
    {Operation::launch_integrate, 1, "step_integrate", "launching integrate_kernel"},
    {Operation::launch_integrate, 2, "step_integrate", "launching integrate_kernel"},
    {Operation::synchronize, 1, "step_forces", "waiting for compute_forces_kernel"},
    {Operation::synchronize, 2, "step_integrate", "waiting for integrate_kernel"},
    {Operation::synchronize, 4, "step_integrate", "waiting for integrate_kernel"},
    {Operation::copy_to_host, 1, "step_forces", "copying the particles back from the device"},
    {Operation::copy_to_host, 2, "step_integrate", "copying the particles back from the device"},
    {Operation::copy_to_host, 3, "step_forces", "copying the particles back from the device"},
    {Operation::copy_to_host, 1, "step_forces", "copying the particles back from the device", 0.6},
    {Operation::copy_to_host, 2, "step_integrate", "copying the particles back from the device",
     0.6},
    {Operation::copy_to_host, 4, "step_integrate", "copying the particles back from the device",
     1.0},
};

class FaultTest : public DriverTest, public testing::WithParamInterface<Fault> {};

// The failing step's result is the CPU's, the failure is reported once with the operation's
// own text, and no device operation follows it: every later step runs on the CPU.
TEST_P(FaultTest, FailedStepIsCarriedOutOnTheCpuAndEveryLaterStepToo) {
    const Fault& fault = GetParam();
    device_.fail = true;
    device_.fail_operation = fault.operation;
    device_.fail_on_call = fault.on_call;
    const int count = 2001;  // three sampled records: 0, 1000, 2000
    // Whole records and then part of the next one's position.
    device_.written_by_failed_copy_back =
        static_cast<std::size_t>(fault.written_share * count) * sizeof(Particle) +
        (fault.written_share > 0.0 && fault.written_share < 1.0 ? 12 : 0);
    Particles particles = galaxy(count);
    Particles expected = particles;
    std::size_t calls_at_failure = 0;

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (int frame = 0; frame < 4; ++frame) {
        step_forces(particles.data(), count);
        expected = reference_forces(expected);
        EXPECT_TRUE(same_bits(particles, expected)) << "forces, frame " << frame;
        step_integrate(particles.data(), count, lumeth::kTimeStep);
        expected = reference_integrate(expected, lumeth::kTimeStep);
        EXPECT_TRUE(same_bits(particles, expected)) << "integration, frame " << frame;
        if (calls_at_failure == 0 && step_backend() == StepBackend::cpu_after_failure) {
            calls_at_failure = device_.calls.size();
        }
    }
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(err, std::string("lumeth: GPU failure in ") + fault.step_name + " while " +
                       fault.action + " (" + injected_failure_text(fault.operation) +
                       "); running this and every later step on the CPU with " +
                       cpu_threads_text() + "\n");
    EXPECT_EQ(count_lines(err), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(step_backend(), StepBackend::cpu_after_failure);
    ASSERT_FALSE(device_.calls.empty());
    EXPECT_EQ(device_.calls.back().operation, fault.operation)
        << "a device operation followed the failure";
    EXPECT_EQ(device_.calls.size(), calls_at_failure);

    release_gpu();  // the device was used: it is reset even after a failure
    EXPECT_EQ(device_.calls.back().operation, Operation::reset);
}

INSTANTIATE_TEST_SUITE_P(
    EveryOperation, FaultTest, testing::ValuesIn(kFaults),
    [](const testing::TestParamInfo<Fault>& info) {
        return std::string(operation_name(info.param.operation)) + "_call" +
               std::to_string(info.param.on_call) +
               (info.param.written_share > 0.0
                    ? "_writes" + std::to_string(static_cast<int>(info.param.written_share * 100)) +
                          "percent"
                    : "");
    });

TEST_F(DriverTest, ACountLargerThanTheDeviceBufferFallsBackToTheCpu) {
    Particles particles = galaxy(600);
    step_forces(particles.data(), 500);
    const std::size_t calls = device_.calls.size();
    const Particles expected = reference_forces(particles);

    testing::internal::CaptureStderr();
    step_forces(particles.data(), 600);
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(err,
              "lumeth: GPU failure in step_forces while checking the particle count (600 "
              "records do not fit the device buffer of 500 records); running this and "
              "every later step on the CPU with " +
                  cpu_threads_text() + "\n");
    EXPECT_TRUE(same_bits(particles, expected));
    EXPECT_EQ(device_.calls.size(), calls) << "the device was touched";
    EXPECT_EQ(step_backend(), StepBackend::cpu_after_failure);
}

// --- This build's own device operations --------------------------------------------------------

// Where this machine has no usable device (no driver, no GPU, or a build without GPU code), the
// driver says so once in the table's words and the steps follow the reference.
TEST(PlatformDevice, WithoutAUsableDeviceTheDriverSaysSoOnceAndRunsOnTheCpu) {
    install_device_operations(nullptr);
    const char* why = lumeth::platform_device_operations().probe();
    if (why == nullptr) {
        GTEST_SKIP() << "a usable CUDA device is present; the GPU tests cover this machine";
    }
    const int count = 1001;
    Particles particles = galaxy(count);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const Particles expected = run_frames(particles, 2);
    release_gpu();
    const std::string note = lumeth::platform_device_operations().has_gpu_code
                                 ? std::string("no usable CUDA device (") + why + ")"
                                 : std::string(why);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "lumeth: " + note + "; running the simulation on the CPU with " + cpu_threads_text() +
                  "\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(step_backend(), StepBackend::cpu_no_device);
    EXPECT_TRUE(same_bits(particles, expected));
}

// --- The exported hint for hybrid-graphics drivers ---------------------------------------------

TEST(NvOptimusEnablementCuda, IsA32BitOneInTheDynamicSymbolTable) {
    EXPECT_EQ(sizeof NvOptimusEnablementCuda, 4u);
    EXPECT_EQ(NvOptimusEnablementCuda, 1);
#if defined(__linux__)
    // dlsym finds only what the executable exports, as the NVIDIA driver looks it up.
    void* symbol = dlsym(RTLD_DEFAULT, "NvOptimusEnablementCuda");
    ASSERT_NE(symbol, nullptr) << "not exported: " << dlerror();
#elif defined(_WIN32)
    // GetProcAddress on the executable's own module reads its export table.
    void* symbol = reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(nullptr), "NvOptimusEnablementCuda"));
    ASSERT_NE(symbol, nullptr) << "not exported: error " << GetLastError();
#else
    void* symbol = nullptr;
    GTEST_SKIP() << "the export table is checked on Linux and Windows only";
#endif
    EXPECT_EQ(symbol, static_cast<void*>(&NvOptimusEnablementCuda));
    EXPECT_EQ(*static_cast<const std::int32_t*>(symbol), 1);
}

}  // namespace
