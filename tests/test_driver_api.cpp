// The driver API table (src/gpu/driver_api_operations.cpp) under the step driver, on the
// stand-in driver library (cuda_driver_stand_in.cpp), which runs the kernels with the reference
// per-particle functions on exactly the grid and parameters it is given: the frames' results
// and calls, every case of the note without a usable GPU, and failures mid-step, with the
// driver's own texts. The stand-in is found where the platform's loader looks (the test's
// library path on Linux, beside the test program on Windows).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "compare.h"
#include "gpu/cuda_driver.h"
#include "gpu/device_operations.h"
#include "gpu/driver_api_testing.h"
#include "gpu/image_choice.h"
#include "gpu/step_driver.h"
#include "gpu/step_driver_testing.h"
#include "gpu/unusable_device.h"
#include "kernels/cpu_kernels.h"
#include "kernels/kernels_image.h"
#include "sim/constants.h"
#include "sim/initial_conditions.h"

namespace {

using lumeth::StepBackend;
using Particles = std::vector<Particle>;

#if defined(_WIN32)
constexpr const char* kThisCode = "this program";
#else
constexpr const char* kThisCode = "this build";
#endif

// --- The stand-in ------------------------------------------------------------------------------

// One of the stand-in's own report functions, from the library the table loaded.
const char* stand_in_report(const char* function) {
    const auto report = reinterpret_cast<const char* (*)()>(
        lumeth::find_in_loaded_cuda_driver(lumeth::cuda_driver_library(), function));
    return report != nullptr ? report() : "(the stand-in driver library is not loaded)";
}

// The calls since the last cuInit, one a line.
std::string stand_in_log() {
    return stand_in_report("lumeth_stand_in_log");
}

constexpr const char* kNothingHeld = "context held 0 times, 0 allocations, 0 modules";

std::string stand_in_state() {
    return stand_in_report("lumeth_stand_in_state");
}

void set_stand_in(const std::string& settings) {
#if defined(_WIN32)
    _putenv_s("LUMETH_CUDA_STAND_IN", settings.c_str());
#else
    setenv("LUMETH_CUDA_STAND_IN", settings.c_str(), 1);
#endif
}

// A PCI device listing as sysfs has it, one folder per device with its vendor id, made once in
// the tests' temporary folder; `vendor` empty: a folder that does not exist.
std::string pci_devices(const std::string& vendor) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(testing::TempDir()) / ("lumeth-pci-" + vendor);
    if (vendor.empty()) {
        return (folder / "absent").string();
    }
    for (const char* device : {"0000:00:00.0", "0000:01:00.0"}) {
        fs::create_directories(folder / device);
        // The host bridge is Intel's; the second device has the vendor asked for.
        std::ofstream(folder / device / "vendor")
            << (device[6] == '0' ? std::string("0x8086") : vendor) << "\n";
    }
    return folder.string();
}

const std::string& nvidia_pci_devices() {
    static const std::string folder = pci_devices("0x10de");
    return folder;
}

// Every test starts with an undecided step driver on the driver API table, which loads
// `library` (nullptr: the platform's driver library, here the stand-in) at its first probe and
// finds the PCI devices listed in `pci` (by default an NVIDIA GPU among them), and a stand-in
// set up by `settings`.
class DriverApiTest : public testing::Test {
  protected:
    void start(const std::string& settings, const char* library = nullptr,
               const std::string& pci = nvidia_pci_devices()) {
        set_stand_in(settings);
        pci_ = pci;
        lumeth::driver_api_testing::use_driver_library(library, pci_.c_str());
        lumeth::driver_testing::install_device_operations(&lumeth::cuda_driver_api_operations());
    }
    void TearDown() override {
        release_gpu();
        lumeth::driver_testing::install_device_operations(nullptr);
        lumeth::driver_api_testing::use_driver_library(nullptr);
        set_stand_in("");
    }
    std::string pci_;
};

Particles galaxy(int count) {
    Particles particles(static_cast<std::size_t>(count));
    lumeth::generate_galaxy(particles.data(), count, 0x5eed2024u);
    return particles;
}

// One frame of the reference loops.
void reference_frame(Particles& particles, double dt) {
    const int count = static_cast<int>(particles.size());
    lumeth::compute_forces_reference(particles.data(), count, 0.0, 0.0, 0.0);
    lumeth::integrate_reference(particles.data(), count, dt);
}

testing::AssertionResult same_records(const Particles& actual, const Particles& expected) {
    const lumeth::bench::Comparison c = lumeth::bench::compare_exact(
        expected.data(), actual.data(), static_cast<int>(expected.size()));
    if (c.differing == 0) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure()
           << lumeth::bench::describe(c) << ", the first is record " << c.first_differing;
}

std::string cpu_threads_text() {
    const int threads = lumeth::cpu_thread_count();
    return std::to_string(threads) + (threads == 1 ? " thread" : " threads");
}

// "13.0": the CUDA version the kernels' fat binary was built with.
std::string needed_cuda() {
    return lumeth::cuda_version_text(lumeth::kernels_image().cuda_version);
}

// Whether the build carries NVRTC's images (CUDA 12 code, cubins from 6.0 on) beside the fat
// binary (CUDA 13 code from 7.5 on): they set the oldest driver and GPU the notes name.
bool carries_nvrtc_images() {
    return lumeth::kernels_image().nvrtc_image_count > 0;
}
std::string minimum_driver() {
    return carries_nvrtc_images() ? "R525" : "R580";
}
std::string minimum_driver_cuda() {
    return carries_nvrtc_images() ? "12.0" : "13.0";
}
std::string lowest_capability() {
    return carries_nvrtc_images() ? "6.0" : "7.5";
}

// --- Frames on the stand-in --------------------------------------------------------------------

// Two frames of 1001 records: both kernels on their own buffers, every step the whole array up,
// the launch over 4 blocks of 256 threads on the default stream, a wait, the whole array back;
// at release the context goes with both buffers. The results are the reference's, bit for bit.
TEST_F(DriverApiTest, FramesFollowTheReferenceThroughWholeArrayCopiesAndOneWaitPerLaunch) {
    const int count = 1001;
    const double dt = std::nextafter(lumeth::kTimeStep, 0.0);  // passed on unchanged
    start("");
    Particles particles = galaxy(count);
    Particles expected = particles;
    testing::internal::CaptureStderr();
    for (int frame = 0; frame < 2; ++frame) {
        step_forces(particles.data(), count);
        step_integrate(particles.data(), count, dt);
        reference_frame(expected, dt);
        EXPECT_TRUE(same_records(particles, expected)) << "frame " << frame;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(lumeth::step_backend(), StepBackend::gpu);
    release_gpu();

    const std::string bytes = std::to_string(count * 80);
    const std::string forces = lumeth::kForcesKernelDeviceName;
    const std::string integrate = lumeth::kIntegrateKernelDeviceName;
    const std::string launch = ", grid 4x1x1, block 256x1x1, shared 0, default stream)\n";
    std::string expected_log =
        "cuInit(0)\n"
        "cuDriverGetVersion()\n"
        "cuDeviceGetCount()\n"
        "cuDeviceGet(0)\n"
        "cuDeviceGetAttribute(75, 0)\n"  // the compute capability, which picks the image
        "cuDeviceGetAttribute(76, 0)\n"
        "cuDevicePrimaryCtxRetain(0)\n"
        "cuCtxSetCurrent()\n"
        "cuModuleLoadData()\n"
        "cuModuleGetFunction(" +
        forces +
        ")\n"
        "cuFuncGetAttribute(0)\n"
        "cuModuleGetFunction(" +
        integrate +
        ")\n"
        "cuFuncGetAttribute(0)\n";
    for (int frame = 0; frame < 2; ++frame) {
        for (int buffer = 0; buffer < 2; ++buffer) {
            const std::string which = "allocation " + std::to_string(buffer) + ", " + bytes + ")\n";
            if (frame == 0) {
                expected_log += "cuMemAlloc_v2(" + bytes + ")\n";
            }
            expected_log += "cuMemcpyHtoD_v2(" + which;
            expected_log += "cuLaunchKernel(" + (buffer == 0 ? forces : integrate) + launch;
            expected_log += "cuCtxSynchronize()\n";
            expected_log += "cuMemcpyDtoH_v2(" + which;
        }
    }
    expected_log +=
        "cuMemFree_v2(allocation 0)\n"
        "cuMemFree_v2(allocation 1)\n"
        "cuModuleUnload()\n"
        "cuDevicePrimaryCtxRelease_v2(0)\n"
        "  destroyed the context with 0 allocations\n";
    EXPECT_EQ(stand_in_log(), expected_log);
    EXPECT_EQ(stand_in_state(), kNothingHeld);
}

// The grid covers the array, one thread per record: with fewer blocks the last records would
// keep their values, with more the stand-in's log shows it.
TEST_F(DriverApiTest, EachLaunchCoversTheArrayWithBlocksOf256Threads) {
    struct Case {
        int count;
        int blocks;
    };
    for (const Case& c : {Case{1, 1}, Case{256, 1}, Case{257, 2}, Case{2048, 8}, Case{2049, 9}}) {
        SCOPED_TRACE("count " + std::to_string(c.count));
        start("");
        Particles particles = galaxy(c.count);
        Particles expected = particles;
        step_forces(particles.data(), c.count);
        step_integrate(particles.data(), c.count, lumeth::kTimeStep);
        reference_frame(expected, lumeth::kTimeStep);
        EXPECT_TRUE(same_records(particles, expected));
        const std::string grid = ", grid " + std::to_string(c.blocks) + "x1x1, block 256x1x1";
        const std::string log = stand_in_log();
        for (const char* kernel :
             {lumeth::kForcesKernelDeviceName, lumeth::kIntegrateKernelDeviceName}) {
            EXPECT_NE(log.find(std::string("cuLaunchKernel(") + kernel + grid), std::string::npos)
                << log;
        }
        release_gpu();
    }
}

// The probe's answer holds until the release: probing again takes no second hold on the context
// and loads no second module. The release frees the buffers and unloads the module itself, so
// nothing stays even where another holder (the CUDA runtime, say) keeps the context alive; a
// probe after it starts over.
TEST_F(DriverApiTest, ProbingAgainHoldsNothingMoreAndTheReleaseGivesBackEverything) {
    start("");
    const lumeth::DeviceOperations& operations = lumeth::cuda_driver_api_operations();
    ASSERT_EQ(operations.probe(), nullptr);
    ASSERT_EQ(operations.probe(), nullptr);
    EXPECT_EQ(stand_in_state(), "context held 1 times, 0 allocations, 1 module");
    Particle* buffer = nullptr;
    ASSERT_EQ(operations.allocate(&buffer, 10 * sizeof(Particle)), nullptr);

    using Retain = lumeth::CUresult (*)(lumeth::CUcontext*, lumeth::CUdevice);
    using Release = lumeth::CUresult (*)(lumeth::CUdevice);
    const auto retain = reinterpret_cast<Retain>(lumeth::find_in_loaded_cuda_driver(
        lumeth::cuda_driver_library(), "cuDevicePrimaryCtxRetain"));
    const auto release = reinterpret_cast<Release>(lumeth::find_in_loaded_cuda_driver(
        lumeth::cuda_driver_library(), "cuDevicePrimaryCtxRelease_v2"));
    ASSERT_TRUE(retain != nullptr && release != nullptr);
    lumeth::CUcontext other_hold = nullptr;
    ASSERT_EQ(retain(&other_hold, 0), lumeth::kCudaSuccess);
    EXPECT_EQ(operations.reset(), nullptr);
    EXPECT_EQ(stand_in_state(), "context held 1 times, 0 allocations, 0 modules");
    ASSERT_EQ(release(0), lumeth::kCudaSuccess);
    EXPECT_EQ(stand_in_state(), kNothingHeld);

    // Usable again: a frame on the "GPU" follows the reference.
    ASSERT_EQ(operations.probe(), nullptr);
    lumeth::driver_testing::install_device_operations(&operations);
    Particles particles = galaxy(300);
    Particles expected = particles;
    step_forces(particles.data(), 300);
    step_integrate(particles.data(), 300, lumeth::kTimeStep);
    reference_frame(expected, lumeth::kTimeStep);
    EXPECT_EQ(lumeth::step_backend(), StepBackend::gpu);
    EXPECT_TRUE(same_records(particles, expected));
    release_gpu();
    EXPECT_EQ(stand_in_state(), kNothingHeld);
}

// A context is current per thread: steps from a thread other than the one that probed, and the
// release from a third, run on the "GPU" as from the first.
TEST_F(DriverApiTest, StepsAndReleaseFromOtherThreadsThanTheProbesRunOnTheGpu) {
    start("");
    const int count = 1001;
    Particles particles = galaxy(count);
    Particles expected = particles;
    testing::internal::CaptureStderr();
    step_forces(particles.data(), count);
    step_integrate(particles.data(), count, lumeth::kTimeStep);
    reference_frame(expected, lumeth::kTimeStep);
    std::thread([&] {
        step_forces(particles.data(), count);
        step_integrate(particles.data(), count, lumeth::kTimeStep);
    }).join();
    reference_frame(expected, lumeth::kTimeStep);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(lumeth::step_backend(), StepBackend::gpu);
    EXPECT_TRUE(same_records(particles, expected));
    std::thread([] { release_gpu(); }).join();
    EXPECT_EQ(stand_in_state(), kNothingHeld);
}

// The images have code for every GPU from their lowest architecture on: the fat binary machine
// code for 7.5, 8.0, 8.6 (also run by 8.7 and 8.9), 9.0, 10.0 and 12.0 (also run by 12.1), PTX
// for the rest; NVRTC's cubins from 6.0 on, which a driver of CUDA 12.9 runs beside its PTX.
TEST_F(DriverApiTest, TheImageRunsOnEveryGpuFromItsLowestArchitectureOn) {
    std::vector<std::pair<int, const char*>> gpus;
    for (const char* capability :
         {"7.5", "8.0", "8.6", "8.7", "8.9", "9.0", "10.0", "10.3", "12.0", "12.1", "13.0"}) {
        gpus.emplace_back(13000, capability);
    }
    if (carries_nvrtc_images()) {
        for (const char* capability :
             {"6.0", "6.1", "6.2", "7.0", "7.2", "7.5", "8.9", "10.3", "11.0", "12.1", "13.0"}) {
            gpus.emplace_back(12090, capability);
        }
    }
    for (const auto& [driver, capability] : gpus) {
        SCOPED_TRACE("driver " + std::to_string(driver) + ", compute capability " + capability);
        start("version=" + std::to_string(driver) + ",capability=" + capability);
        Particles particles = galaxy(300);
        step_forces(particles.data(), 300);
        EXPECT_EQ(lumeth::step_backend(), StepBackend::gpu);
        release_gpu();
        EXPECT_EQ(stand_in_state(), kNothingHeld);
    }
}

// The choice of image, on an image set written out here: a CUDA 13.0 fat binary with machine
// code for 7.5 to 12.0 and PTX for 8.6 and 12.1, NVRTC 12.9 cubins for 6.0 to 12.0 and PTX for
// 6.0; and the same fat binary alone. Each case: the image loaded or the refusal, with the
// driver a refusal names.
TEST(ImageChoice, EachDriverAndComputeCapabilityGetsTheImageTheTableStates) {
    using lumeth::ImageKind;
    static const unsigned char fat_binary[1] = {0};
    static const unsigned char cubins[8][1] = {};
    static const unsigned char ptx[1] = {0};
    const int machine_code[] = {75, 80, 86, 90, 100, 120};
    const int fat_ptx[] = {86, 121};
    const int nvrtc_machine_code[] = {60, 70, 75, 80, 86, 90, 100, 120};
    std::vector<lumeth::NvrtcImage> nvrtc;
    for (int k = 0; k < 8; ++k) {
        nvrtc.push_back({nvrtc_machine_code[k], false, cubins[k], 1});
    }
    nvrtc.push_back({60, true, ptx, 1});
    const lumeth::KernelsImage with_nvrtc{fat_binary, 1, 13000,        75, machine_code, 6,
                                          fat_ptx,    2, nvrtc.data(), 9,  12090};
    lumeth::KernelsImage alone = with_nvrtc;
    alone.nvrtc_image_count = 0;
    alone.nvrtc_cuda_version = 0;

    const unsigned char* none = nullptr;
    const auto cubin = [&](int architecture) {
        for (int k = 0; k < 8; ++k) {
            if (nvrtc_machine_code[k] == architecture) {
                return cubins[k];
            }
        }
        return none;
    };
    struct Case {
        bool nvrtc;
        int driver;
        int capability;
        ImageKind kind;
        const unsigned char* image;
        int architecture;  // of the image; of a refusal, the lowest any image has code for
        int needed;        // the driver a refusal names
    };
    const Case cases[] = {
        // The fat binary wherever the driver runs CUDA 13 code and it has code for the GPU.
        {true, 13000, 75, ImageKind::fat_binary, fat_binary, 75, 13000},
        {true, 13000, 89, ImageKind::fat_binary, fat_binary, 89, 13000},
        {true, 13020, 110, ImageKind::fat_binary, fat_binary, 110, 13000},  // its 8.6 PTX
        {true, 13000, 121, ImageKind::fat_binary, fat_binary, 121, 13000},
        // NVRTC's cubin of the GPU's major version nearest below it, on CUDA 12 drivers and
        // where the fat binary has no code for the GPU.
        {true, 13000, 61, ImageKind::nvrtc_cubin, cubin(60), 60, 12000},
        {true, 13000, 70, ImageKind::nvrtc_cubin, cubin(70), 70, 12000},
        {true, 12000, 61, ImageKind::nvrtc_cubin, cubin(60), 60, 12000},
        {true, 12000, 72, ImageKind::nvrtc_cubin, cubin(70), 70, 12000},
        {true, 12000, 80, ImageKind::nvrtc_cubin, cubin(80), 80, 12000},
        {true, 12080, 89, ImageKind::nvrtc_cubin, cubin(86), 86, 12000},
        {true, 12080, 103, ImageKind::nvrtc_cubin, cubin(100), 100, 12000},
        {true, 12090, 121, ImageKind::nvrtc_cubin, cubin(120), 120, 12000},
        // NVRTC's PTX for a GPU without a cubin of its major version, from a CUDA 12.9 driver.
        {true, 12090, 110, ImageKind::nvrtc_ptx, ptx, 60, 12090},
        {true, 12080, 110, ImageKind::driver_too_old, none, 60, 12090},
        // Refusals: a driver older than every image the GPU could run; a GPU no image has
        // code for, whatever the driver.
        {true, 11080, 61, ImageKind::driver_too_old, none, 60, 12000},
        {true, 11080, 120, ImageKind::driver_too_old, none, 60, 12000},
        {true, 11080, 52, ImageKind::no_code_for_gpu, none, 60, 0},
        {true, 13000, 52, ImageKind::no_code_for_gpu, none, 60, 0},
        {true, 13000, 35, ImageKind::no_code_for_gpu, none, 60, 0},
        // The fat binary alone.
        {false, 13000, 80, ImageKind::fat_binary, fat_binary, 80, 13000},
        {false, 12080, 80, ImageKind::driver_too_old, none, 75, 13000},
        {false, 13000, 61, ImageKind::no_code_for_gpu, none, 75, 0},
        {false, 13000, 70, ImageKind::no_code_for_gpu, none, 75, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.nvrtc ? "with NVRTC" : "fat binary alone") + ", driver " +
                     std::to_string(c.driver) + ", compute capability " +
                     std::to_string(c.capability));
        const lumeth::ImageChoice choice =
            lumeth::choose_kernels_image(c.nvrtc ? with_nvrtc : alone, c.driver, c.capability);
        EXPECT_EQ(choice.kind, c.kind);
        EXPECT_EQ(choice.data, c.image);
        if (c.image != fat_binary) {
            EXPECT_EQ(choice.architecture, c.architecture);
        }
        if (c.kind == ImageKind::driver_too_old || c.image != nullptr) {
            EXPECT_EQ(choice.needed_cuda_version, c.needed);
        }
    }
    EXPECT_EQ(lumeth::lowest_needed_cuda_version(with_nvrtc), 12000);
    EXPECT_EQ(lumeth::lowest_needed_cuda_version(alone), 13000);
    EXPECT_EQ(lumeth::lowest_image_architecture(with_nvrtc), 60);
    EXPECT_EQ(lumeth::lowest_image_architecture(alone), 75);
}

// Every pair of a driver's CUDA version and a GPU's compute capability among those users have:
// the path each takes on the stand-in, stated here on its own, for a build with NVRTC's images
// (CUDA 12 cubins from 6.0 on, which drivers from CUDA 12.0 on run) and one with the fat binary
// alone (CUDA 13 code from 7.5 on). A GPU no image has code for is told so whatever its driver.
TEST_F(DriverApiTest, EachDriverAndGpuTakesThePathTheTableStates) {
    ASSERT_EQ(lumeth::kernels_image().cuda_version / 1000, 13) << "the table is for CUDA 13 code";
    enum Outcome { kGpu, kDriverTooOld, kNoCodeForGpu };
    struct Case {
        int driver;
        const char* capability;
        Outcome with_nvrtc;
        Outcome fat_binary_alone;
    };
    const Case cases[] = {
        {11080, "5.2", kNoCodeForGpu, kNoCodeForGpu},
        {11080, "6.1", kDriverTooOld, kNoCodeForGpu},
        {11080, "8.0", kDriverTooOld, kDriverTooOld},
        {11080, "12.0", kDriverTooOld, kDriverTooOld},
        {12000, "5.2", kNoCodeForGpu, kNoCodeForGpu},
        {12000, "6.1", kGpu, kNoCodeForGpu},
        {12000, "8.0", kGpu, kDriverTooOld},
        {12000, "12.0", kGpu, kDriverTooOld},
        {12080, "5.2", kNoCodeForGpu, kNoCodeForGpu},
        {12080, "6.1", kGpu, kNoCodeForGpu},
        {12080, "8.0", kGpu, kDriverTooOld},
        {12080, "12.0", kGpu, kDriverTooOld},
        {13000, "5.2", kNoCodeForGpu, kNoCodeForGpu},
        {13000, "6.1", kGpu, kNoCodeForGpu},
        {13000, "8.0", kGpu, kGpu},
        {13000, "12.0", kGpu, kGpu},
    };
    const std::string update = "update the NVIDIA driver to " + minimum_driver() + " or newer";
    for (const Case& c : cases) {
        SCOPED_TRACE("driver " + std::to_string(c.driver) + ", compute capability " + c.capability);
        start("version=" + std::to_string(c.driver) + ",capability=" + c.capability);
        const int count = 300;
        Particles particles = galaxy(count);
        Particles expected = particles;
        testing::internal::CaptureStderr();
        step_forces(particles.data(), count);
        step_integrate(particles.data(), count, lumeth::kTimeStep);
        reference_frame(expected, lumeth::kTimeStep);
        const std::string note = testing::internal::GetCapturedStderr();
        release_gpu();
        switch (carries_nvrtc_images() ? c.with_nvrtc : c.fat_binary_alone) {
            case kGpu:
                EXPECT_EQ(lumeth::step_backend(), StepBackend::gpu);
                EXPECT_EQ(note, "");
                break;
            case kDriverTooOld:
                EXPECT_EQ(lumeth::step_backend(), StepBackend::cpu_no_device);
                EXPECT_NE(note.find(update), std::string::npos) << note;
                break;
            case kNoCodeForGpu:
                EXPECT_EQ(lumeth::step_backend(), StepBackend::cpu_no_device);
                EXPECT_NE(note.find(std::string(" (compute capability ") + c.capability +
                                    "); its GPU path needs compute capability " +
                                    lowest_capability() + " or newer"),
                          std::string::npos)
                    << note;
                break;
        }
        EXPECT_TRUE(same_records(particles, expected));
        EXPECT_EQ(stand_in_state(), kNothingHeld);
    }
}

// --- Without a usable GPU: the note names the case and the remedy ------------------------------

struct Unusable {
    const char* name;
    const char* settings;                    // the stand-in's
    const char* library;                     // nullptr: the stand-in
    std::string reason;                      // the note's text; for "no driver", its start and end
    std::string pci = nvidia_pci_devices();  // the PCI devices listed
};

std::ostream& operator<<(std::ostream& out, const Unusable& u) {
    return out << u.name;
}

std::vector<Unusable> unusable_cases() {
    // The fat binary runs on the stand-in's default GPU (8.6) with its default driver (13.0):
    // a fault of its code names the driver it needs. Before the GPU is known, and for a driver
    // older than every image, the note names the oldest driver that runs some image.
    const std::string needs = kThisCode + std::string(" needs CUDA ") + needed_cuda() +
                              "; update the NVIDIA driver to R580 or newer to use the GPU";
    const std::string minimum = minimum_driver();
    const std::string no_code = kThisCode + std::string(" has no code for the Lumeth stand-in GPU");
    const std::string too_old = "the NVIDIA driver supports CUDA 13.0, " + needs;
    const char* absent = "lumeth-absent-driver-library";
    return {
        {"no_driver_library", "", absent,
         "no NVIDIA driver found (...); install the NVIDIA driver, " + minimum +
             " or newer, to use the GPU"},
        {"no_driver_library_and_no_nvidia_gpu", "", absent,
         "no NVIDIA GPU found (...); the GPU path needs an NVIDIA GPU and its driver, " + minimum +
             " or newer",
         pci_devices("0x1af4")},
        {"no_driver_library_and_no_pci_listing", "", absent,
         "no NVIDIA driver found (...); install the NVIDIA driver, " + minimum +
             " or newer, to use the GPU",
         pci_devices("")},
        {"toolkit_stub_instead_of_a_driver", "fail=cuInit,error=34", nullptr,
         std::string("no NVIDIA driver found (") + lumeth::cuda_driver_library() +
             " is the CUDA toolkit's stub); install the NVIDIA driver, " + minimum +
             " or newer, to use the GPU"},
        {"no_gpu", "devices=0", nullptr,
         "no CUDA-capable GPU found; the GPU path needs an NVIDIA GPU of compute capability " +
             lowest_capability() + " or newer"},
        {"gpu_list_names_no_gpu", "fail=cuInit,error=101", nullptr,
         "no CUDA-capable GPU found; the GPU path needs an NVIDIA GPU of compute capability " +
             lowest_capability() + " or newer"},
        {"driver_library_and_kernel_module_differ", "fail=cuInit,error=803", nullptr,
         "the NVIDIA driver's CUDA library and its kernel module are of different versions; "
         "restart the computer after a driver update, or reinstall the NVIDIA driver, to use "
         "the GPU"},
        {"forward_compatibility_refused", "fail=cuInit,error=804", nullptr,
         "the CUDA forward-compatibility package installed here does not support this GPU; "
         "remove it, or install the NVIDIA driver " +
             minimum + " or newer itself, to use the GPU"},
        {"driver_of_an_older_cuda", "version=11080", nullptr,
         std::string("the NVIDIA driver supports CUDA 11.8, ") + kThisCode + " needs CUDA " +
             minimum_driver_cuda() + "; update the NVIDIA driver to " + minimum +
             " or newer to use the GPU"},
        {"call_needs_a_newer_driver", "fail=cuDevicePrimaryCtxRetain,error=36", nullptr, too_old},
        // With lazy loading the driver compiles the PTX when a kernel is first needed: the same
        // note wherever the failure surfaces.
        {"ptx_too_new_at_module_load", "fail=cuModuleLoadData,error=222", nullptr, too_old},
        {"ptx_too_new_at_kernel_lookup", "fail=cuModuleGetFunction,call=2,error=222", nullptr,
         too_old},
        {"ptx_not_compiled_at_attribute_query", "fail=cuFuncGetAttribute,error=218", nullptr,
         too_old},
        // Below 7.5 no rebuild with a CUDA 13 compiler helps.
        {"no_code_for_compute_capability_5_2", "capability=5.2", nullptr,
         no_code + " (compute capability 5.2); its GPU path needs compute capability " +
             lowest_capability() + " or newer"},
        {"too_few_threads_per_block", "threads=128", nullptr,
         "a kernel cannot run 256 threads per block on this device"},
        {"context_refused", "fail=cuDevicePrimaryCtxRetain,error=2", nullptr,
         "cuDevicePrimaryCtxRetain: CUDA_ERROR_OUT_OF_MEMORY: out of memory"},
        {"kernel_missing", "fail=cuModuleGetFunction,call=2,error=500", nullptr,
         std::string("cuModuleGetFunction(") + lumeth::kIntegrateKernelDeviceName +
             "): CUDA_ERROR_NOT_FOUND: named symbol not found"},
    };
}

class UnusableTest : public DriverApiTest, public testing::WithParamInterface<Unusable> {};

// One line says why, the frames follow the reference on the CPU, no buffer is asked for, and
// nothing is left held on the driver.
TEST_P(UnusableTest, TheNoteNamesTheCaseAndTheRemedyAndTheCpuRunsTheSteps) {
    ASSERT_EQ(lumeth::kernels_image().cuda_version / 1000, 13) << "the notes here name R580";
    ASSERT_TRUE(!carries_nvrtc_images() || lumeth::kernels_image().nvrtc_cuda_version / 1000 == 12)
        << "the notes here name R525";
    const Unusable& u = GetParam();
    start(u.settings, u.library, u.pci);
    const int count = 1001;
    Particles particles = galaxy(count);
    Particles expected = particles;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    for (int frame = 0; frame < 2; ++frame) {
        step_forces(particles.data(), count);
        step_integrate(particles.data(), count, lumeth::kTimeStep);
        reference_frame(expected, lumeth::kTimeStep);
    }
    release_gpu();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();

    const std::string start_of_note = "lumeth: no usable CUDA device (";
    const std::string end_of_note =
        "); running the simulation on the CPU with " + cpu_threads_text() + "\n";
    const std::size_t elided = u.reason.find("(...)");
    if (elided == std::string::npos) {
        EXPECT_EQ(err, start_of_note + u.reason + end_of_note);
    } else {
        // The loader's own text stands between the two parts.
        const std::string head = start_of_note + u.reason.substr(0, elided + 1);
        const std::string tail = u.reason.substr(elided + 4) + end_of_note;
        EXPECT_EQ(err.substr(0, head.size()), head) << err;
        ASSERT_GE(err.size(), head.size() + tail.size()) << err;
        EXPECT_EQ(err.substr(err.size() - tail.size()), tail) << err;
        EXPECT_NE(err.find(u.library), std::string::npos) << err;
    }
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(lumeth::step_backend(), StepBackend::cpu_no_device);
    EXPECT_TRUE(same_records(particles, expected));
    if (u.library == nullptr) {
        EXPECT_EQ(stand_in_log().find("cuMemAlloc_v2"), std::string::npos) << stand_in_log();
        EXPECT_EQ(stand_in_state(), kNothingHeld);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryCase, UnusableTest, testing::ValuesIn(unusable_cases()),
                         [](const testing::TestParamInfo<Unusable>& info) {
                             return std::string(info.param.name);
                         });

// --- Failures during a step --------------------------------------------------------------------

struct Fault {
    const char* entry_point;
    int on_call;            // which call of it fails (frames of step_forces then step_integrate)
    int error;              // the status it fails with
    const char* step_name;  // the step function it happens in
    const char* action;     // what the driver reports it was doing
    std::string text;       // the driver's name and text of the status, or the note
    double written_share;   // a failed copy back: the share of the array it writes first
};

std::ostream& operator<<(std::ostream& out, const Fault& fault) {
    return out << fault.entry_point << " call " << fault.on_call << ", error " << fault.error;
}

constexpr const char* kCopyBack = "copying the particles back from the device";
std::vector<Fault> faults() {
    return {
        {"cuMemAlloc_v2", 1, 2, "step_forces", "allocating the device buffer",
         "CUDA_ERROR_OUT_OF_MEMORY: out of memory", 0.0},
        {"cuMemAlloc_v2", 2, 2, "step_integrate", "allocating the device buffer",
         "CUDA_ERROR_OUT_OF_MEMORY: out of memory", 0.0},
        {"cuMemcpyHtoD_v2", 1, 999, "step_forces", "copying the particles to the device",
         "CUDA_ERROR_UNKNOWN: unknown error", 0.0},
        {"cuMemcpyHtoD_v2", 4, 1, "step_integrate", "copying the particles to the device",
         "CUDA_ERROR_INVALID_VALUE: invalid argument", 0.0},
        {"cuLaunchKernel", 1, 701, "step_forces", "launching compute_forces_kernel",
         "CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES: too many resources requested for launch", 0.0},
        {"cuLaunchKernel", 4, 1, "step_integrate", "launching integrate_kernel",
         "CUDA_ERROR_INVALID_VALUE: invalid argument", 0.0},
        {"cuCtxSynchronize", 1, 719, "step_forces", "waiting for compute_forces_kernel",
         "CUDA_ERROR_LAUNCH_FAILED: unspecified launch failure", 0.0},
        {"cuCtxSynchronize", 2, 700, "step_integrate", "waiting for integrate_kernel",
         "CUDA_ERROR_ILLEGAL_ADDRESS: an illegal memory access was encountered", 0.0},
        {"cuMemcpyDtoH_v2", 1, 719, "step_forces", kCopyBack,
         "CUDA_ERROR_LAUNCH_FAILED: unspecified launch failure", 0.6},
        {"cuMemcpyDtoH_v2", 2, 700, "step_integrate", kCopyBack,
         "CUDA_ERROR_ILLEGAL_ADDRESS: an illegal memory access was encountered", 0.6},
        {"cuMemcpyDtoH_v2", 3, 999, "step_forces", kCopyBack, "CUDA_ERROR_UNKNOWN: unknown error",
         0.0},
        {"cuMemcpyDtoH_v2", 4, 999, "step_integrate", kCopyBack,
         "CUDA_ERROR_UNKNOWN: unknown error", 1.0},
        // With lazy loading a PTX the driver cannot compile may surface at the first launch:
        // the note of a driver too old for the code, as at the probe.
        {"cuLaunchKernel", 1, 222, "step_forces", "launching compute_forces_kernel",
         "the NVIDIA driver supports CUDA 13.0, " + std::string(kThisCode) + " needs CUDA " +
             needed_cuda() + "; update the NVIDIA driver to R580 or newer to use the GPU",
         0.0},
    };
}

class DriverApiFaultTest : public DriverApiTest, public testing::WithParamInterface<Fault> {};

// Reported once with the driver's text; that step is carried out on the CPU from the records as
// they were (the integration exactly, even after a copy back that wrote part of the array), and
// so is every later one, with no further call to the driver until the release.
TEST_P(DriverApiFaultTest, FailedStepIsCarriedOutOnTheCpuAndEveryLaterStepToo) {
    const Fault& fault = GetParam();
    const int count = 2001;
    // Whole records and then part of the next one's position.
    const std::size_t written =
        static_cast<std::size_t>(fault.written_share * count) * sizeof(Particle) +
        (fault.written_share > 0.0 && fault.written_share < 1.0 ? 12 : 0);
    start("fail=" + std::string(fault.entry_point) + ",call=" + std::to_string(fault.on_call) +
          ",error=" + std::to_string(fault.error) + ",written=" + std::to_string(written));
    Particles particles = galaxy(count);
    Particles expected = particles;
    testing::internal::CaptureStderr();
    for (int frame = 0; frame < 3; ++frame) {
        step_forces(particles.data(), count);
        step_integrate(particles.data(), count, lumeth::kTimeStep);
        reference_frame(expected, lumeth::kTimeStep);
        EXPECT_TRUE(same_records(particles, expected)) << "frame " << frame;
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string("lumeth: GPU failure in ") + fault.step_name + " while " +
                       fault.action + " (" + fault.text +
                       "); running this and every later step on the CPU with " +
                       cpu_threads_text() + "\n");
    EXPECT_EQ(lumeth::step_backend(), StepBackend::cpu_after_failure);

    const std::string log = stand_in_log();
    const std::string failed_call = std::string(fault.entry_point) + "(";
    const std::size_t last_line = log.rfind('\n', log.size() - 2);
    EXPECT_EQ(log.compare(last_line + 1, failed_call.size(), failed_call), 0)
        << "a driver call followed the failure:\n"
        << log;
    release_gpu();  // the device was used: its context is released even after a failure
    EXPECT_EQ(stand_in_state(), kNothingHeld);
}

INSTANTIATE_TEST_SUITE_P(
    EveryOperation, DriverApiFaultTest, testing::ValuesIn(faults()),
    [](const testing::TestParamInfo<Fault>& info) {
        return std::string(info.param.entry_point) + "_call" + std::to_string(info.param.on_call) +
               "_error" + std::to_string(info.param.error) +
               (info.param.written_share > 0.0
                    ? "_writes" + std::to_string(static_cast<int>(info.param.written_share * 100)) +
                          "percent"
                    : "");
    });

}  // namespace
