// The device operations on the CUDA driver API: the NVIDIA driver library loaded at the first
// probe (cuda_driver.h), the primary context of device 0, the kernels' fat binary carried in
// the program (kernels/kernels_image.h) loaded as a module, and the two kernels found in it by
// their device names and launched with cuLaunchKernel on the default stream.
//
// The probe's answer is kept until the release: probing again takes no second hold on the
// context and loads no second module. The release at shutdown frees the buffers, unloads the
// module and gives up the hold on the primary context that the probe took, what
// cudaDeviceReset does on the runtime path; a probe after it starts over (tests run several
// drivers in one process; the program probes once).
//
// A context is current per thread. Each operation first makes the session's context current on
// the calling thread, unless it already made it so there, so the table works from any thread.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "cuda_driver.h"
#include "device_operations.h"
#include "driver_api_testing.h"
#include "image_choice.h"
#include "kernels/kernels_image.h"
#include "kernels/launch_geometry.h"
#include "unusable_device.h"

namespace lumeth {
namespace {

struct DriverSession {
    const char* library = nullptr;      // nullptr: cuda_driver_library()
    const char* pci_devices = nullptr;  // nullptr: kPciDevicesFolder
    bool loaded = false;
    CudaDriver api{};
    bool probed = false;
    std::string unusable;    // the probe's answer: why the device cannot be used; empty: it can
    bool ready = false;      // context retained, module loaded, kernels found
    int driver_version = 0;  // the driver's CUDA version, asked once; 0: it cannot say
    unsigned long long number = 0;  // tells this session's context from an earlier one's
    CUdevice device = 0;
    ImageChoice image{};  // the image the GPU runs, chosen at the probe
    CUcontext context = nullptr;
    CUmodule module = nullptr;
    CUfunction forces = nullptr;
    CUfunction integrate = nullptr;
    std::vector<CUdeviceptr> buffers;  // freed by the release
};

// Process-wide; one thread at a time calls in.
DriverSession session;
unsigned long long sessions_started = 0;

// The session whose context this thread has made current (0: none).
thread_local unsigned long long current_on_this_thread = 0;

// Texts handed out by the table stay valid for the rest of the process: each distinct text is
// kept once.
const char* kept(const std::string& text) {
    static std::set<std::string> texts;
    return texts.insert(text).first->c_str();
}

// "CUDA_ERROR_ILLEGAL_ADDRESS: an illegal memory access was encountered", from the driver.
std::string status_text(CUresult status) {
    const char* name = nullptr;
    const char* description = nullptr;
    if (session.api.cuGetErrorName(status, &name) != kCudaSuccess || name == nullptr) {
        return "CUDA driver status " + std::to_string(status);
    }
    if (session.api.cuGetErrorString(status, &description) != kCudaSuccess ||
        description == nullptr) {
        return name;
    }
    return std::string(name) + ": " + description;
}

// The driver the chosen image needs; before the choice, the oldest that runs any image.
int needed_cuda_version() {
    return session.image.data != nullptr ? session.image.needed_cuda_version
                                         : lowest_needed_cuda_version(kernels_image());
}

// The driver's CUDA version, asked once (at the probe, before a step can fail); 0 when it cannot
// say.
int driver_cuda_version() {
    if (session.driver_version == 0 &&
        session.api.cuDriverGetVersion(&session.driver_version) != kCudaSuccess) {
        session.driver_version = 0;
    }
    return session.driver_version;
}

std::string no_code_reason();

// The note for a status that means the driver cannot run the kernels' code, empty for any other.
// With lazy loading (the default from CUDA 12.2 on) the driver compiles or picks a kernel's code
// when the kernel is first needed, so these surface at cuModuleLoadData, cuModuleGetFunction,
// cuFuncGetAttribute or the first launch, and get the same note wherever they do.
std::string unusable_code_reason(CUresult status) {
    switch (status) {
        case kCudaErrorNoBinaryForGpu:
            return no_code_reason();
        case kCudaErrorUnsupportedPtxVersion:  // the PTX is newer than the driver's compiler
        case kCudaErrorInvalidPtx:             // the driver's compiler failed on it
        case kCudaErrorCallRequiresNewerDriver:
            return driver_too_old_reason(driver_cuda_version(), needed_cuda_version());
        default:
            return "";
    }
}

// nullptr for success; otherwise the note for a status that needs a remedy, or the driver's
// text, prefixed with the call that failed where a probe step reports it.
const char* failure(CUresult status, const char* call = nullptr) {
    if (status == kCudaSuccess) {
        return nullptr;
    }
    const std::string note = unusable_code_reason(status);
    if (!note.empty()) {
        return kept(note);
    }
    return kept(call != nullptr ? std::string(call) + ": " + status_text(status)
                                : status_text(status));
}

// Makes the session's context current on the calling thread, once per thread and session.
const char* make_current() {
    if (current_on_this_thread == session.number) {
        return nullptr;
    }
    if (const char* text =
            failure(session.api.cuCtxSetCurrent(session.context), "cuCtxSetCurrent")) {
        return text;
    }
    current_on_this_thread = session.number;
    return nullptr;
}

// The device's compute capability, 10 * major + minor.
int compute_capability() {
    int major = 0;
    int minor = 0;
    session.api.cuDeviceGetAttribute(&major, kCuDeviceAttributeComputeCapabilityMajor,
                                     session.device);
    session.api.cuDeviceGetAttribute(&minor, kCuDeviceAttributeComputeCapabilityMinor,
                                     session.device);
    return 10 * major + minor;
}

// The device's name and compute capability, for a note that names them.
std::string no_code_reason() {
    char name[256] = "GPU";
    session.api.cuDeviceGetName(name, static_cast<int>(sizeof name), session.device);
    name[sizeof name - 1] = '\0';
    const int capability = compute_capability();
    return no_code_for_device_reason(name, capability / 10, capability % 10,
                                     lowest_image_architecture(kernels_image()),
                                     kernels_image().cuda_version);
}

// Loads the module and finds both kernels in it, checking that each runs kThreadsPerBlock
// threads per block. The context is current.
std::string load_kernels() {
    if (const char* text =
            failure(session.api.cuModuleLoadData(&session.module, session.image.data),
                    "cuModuleLoadData")) {
        session.module = nullptr;
        return text;
    }
    struct Kernel {
        const char* device_name;
        CUfunction* function;
    };
    for (const Kernel& kernel : {Kernel{kForcesKernelDeviceName, &session.forces},
                                 Kernel{kIntegrateKernelDeviceName, &session.integrate}}) {
        const std::string call = std::string("cuModuleGetFunction(") + kernel.device_name + ")";
        if (const char* text = failure(session.api.cuModuleGetFunction(
                                           kernel.function, session.module, kernel.device_name),
                                       call.c_str())) {
            return text;
        }
        int threads = 0;
        if (const char* text =
                failure(session.api.cuFuncGetAttribute(&threads, kCuFuncAttributeMaxThreadsPerBlock,
                                                       *kernel.function),
                        "cuFuncGetAttribute")) {
            return text;
        }
        if (threads < kThreadsPerBlock) {
            return too_few_threads_reason(kThreadsPerBlock);
        }
    }
    return "";
}

// Why the driver API cannot run the kernels, said for a user (unusable_device.h); empty when it
// can, with the session ready.
std::string start_session() {
    const char* library = session.library != nullptr ? session.library : cuda_driver_library();
    const auto nvidia_gpu = [] {
        return nvidia_gpu_on_pci_bus(session.pci_devices != nullptr ? session.pci_devices
                                                                    : kPciDevicesFolder);
    };
    if (!session.loaded) {
        const CudaDriverLoadResult load = load_cuda_driver(library, &session.api);
        if (load.status == CudaDriverLoad::no_library) {
            return no_driver_reason(load.detail, needed_cuda_version(), nvidia_gpu());
        }
        if (load.status == CudaDriverLoad::missing_entry_point) {
            return driver_lacks_entry_point_reason(load.detail, needed_cuda_version());
        }
        session.loaded = true;
    }

    // What cuInit returns on a machine that cannot run CUDA code at all.
    const CUresult initialised = session.api.cuInit(0);
    switch (initialised) {
        case kCudaErrorNoDevice:
        case kCudaErrorInvalidDevice:  // a GPU list (CUDA_VISIBLE_DEVICES) that names none
            return no_device_reason(lowest_image_architecture(kernels_image()));
        case kCudaErrorStubLibrary:
            // The CUDA toolkit's stub library (for linking only), found instead of a driver.
            return no_driver_reason(std::string(library) + " is the CUDA toolkit's stub",
                                    needed_cuda_version(), nvidia_gpu());
        case kCudaErrorSystemDriverMismatch:
            return driver_mismatch_reason();
        case kCudaErrorCompatNotSupportedOnDevice:
            return forward_compatibility_refused_reason(needed_cuda_version());
        default:
            break;
    }
    if (const char* text = failure(initialised, "cuInit")) {
        return text;
    }
    session.driver_version = 0;
    session.image = ImageChoice{};
    const int driver_version = driver_cuda_version();
    int devices = 0;
    if (const char* text = failure(session.api.cuDeviceGetCount(&devices), "cuDeviceGetCount")) {
        return text;
    }
    if (devices < 1) {
        return no_device_reason(lowest_image_architecture(kernels_image()));
    }
    if (const char* text = failure(session.api.cuDeviceGet(&session.device, 0), "cuDeviceGet")) {
        return text;
    }
    const ImageChoice image =
        choose_kernels_image(kernels_image(), driver_version, compute_capability());
    if (image.kind == ImageKind::no_code_for_gpu) {
        return no_code_reason();
    }
    if (image.kind == ImageKind::driver_too_old) {
        return driver_too_old_reason(driver_version, image.needed_cuda_version);
    }
    session.image = image;
    if (const char* text =
            failure(session.api.cuDevicePrimaryCtxRetain(&session.context, session.device),
                    "cuDevicePrimaryCtxRetain")) {
        return text;
    }
    session.number = ++sessions_started;
    std::string why;
    if (const char* text = make_current()) {
        why = text;
    } else {
        why = load_kernels();
    }
    if (!why.empty()) {
        // Nothing of the context is used: give it back, with the module if it was loaded.
        if (session.module != nullptr) {
            session.api.cuModuleUnload(session.module);
            session.module = nullptr;
        }
        session.api.cuDevicePrimaryCtxRelease_v2(session.device);
        return why;
    }
    session.ready = true;
    return "";
}

// Probes once; the answer holds until the release.
const char* probe() {
    if (!session.probed) {
        session.unusable = start_session();
        session.probed = true;
    }
    return session.unusable.empty() ? nullptr : kept(session.unusable);
}

CUdeviceptr device_pointer(const Particle* buffer) {
    return static_cast<CUdeviceptr>(reinterpret_cast<std::uintptr_t>(buffer));
}

const char* allocate(Particle** buffer, std::size_t bytes) {
    if (const char* text = make_current()) {
        return text;
    }
    CUdeviceptr memory = 0;
    if (const char* text = failure(session.api.cuMemAlloc_v2(&memory, bytes))) {
        return text;
    }
    session.buffers.push_back(memory);
    *buffer = reinterpret_cast<Particle*>(static_cast<std::uintptr_t>(memory));
    return nullptr;
}

const char* copy_to_device(Particle* device, const Particle* host, std::size_t bytes) {
    if (const char* text = make_current()) {
        return text;
    }
    return failure(session.api.cuMemcpyHtoD_v2(device_pointer(device), host, bytes));
}

// The kernel's parameters are passed as pointers to their values, in the kernel's order.
const char* launch(CUfunction kernel, int blocks, int threads_per_block, void** parameters) {
    if (const char* text = make_current()) {
        return text;
    }
    return failure(session.api.cuLaunchKernel(kernel, static_cast<unsigned int>(blocks), 1, 1,
                                              static_cast<unsigned int>(threads_per_block), 1, 1, 0,
                                              nullptr, parameters, nullptr));
}

const char* launch_forces(Particle* device, int count, int blocks, int threads_per_block,
                          double center_x, double center_y, double center_z) {
    CUdeviceptr particles = device_pointer(device);
    void* parameters[] = {&particles, &count, &center_x, &center_y, &center_z};
    return launch(session.forces, blocks, threads_per_block, parameters);
}

const char* launch_integrate(Particle* device, int count, int blocks, int threads_per_block,
                             double dt) {
    CUdeviceptr particles = device_pointer(device);
    void* parameters[] = {&particles, &count, &dt};
    return launch(session.integrate, blocks, threads_per_block, parameters);
}

// Also where a fault of the kernel itself (an illegal address, say) surfaces.
const char* synchronize() {
    if (const char* text = make_current()) {
        return text;
    }
    return failure(session.api.cuCtxSynchronize());
}

const char* copy_to_host(Particle* host, const Particle* device, std::size_t bytes) {
    if (const char* text = make_current()) {
        return text;
    }
    return failure(session.api.cuMemcpyDtoH_v2(host, device_pointer(device), bytes));
}

// Frees the buffers and unloads the module, which matters where something else in the process
// (the CUDA runtime, say) also holds the primary context and keeps it alive; then gives up the
// probe's hold, and with the last hold the driver destroys the context. Only the release's
// status is reported: after a kernel fault the frees and the unload fail with the fault, and
// the release destroys what they could not.
const char* reset() {
    const bool ready = session.ready;
    session.probed = false;
    session.unusable.clear();
    session.ready = false;
    if (!ready) {
        return nullptr;
    }
    if (make_current() == nullptr) {
        for (const CUdeviceptr buffer : session.buffers) {
            session.api.cuMemFree_v2(buffer);
        }
        session.api.cuModuleUnload(session.module);
    }
    session.buffers.clear();
    session.module = nullptr;
    return failure(session.api.cuDevicePrimaryCtxRelease_v2(session.device));
}

constexpr DeviceOperations kDriverApiOperations{
    probe,       allocate,     copy_to_device, launch_forces, launch_integrate,
    synchronize, copy_to_host, reset,          true,          "the CUDA driver API"};

}  // namespace

const DeviceOperations& cuda_driver_api_operations() {
    return kDriverApiOperations;
}

namespace driver_api_testing {

void use_driver_library(const char* library, const char* pci_devices) {
    session = DriverSession{};
    session.library = library;
    session.pci_devices = pci_devices;
}

}  // namespace driver_api_testing
}  // namespace lumeth
