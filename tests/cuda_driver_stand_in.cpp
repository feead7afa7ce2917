// A stand-in for the NVIDIA driver library, built by the tests as libcuda.so.1 (Linux, found
// through the library path of the tests that use it) and as nvcuda.dll (Windows, beside the
// test programs that use it). It exports the entry points of the driver API path, under the
// driver's names, and behaves as one GPU would for that path, so that the path runs without a
// GPU and every mistake in it shows:
//  - "device memory" is host memory; a copy or a kernel outside an allocation fails as on a
//    GPU (a copy at once, a kernel at the next synchronize or copy, for good);
//  - a module image must be a fat binary, a cubin (ELF) or PTX text with code this "GPU" can
//    run (machine code of its architecture family or PTX of an architecture up to its own)
//    carrying both kernels' device names;
//  - a launched kernel runs when the work is waited for (cuCtxSynchronize, or the next copy),
//    every thread of exactly the grid it was given, each on record
//    blockIdx.x * blockDim.x + threadIdx.x below the count with the project's per-particle
//    functions (kernels/physics.h) and exactly the parameters it was given;
//  - a context is current per thread, as the driver keeps it; the release of the primary
//    context's last hold destroys it with its allocations and module;
//  - every status it returns is one the driver API returns;
//  - a launch must name the default stream and pass its parameters as kernelParams (the only
//    way the path launches), with at most the kernel's threads per block;
//  - the benchmark's entry points: an event recorded on the default stream runs the work queued
//    before it and then takes the host's clock; page-locked host memory counts among the
//    allocations until freed; the device's figures are those of a GPU of 28 multiprocessors at
//    1.777 GHz with a 64:1 ratio of single to double precision.
//
// The environment variable LUMETH_CUDA_STAND_IN, read at every cuInit, sets it up:
// comma-separated settings, each name=value:
//   fail=ENTRY      the entry point (e.g. cuMemcpyDtoH_v2) that fails ...
//   call=N          ... on its Nth call since cuInit (default 1) ...
//   error=CODE      ... with this status (default 999, CUDA_ERROR_UNKNOWN); only statuses of the
//                   driver API are taken (another one stops the process with a message)
//   written=BYTES   a failing cuMemcpyDtoH_v2 first writes this many leading bytes
//   version=V       what cuDriverGetVersion says (default 13000: CUDA 13.0)
//   devices=N       GPUs (default 1; 0: cuInit fails with CUDA_ERROR_NO_DEVICE)
//   capability=M.m  the GPU's compute capability (default 8.6)
//   threads=N       the most threads per block of each kernel (default 1024)
// Two functions of its own report to the tests: lumeth_stand_in_log() lists the calls since
// cuInit, one a line; lumeth_stand_in_state() says what the process still holds.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gpu/cuda_driver.h"
#include "kernels/kernels_image.h"
#include "kernels/physics.h"
#include "sim/particle.h"

#if defined(_WIN32)
#define LUMETH_STAND_IN_EXPORT extern "C" __declspec(dllexport)
#else
#define LUMETH_STAND_IN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using lumeth::CUcontext;
using lumeth::CUdevice;
using lumeth::CUdeviceptr;
using lumeth::CUevent;
using lumeth::CUfunction;
using lumeth::CUmodule;
using lumeth::CUresult;
using lumeth::CUstream;

namespace {

constexpr CUresult kSuccess = 0;
constexpr CUresult kInvalidValue = 1;
constexpr CUresult kNotInitialized = 3;
constexpr CUresult kNoDevice = 100;
constexpr CUresult kInvalidDevice = 101;
constexpr CUresult kInvalidImage = 200;
constexpr CUresult kInvalidContext = 201;
constexpr CUresult kNoBinaryForGpu = 209;
constexpr CUresult kNotFound = 500;
constexpr CUresult kInvalidHandle = 400;
constexpr CUresult kIllegalAddress = 700;
constexpr CUresult kUnknown = 999;

struct Status {
    CUresult code;
    const char* name;
    const char* text;
};

// The driver's own names and texts of the statuses this stand-in returns or is told to: the
// driver API's, none of the runtime's (such as its 35, cudaErrorInsufficientDriver).
constexpr Status kStatuses[] = {
    {0, "CUDA_SUCCESS", "no error"},
    {1, "CUDA_ERROR_INVALID_VALUE", "invalid argument"},
    {2, "CUDA_ERROR_OUT_OF_MEMORY", "out of memory"},
    {3, "CUDA_ERROR_NOT_INITIALIZED", "initialization error"},
    {34, "CUDA_ERROR_STUB_LIBRARY", "CUDA driver is a stub library"},
    {36, "CUDA_ERROR_CALL_REQUIRES_NEWER_DRIVER",
     "API call is not supported in the installed CUDA driver"},
    {100, "CUDA_ERROR_NO_DEVICE", "no CUDA-capable device is detected"},
    {101, "CUDA_ERROR_INVALID_DEVICE", "invalid device ordinal"},
    {200, "CUDA_ERROR_INVALID_IMAGE", "device kernel image is invalid"},
    {201, "CUDA_ERROR_INVALID_CONTEXT", "invalid device context"},
    {209, "CUDA_ERROR_NO_BINARY_FOR_GPU",
     "no kernel image is available for execution on the device"},
    {218, "CUDA_ERROR_INVALID_PTX", "a PTX JIT compilation failed"},
    {222, "CUDA_ERROR_UNSUPPORTED_PTX_VERSION",
     "the provided PTX was compiled with an unsupported toolchain."},
    {400, "CUDA_ERROR_INVALID_HANDLE", "invalid resource handle"},
    {500, "CUDA_ERROR_NOT_FOUND", "named symbol not found"},
    {700, "CUDA_ERROR_ILLEGAL_ADDRESS", "an illegal memory access was encountered"},
    {701, "CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES", "too many resources requested for launch"},
    {719, "CUDA_ERROR_LAUNCH_FAILED", "unspecified launch failure"},
    {803, "CUDA_ERROR_SYSTEM_DRIVER_MISMATCH",
     "system has unsupported display driver / cuda driver combination"},
    {804, "CUDA_ERROR_COMPAT_NOT_SUPPORTED_ON_DEVICE",
     "forward compatibility was attempted on non supported HW"},
    {999, "CUDA_ERROR_UNKNOWN", "unknown error"},
};

const Status* find_status(CUresult code) {
    for (const Status& status : kStatuses) {
        if (status.code == code) {
            return &status;
        }
    }
    return nullptr;
}

struct Settings {
    std::string fail;  // the entry point that fails; empty: none
    int call = 1;
    CUresult error = kUnknown;
    std::size_t written = 0;
    int version = 13000;
    int devices = 1;
    int capability = 86;  // 10 * major + minor
    int threads = 1024;
};

Settings read_settings() {
    Settings settings;
    const char* text = std::getenv("LUMETH_CUDA_STAND_IN");
    std::string rest = text != nullptr ? text : "";
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string item = rest.substr(0, comma);
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        const std::size_t equals = item.find('=');
        const std::string name = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        if (name == "fail") {
            settings.fail = value;
        } else if (name == "call") {
            settings.call = std::atoi(value.c_str());
        } else if (name == "error") {
            settings.error = std::atoi(value.c_str());
            if (find_status(settings.error) == nullptr) {
                std::fprintf(stderr, "stand-in driver: %d is no status of the driver API\n",
                             settings.error);
                std::abort();
            }
        } else if (name == "written") {
            settings.written = std::strtoull(value.c_str(), nullptr, 10);
        } else if (name == "version") {
            settings.version = std::atoi(value.c_str());
        } else if (name == "devices") {
            settings.devices = std::atoi(value.c_str());
        } else if (name == "capability") {
            const std::size_t dot = value.find('.');
            settings.capability =
                10 * std::atoi(value.substr(0, dot).c_str()) +
                (dot == std::string::npos ? 0 : std::atoi(value.c_str() + dot + 1));
        } else if (name == "threads") {
            settings.threads = std::atoi(value.c_str());
        }
    }
    return settings;
}

struct Allocation {
    std::unique_ptr<std::max_align_t[]> memory;
    std::size_t bytes;
};

struct Kernel {
    const char* device_name;
};
const Kernel kForcesKernel{lumeth::kForcesKernelDeviceName};
const Kernel kIntegrateKernel{lumeth::kIntegrateKernelDeviceName};

// A launch waiting to run: the kernel, its grid and its parameters' values.
struct Launch {
    const Kernel* kernel;
    unsigned int grid[3];
    unsigned int block[3];
    CUdeviceptr particles;
    int count;
    double arguments[3];  // forces: center_x, center_y, center_z; integration: dt
};

struct Event {
    bool recorded = false;
    std::chrono::steady_clock::time_point at;
};

struct StandIn {
    Settings settings;
    bool initialised = false;
    std::map<std::string, int> calls;
    std::string log;
    int context_holds = 0;  // retains not yet released
    std::vector<Allocation> allocations;
    std::vector<Allocation> host_allocations;  // page-locked host memory
    std::vector<std::unique_ptr<Event>> events;
    bool module_loaded = false;
    std::vector<Launch> queued;
    CUresult sticky = kSuccess;  // a kernel's fault: every later call reports it
};

StandIn stand_in;
char primary_context;  // its address is the context handle
char module_object;    // its address is the module handle

// The context current on the calling thread (cuCtxSetCurrent), as the driver keeps one per
// thread.
thread_local CUcontext current_context = nullptr;

// Logs the call; returns the status it is to fail with, or success.
CUresult enter(const char* entry, const std::string& arguments = "") {
    stand_in.log += std::string(entry) + "(" + arguments + ")\n";
    const int nth = ++stand_in.calls[entry];
    const Settings& settings = stand_in.settings;
    return settings.fail == entry && nth == settings.call ? settings.error : kSuccess;
}

// The calls that need a current context and an initialised driver.
CUresult context_check() {
    if (!stand_in.initialised) {
        return kNotInitialized;
    }
    if (current_context != reinterpret_cast<CUcontext>(&primary_context) ||
        stand_in.context_holds == 0) {
        return kInvalidContext;
    }
    return stand_in.sticky;
}

// The allocations not freed.
std::size_t live_allocations() {
    std::size_t live = 0;
    for (const Allocation& a : stand_in.allocations) {
        live += a.memory != nullptr ? 1 : 0;
    }
    return live;
}

// The allocation that holds [pointer, pointer + bytes), or nullptr.
const Allocation* allocation_holding(CUdeviceptr pointer, std::size_t bytes) {
    for (const Allocation& a : stand_in.allocations) {
        const auto start = reinterpret_cast<std::uintptr_t>(a.memory.get());
        if (a.memory != nullptr && pointer >= start && bytes <= a.bytes &&
            pointer - start <= a.bytes - bytes) {
            return &a;
        }
    }
    return nullptr;
}

// Runs one kernel over its whole grid as the GPU's threads would, in any order: each thread
// works on its own record. A record outside device memory is an illegal address.
void run(const Launch& launch) {
    const std::size_t record_bytes = sizeof(Particle);
    Particle* particles =
        reinterpret_cast<Particle*>(static_cast<std::uintptr_t>(launch.particles));
    const bool forces = launch.kernel == &kForcesKernel;
    // The force kernel reads every sampled record below the count.
    if (forces && launch.count > 0 &&
        allocation_holding(launch.particles, launch.count * record_bytes) == nullptr) {
        stand_in.sticky = kIllegalAddress;
        return;
    }
    // Every block of the grid and every thread of a block, whatever its shape; a thread's
    // record is blockIdx.x * blockDim.x + threadIdx.x, in 32-bit arithmetic as in the kernels.
    const unsigned long long blocks = 1ull * launch.grid[0] * launch.grid[1] * launch.grid[2];
    const unsigned long long threads = 1ull * launch.block[0] * launch.block[1] * launch.block[2];
    for (unsigned long long block = 0; block < blocks; ++block) {
        for (unsigned long long thread = 0; thread < threads; ++thread) {
            const int block_x = static_cast<int>(block % launch.grid[0]);
            const int thread_x = static_cast<int>(thread % launch.block[0]);
            const int i = block_x * static_cast<int>(launch.block[0]) + thread_x;
            if (i >= launch.count) {
                continue;
            }
            if (allocation_holding(launch.particles + i * record_bytes, record_bytes) == nullptr) {
                stand_in.sticky = kIllegalAddress;
                return;
            }
            if (forces) {
                lumeth::compute_particle_acceleration(particles, launch.count, i,
                                                      launch.arguments[0], launch.arguments[1],
                                                      launch.arguments[2]);
            } else {
                lumeth::integrate_particle(&particles[i], launch.arguments[0]);
            }
        }
    }
}

// Runs the queued kernels, in order, as the default stream does before a copy or a wait.
void finish_queued_work() {
    for (const Launch& launch : stand_in.queued) {
        if (stand_in.sticky == kSuccess) {
            run(launch);
        }
    }
    stand_in.queued.clear();
}

bool contains(const unsigned char* data, std::size_t size, const char* text) {
    const std::size_t length = std::strlen(text);
    for (std::size_t at = 0; at + length <= size; ++at) {
        if (std::memcmp(data + at, text, length) == 0) {
            return true;
        }
    }
    return false;
}

template <typename T>
T read(const unsigned char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// The architecture of a cubin from its ELF header's flags (the field moved with the CUDA ELF
// ABI version 8 of sm_100 on), or -1 where it is no CUDA ELF file.
int cubin_architecture(const unsigned char* image) {
    constexpr unsigned char kElfMagic[] = {0x7f, 'E', 'L', 'F'};
    constexpr unsigned char kCudaOsAbi = 0x33;    // ELF ABI version 7
    constexpr unsigned char kCudaOsAbiV8 = 0x41;  // ELF ABI version 8
    if (std::memcmp(image, kElfMagic, sizeof kElfMagic) != 0 || image[4] != 2) {
        return -1;  // not a 64-bit ELF file
    }
    const std::uint32_t flags = read<std::uint32_t>(image + 48);
    if (image[7] == kCudaOsAbi) {
        return static_cast<int>(flags & 0xff);
    }
    if (image[7] == kCudaOsAbiV8) {
        return static_cast<int>((flags >> 8) & 0xff);
    }
    return -1;
}

// The bytes of a cubin as its ELF header spans them (the section headers end it).
std::uint64_t cubin_bytes(const unsigned char* image) {
    const std::uint64_t section_headers = read<std::uint64_t>(image + 40);
    const std::uint16_t entry_bytes = read<std::uint16_t>(image + 58);
    const std::uint16_t entries = read<std::uint16_t>(image + 60);
    return section_headers + std::uint64_t{entry_bytes} * entries;
}

// Checks a cubin or PTX text, which the driver API also loads: both device names in it, and
// the architecture it runs on.
CUresult check_single_image(const unsigned char* image) {
    const int capability = stand_in.settings.capability;
    if (const int architecture = cubin_architecture(image); architecture >= 0) {
        const std::uint64_t size = cubin_bytes(image);
        if (size > (std::uint64_t{1} << 30) ||
            !contains(image, size, lumeth::kForcesKernelDeviceName) ||
            !contains(image, size, lumeth::kIntegrateKernelDeviceName)) {
            return kInvalidImage;
        }
        return architecture / 10 == capability / 10 && architecture <= capability ? kSuccess
                                                                                  : kNoBinaryForGpu;
    }
    const char* text = reinterpret_cast<const char*>(image);
    const std::size_t length = std::strlen(text);
    const char* target = std::strstr(text, "\n.target sm_");
    if (target == nullptr ||
        !contains(image, length,
                  (std::string(".entry ") + lumeth::kForcesKernelDeviceName).c_str()) ||
        !contains(image, length,
                  (std::string(".entry ") + lumeth::kIntegrateKernelDeviceName).c_str())) {
        return kInvalidImage;
    }
    return std::atoi(target + std::strlen("\n.target sm_")) <= capability ? kSuccess
                                                                          : kNoBinaryForGpu;
}

// Checks a fat binary: its header, each entry's header and both device names in every entry;
// then whether an entry runs on this GPU (machine code of its major version and a minor
// version up to its own, or PTX of an architecture up to its own).
CUresult check_image(const unsigned char* image) {
    constexpr std::uint32_t kFatbinMagic = 0xBA55ED50u;
    constexpr std::uint16_t kPtx = 1;
    constexpr std::uint16_t kMachineCode = 2;
    if (read<std::uint32_t>(image) != kFatbinMagic) {
        return check_single_image(image);
    }
    if (read<std::uint16_t>(image + 4) != 1) {
        return kInvalidImage;
    }
    const std::uint16_t header_bytes = read<std::uint16_t>(image + 6);
    const std::uint64_t entries_bytes = read<std::uint64_t>(image + 8);
    if (header_bytes < 16 || entries_bytes > (std::uint64_t{1} << 30)) {
        return kInvalidImage;
    }
    const int capability = stand_in.settings.capability;
    bool runs = false;
    const unsigned char* entry = image + header_bytes;
    const unsigned char* end = entry + entries_bytes;
    while (entry < end) {
        const std::uint16_t kind = read<std::uint16_t>(entry);
        const std::uint32_t entry_header_bytes = read<std::uint32_t>(entry + 4);
        const std::uint64_t payload_bytes = read<std::uint64_t>(entry + 8);
        const int architecture = static_cast<int>(read<std::uint32_t>(entry + 28));
        if ((kind != kPtx && kind != kMachineCode) || entry_header_bytes < 32 ||
            payload_bytes > static_cast<std::uint64_t>(end - entry) - entry_header_bytes) {
            return kInvalidImage;
        }
        const unsigned char* payload = entry + entry_header_bytes;
        if (!contains(payload, payload_bytes, lumeth::kForcesKernelDeviceName) ||
            !contains(payload, payload_bytes, lumeth::kIntegrateKernelDeviceName)) {
            return kInvalidImage;
        }
        if (kind == kMachineCode) {
            runs = runs || (architecture / 10 == capability / 10 && architecture <= capability);
        } else {
            runs = runs || architecture <= capability;
        }
        entry = payload + payload_bytes;
    }
    return runs ? kSuccess : kNoBinaryForGpu;
}

std::string pointer_text(CUdeviceptr pointer) {
    return "allocation " + std::to_string([pointer] {
               for (std::size_t k = 0; k < stand_in.allocations.size(); ++k) {
                   const auto start =
                       reinterpret_cast<std::uintptr_t>(stand_in.allocations[k].memory.get());
                   if (pointer == start) {
                       return static_cast<long>(k);
                   }
               }
               return -1L;
           }());
}

}  // namespace

// --- The entry points ------------------------------------------------------------------------

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuGetErrorName(CUresult error, const char** text) {
    const Status* status = find_status(error);
    *text = status != nullptr ? status->name : nullptr;
    return status != nullptr ? kSuccess : kInvalidValue;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuGetErrorString(CUresult error,
                                                                 const char** text) {
    const Status* status = find_status(error);
    *text = status != nullptr ? status->text : nullptr;
    return status != nullptr ? kSuccess : kInvalidValue;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuInit(unsigned int flags) {
    stand_in.settings = read_settings();
    stand_in.calls.clear();
    stand_in.log.clear();
    if (CUresult injected = enter("cuInit", std::to_string(flags))) {
        return injected;
    }
    if (flags != 0) {
        return kInvalidValue;
    }
    if (stand_in.settings.devices < 1) {
        return kNoDevice;
    }
    stand_in.initialised = true;
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuDriverGetVersion(int* version) {
    if (CUresult injected = enter("cuDriverGetVersion")) {
        return injected;
    }
    *version = stand_in.settings.version;
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuDeviceGetCount(int* count) {
    if (CUresult injected = enter("cuDeviceGetCount")) {
        return injected;
    }
    if (!stand_in.initialised) {
        return kNotInitialized;
    }
    *count = stand_in.settings.devices;
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuDeviceGet(CUdevice* device, int ordinal) {
    if (CUresult injected = enter("cuDeviceGet", std::to_string(ordinal))) {
        return injected;
    }
    if (!stand_in.initialised) {
        return kNotInitialized;
    }
    if (ordinal < 0 || ordinal >= stand_in.settings.devices) {
        return kInvalidDevice;
    }
    *device = ordinal;
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuDeviceGetName(char* name, int length,
                                                                CUdevice device) {
    if (CUresult injected = enter("cuDeviceGetName", std::to_string(device))) {
        return injected;
    }
    if (device < 0 || device >= stand_in.settings.devices) {
        return kInvalidDevice;
    }
    if (name == nullptr || length < 1) {
        return kInvalidValue;
    }
    const char* own = "Lumeth stand-in GPU";
    std::strncpy(name, own, static_cast<std::size_t>(length) - 1);
    name[length - 1] = '\0';
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuDeviceGetAttribute(int* value, int attribute,
                                                                     CUdevice device) {
    if (CUresult injected = enter("cuDeviceGetAttribute",
                                  std::to_string(attribute) + ", " + std::to_string(device))) {
        return injected;
    }
    if (device < 0 || device >= stand_in.settings.devices) {
        return kInvalidDevice;
    }
    if (attribute == lumeth::kCuDeviceAttributeComputeCapabilityMajor) {
        *value = stand_in.settings.capability / 10;
    } else if (attribute == lumeth::kCuDeviceAttributeComputeCapabilityMinor) {
        *value = stand_in.settings.capability % 10;
    } else if (attribute == lumeth::kCuDeviceAttributeMultiprocessorCount) {
        *value = 28;
    } else if (attribute == lumeth::kCuDeviceAttributeClockRate) {
        *value = 1777000;
    } else if (attribute == lumeth::kCuDeviceAttributeSingleToDoublePrecisionPerfRatio) {
        *value = 64;
    } else {
        return kInvalidValue;
    }
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuDevicePrimaryCtxRetain(CUcontext* context,
                                                                         CUdevice device) {
    if (CUresult injected = enter("cuDevicePrimaryCtxRetain", std::to_string(device))) {
        return injected;
    }
    if (!stand_in.initialised) {
        return kNotInitialized;
    }
    if (device != 0 || device >= stand_in.settings.devices) {
        return kInvalidDevice;
    }
    ++stand_in.context_holds;
    *context = reinterpret_cast<CUcontext>(&primary_context);
    return kSuccess;
}

// The last hold released destroys the context and everything in it.
LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuDevicePrimaryCtxRelease_v2(CUdevice device) {
    if (CUresult injected = enter("cuDevicePrimaryCtxRelease_v2", std::to_string(device))) {
        return injected;
    }
    if (device != 0) {
        return kInvalidDevice;
    }
    if (stand_in.context_holds == 0) {
        return kInvalidContext;
    }
    if (--stand_in.context_holds == 0) {
        stand_in.log +=
            "  destroyed the context with " + std::to_string(live_allocations()) + " allocations\n";
        stand_in.allocations.clear();
        stand_in.host_allocations.clear();
        stand_in.events.clear();
        stand_in.module_loaded = false;
        stand_in.queued.clear();
        stand_in.sticky = kSuccess;
    }
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuCtxSetCurrent(CUcontext context) {
    if (CUresult injected = enter("cuCtxSetCurrent")) {
        return injected;
    }
    if (context != nullptr &&
        (context != reinterpret_cast<CUcontext>(&primary_context) || stand_in.context_holds == 0)) {
        return kInvalidContext;
    }
    current_context = context;
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuCtxSynchronize() {
    if (CUresult injected = enter("cuCtxSynchronize")) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    finish_queued_work();
    return stand_in.sticky;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuModuleLoadData(CUmodule* module,
                                                                 const void* image) {
    if (CUresult injected = enter("cuModuleLoadData")) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    if (image == nullptr) {
        return kInvalidValue;
    }
    if (CUresult status = check_image(static_cast<const unsigned char*>(image))) {
        return status;
    }
    stand_in.module_loaded = true;
    *module = reinterpret_cast<CUmodule>(&module_object);
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuModuleUnload(CUmodule module) {
    if (CUresult injected = enter("cuModuleUnload")) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    if (module != reinterpret_cast<CUmodule>(&module_object) || !stand_in.module_loaded) {
        return kInvalidHandle;
    }
    stand_in.module_loaded = false;
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuModuleGetFunction(CUfunction* function,
                                                                    CUmodule module,
                                                                    const char* name) {
    if (CUresult injected = enter("cuModuleGetFunction", name != nullptr ? name : "null")) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    if (module != reinterpret_cast<CUmodule>(&module_object) || !stand_in.module_loaded) {
        return kInvalidHandle;
    }
    for (const Kernel* kernel : {&kForcesKernel, &kIntegrateKernel}) {
        if (name != nullptr && std::strcmp(name, kernel->device_name) == 0) {
            *function = reinterpret_cast<CUfunction>(const_cast<Kernel*>(kernel));
            return kSuccess;
        }
    }
    return kNotFound;
}

// The kernel a function handle stands for, or nullptr.
const Kernel* kernel_of(CUfunction function) {
    for (const Kernel* kernel : {&kForcesKernel, &kIntegrateKernel}) {
        if (function == reinterpret_cast<CUfunction>(const_cast<Kernel*>(kernel))) {
            return stand_in.module_loaded ? kernel : nullptr;
        }
    }
    return nullptr;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuFuncGetAttribute(int* value, int attribute,
                                                                   CUfunction function) {
    if (CUresult injected = enter("cuFuncGetAttribute", std::to_string(attribute))) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    if (kernel_of(function) == nullptr) {
        return kInvalidHandle;
    }
    if (attribute != lumeth::kCuFuncAttributeMaxThreadsPerBlock) {
        return kInvalidValue;
    }
    *value = stand_in.settings.threads;
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuMemAlloc_v2(CUdeviceptr* pointer,
                                                              std::size_t bytes) {
    if (CUresult injected = enter("cuMemAlloc_v2", std::to_string(bytes))) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    if (bytes == 0) {
        return kInvalidValue;
    }
    const std::size_t units = (bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    Allocation allocation{std::make_unique<std::max_align_t[]>(units), bytes};
    *pointer = reinterpret_cast<std::uintptr_t>(allocation.memory.get());
    stand_in.allocations.push_back(std::move(allocation));
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuMemFree_v2(CUdeviceptr pointer) {
    if (CUresult injected = enter("cuMemFree_v2", pointer_text(pointer))) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    for (Allocation& a : stand_in.allocations) {
        if (a.memory != nullptr && reinterpret_cast<std::uintptr_t>(a.memory.get()) == pointer) {
            a.memory.reset();  // kept as an empty entry: the log's numbers stay
            a.bytes = 0;
            return kSuccess;
        }
    }
    return kInvalidValue;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuMemcpyHtoD_v2(CUdeviceptr device,
                                                                const void* host,
                                                                std::size_t bytes) {
    if (CUresult injected =
            enter("cuMemcpyHtoD_v2", pointer_text(device) + ", " + std::to_string(bytes))) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    finish_queued_work();
    if (stand_in.sticky != kSuccess) {
        return stand_in.sticky;
    }
    if (allocation_holding(device, bytes) == nullptr) {
        return kInvalidValue;
    }
    std::memcpy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(device)), host, bytes);
    return kSuccess;
}

// A failing copy back may first write a leading part, as a transfer that breaks off midway.
LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuMemcpyDtoH_v2(void* host, CUdeviceptr device,
                                                                std::size_t bytes) {
    const CUresult injected =
        enter("cuMemcpyDtoH_v2", pointer_text(device) + ", " + std::to_string(bytes));
    if (CUresult status = context_check()) {
        return status;
    }
    finish_queued_work();
    if (stand_in.sticky != kSuccess) {
        return stand_in.sticky;
    }
    if (allocation_holding(device, bytes) == nullptr) {
        return kInvalidValue;
    }
    const void* source = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(device));
    if (injected != kSuccess) {
        std::memcpy(host, source,
                    bytes < stand_in.settings.written ? bytes : stand_in.settings.written);
        return injected;
    }
    std::memcpy(host, source, bytes);
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API
cuLaunchKernel(CUfunction function, unsigned int grid_x, unsigned int grid_y, unsigned int grid_z,
               unsigned int block_x, unsigned int block_y, unsigned int block_z,
               unsigned int shared_bytes, CUstream stream, void** parameters, void** extra) {
    const Kernel* kernel = kernel_of(function);
    const auto dims = [](unsigned int x, unsigned int y, unsigned int z) {
        return std::to_string(x) + "x" + std::to_string(y) + "x" + std::to_string(z);
    };
    if (CUresult injected =
            enter("cuLaunchKernel", std::string(kernel != nullptr ? kernel->device_name : "?") +
                                        ", grid " + dims(grid_x, grid_y, grid_z) + ", block " +
                                        dims(block_x, block_y, block_z) + ", shared " +
                                        std::to_string(shared_bytes) +
                                        (stream == nullptr ? ", default stream" : ", a stream"))) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    if (kernel == nullptr) {
        return kInvalidHandle;
    }
    const unsigned long long threads = static_cast<unsigned long long>(block_x) * block_y * block_z;
    if (grid_x == 0 || grid_y == 0 || grid_z == 0 || threads == 0 ||
        threads > static_cast<unsigned long long>(stand_in.settings.threads) ||
        parameters == nullptr || extra != nullptr || stream != nullptr) {
        return kInvalidValue;
    }
    // The parameters' values are taken now, as the driver does.
    Launch launch{kernel, {grid_x, grid_y, grid_z}, {block_x, block_y, block_z}, 0, 0, {}};
    std::memcpy(&launch.particles, parameters[0], sizeof launch.particles);
    std::memcpy(&launch.count, parameters[1], sizeof launch.count);
    const int doubles = kernel == &kForcesKernel ? 3 : 1;
    for (int k = 0; k < doubles; ++k) {
        std::memcpy(&launch.arguments[k], parameters[2 + k], sizeof(double));
    }
    stand_in.queued.push_back(launch);
    return kSuccess;
}

// --- The benchmark's entry points ---------------------------------------------------------------

Allocation new_allocation(std::size_t bytes) {
    const std::size_t units = (bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    return Allocation{std::make_unique<std::max_align_t[]>(units), bytes};
}

// Removes the allocation that starts at `pointer` from `list`; false when there is none.
bool free_allocation(std::vector<Allocation>* list, std::uintptr_t pointer) {
    for (auto a = list->begin(); a != list->end(); ++a) {
        if (reinterpret_cast<std::uintptr_t>(a->memory.get()) == pointer) {
            list->erase(a);
            return true;
        }
    }
    return false;
}

Event* event_of(CUevent event) {
    for (const auto& e : stand_in.events) {
        if (reinterpret_cast<CUevent>(e.get()) == event) {
            return e.get();
        }
    }
    return nullptr;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuEventCreate(CUevent* event, unsigned int flags) {
    if (CUresult injected = enter("cuEventCreate", std::to_string(flags))) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    if (event == nullptr || flags != 0) {
        return kInvalidValue;
    }
    stand_in.events.push_back(std::make_unique<Event>());
    *event = reinterpret_cast<CUevent>(stand_in.events.back().get());
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuEventRecord(CUevent event, CUstream stream) {
    if (CUresult injected = enter("cuEventRecord")) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    Event* e = event_of(event);
    if (e == nullptr || stream != nullptr) {
        return kInvalidHandle;
    }
    finish_queued_work();
    e->recorded = true;
    e->at = std::chrono::steady_clock::now();
    return stand_in.sticky;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuEventSynchronize(CUevent event) {
    if (CUresult injected = enter("cuEventSynchronize")) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    return event_of(event) != nullptr ? stand_in.sticky : kInvalidHandle;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuEventElapsedTime_v2(float* ms, CUevent start,
                                                                      CUevent stop) {
    if (CUresult injected = enter("cuEventElapsedTime_v2")) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    const Event* from = event_of(start);
    const Event* to = event_of(stop);
    if (ms == nullptr || from == nullptr || to == nullptr || !from->recorded || !to->recorded) {
        return kInvalidHandle;
    }
    *ms = std::chrono::duration<float, std::milli>(to->at - from->at).count();
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuEventDestroy_v2(CUevent event) {
    if (CUresult injected = enter("cuEventDestroy_v2")) {
        return injected;
    }
    for (auto e = stand_in.events.begin(); e != stand_in.events.end(); ++e) {
        if (reinterpret_cast<CUevent>(e->get()) == event) {
            stand_in.events.erase(e);
            return kSuccess;
        }
    }
    return kInvalidHandle;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuMemAllocHost_v2(void** pointer,
                                                                  std::size_t bytes) {
    if (CUresult injected = enter("cuMemAllocHost_v2", std::to_string(bytes))) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    if (pointer == nullptr || bytes == 0) {
        return kInvalidValue;
    }
    stand_in.host_allocations.push_back(new_allocation(bytes));
    *pointer = stand_in.host_allocations.back().memory.get();
    return kSuccess;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuMemFreeHost(void* pointer) {
    if (CUresult injected = enter("cuMemFreeHost")) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    return free_allocation(&stand_in.host_allocations, reinterpret_cast<std::uintptr_t>(pointer))
               ? kSuccess
               : kInvalidValue;
}

LUMETH_STAND_IN_EXPORT CUresult LUMETH_CUDA_API cuMemcpyDtoD_v2(CUdeviceptr to, CUdeviceptr from,
                                                                std::size_t bytes) {
    if (CUresult injected = enter("cuMemcpyDtoD_v2", pointer_text(to) + ", " + pointer_text(from) +
                                                         ", " + std::to_string(bytes))) {
        return injected;
    }
    if (CUresult status = context_check()) {
        return status;
    }
    finish_queued_work();
    if (stand_in.sticky != kSuccess) {
        return stand_in.sticky;
    }
    if (allocation_holding(to, bytes) == nullptr || allocation_holding(from, bytes) == nullptr) {
        return kInvalidValue;
    }
    std::memmove(reinterpret_cast<void*>(static_cast<std::uintptr_t>(to)),
                 reinterpret_cast<const void*>(static_cast<std::uintptr_t>(from)), bytes);
    return kSuccess;
}

// --- Reports to the tests ----------------------------------------------------------------------

LUMETH_STAND_IN_EXPORT const char* lumeth_stand_in_log() {
    return stand_in.log.c_str();
}

LUMETH_STAND_IN_EXPORT const char* lumeth_stand_in_state() {
    static std::string state;
    state = "context held " + std::to_string(stand_in.context_holds) + " times, " +
            std::to_string(live_allocations() + stand_in.host_allocations.size()) +
            " allocations, " + (stand_in.module_loaded ? "1 module" : "0 modules");
    return state.c_str();
}
