// The device operations on the CUDA driver API: the NVIDIA driver library loaded at the first
// probe (cuda_driver.h), the primary context of device 0, the kernels' fat binary carried in
// the program (kernels/kernels_image.h) loaded as a module, and the two kernels found in it by
// their device names and launched with cuLaunchKernel on the default stream.
//
// The release at shutdown gives up the hold on the primary context that the probe took. Nothing
// else in the process holds it, so the driver destroys it, and with it every allocation (both
// buffers) and the module: what cudaDeviceReset does on the runtime path. A probe after that
// starts over (tests run several drivers in one process); the program probes once.
#include <cstdint>
#include <set>
#include <string>

#include "cuda_driver.h"
#include "device_operations.h"
#include "driver_api_testing.h"
#include "kernels/kernels_image.h"
#include "kernels/launch_geometry.h"
#include "unusable_device.h"

namespace lumeth {
namespace {

struct DriverSession {
    const char* library = nullptr;  // nullptr: cuda_driver_library()
    bool loaded = false;
    CudaDriver api{};
    bool ready = false;  // context retained and current, module loaded, kernels found
    CUdevice device = 0;
    CUcontext context = nullptr;
    CUmodule module = nullptr;
    CUfunction forces = nullptr;
    CUfunction integrate = nullptr;
};

// Process-wide; only the thread of the frame loop calls in (the primary context is made current
// on that thread).
DriverSession session;

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

// nullptr for success; otherwise the driver's text, prefixed with the call that failed where a
// probe step reports it.
const char* failure(CUresult status, const char* call = nullptr) {
    if (status == kCudaSuccess) {
        return nullptr;
    }
    return kept(call != nullptr ? std::string(call) + ": " + status_text(status)
                                : status_text(status));
}

int needed_cuda_version() {
    return kernels_image().cuda_version;
}

// The driver's CUDA version; 0 when it cannot say.
int driver_cuda_version() {
    int version = 0;
    if (session.api.cuDriverGetVersion(&version) != kCudaSuccess) {
        return 0;
    }
    return version;
}

// The device's name and compute capability, for a note that names them.
std::string no_code_reason() {
    char name[256] = "GPU";
    int major = 0;
    int minor = 0;
    session.api.cuDeviceGetName(name, static_cast<int>(sizeof name), session.device);
    name[sizeof name - 1] = '\0';
    session.api.cuDeviceGetAttribute(&major, kCuDeviceAttributeComputeCapabilityMajor,
                                     session.device);
    session.api.cuDeviceGetAttribute(&minor, kCuDeviceAttributeComputeCapabilityMinor,
                                     session.device);
    return no_code_for_device_reason(name, major, minor, kernels_image().lowest_architecture);
}

// Loads the module and finds both kernels in it, checking that each runs kThreadsPerBlock
// threads per block. The context is current.
std::string load_kernels() {
    const CUresult loaded = session.api.cuModuleLoadData(&session.module, kernels_image().data);
    if (loaded == kCudaErrorNoBinaryForGpu) {
        return no_code_reason();
    }
    if (loaded == kCudaErrorUnsupportedPtxVersion) {
        // The PTX is newer than the driver's compiler: only a newer driver runs it.
        return driver_too_old_reason(driver_cuda_version(), needed_cuda_version());
    }
    if (const char* text = failure(loaded, "cuModuleLoadData")) {
        return text;
    }
    struct Kernel {
        const char* device_name;
        CUfunction* function;
    };
    for (const Kernel& kernel : {Kernel{kForcesKernelDeviceName, &session.forces},
                                 Kernel{kIntegrateKernelDeviceName, &session.integrate}}) {
        const CUresult found =
            session.api.cuModuleGetFunction(kernel.function, session.module, kernel.device_name);
        if (found != kCudaSuccess) {
            return std::string("cuModuleGetFunction(") + kernel.device_name +
                   "): " + status_text(found);
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
    if (!session.loaded) {
        const CudaDriverLoadResult load = load_cuda_driver(library, &session.api);
        if (load.status == CudaDriverLoad::no_library) {
            return no_driver_reason(load.detail, needed_cuda_version());
        }
        if (load.status == CudaDriverLoad::missing_entry_point) {
            return driver_lacks_entry_point_reason(load.detail, needed_cuda_version());
        }
        session.loaded = true;
    }

    const CUresult initialised = session.api.cuInit(0);
    if (initialised == kCudaErrorNoDevice) {
        return no_device_reason(kernels_image().lowest_architecture);
    }
    if (initialised == kCudaErrorInsufficientDriver) {
        return driver_too_old_reason(driver_cuda_version(), needed_cuda_version());
    }
    if (initialised == kCudaErrorStubLibrary) {
        // The CUDA toolkit's stub library (for linking only), found instead of a driver.
        return no_driver_reason(std::string(library) + " is the CUDA toolkit's stub",
                                needed_cuda_version());
    }
    if (const char* text = failure(initialised, "cuInit")) {
        return text;
    }
    // Code built by one CUDA version runs on drivers of the same major version or newer (within
    // a major version the driver runs the code of later minor versions); an older major version
    // does not run it.
    const int driver_version = driver_cuda_version();
    if (driver_version / 1000 < needed_cuda_version() / 1000) {
        return driver_too_old_reason(driver_version, needed_cuda_version());
    }
    int devices = 0;
    if (const char* text = failure(session.api.cuDeviceGetCount(&devices), "cuDeviceGetCount")) {
        return text;
    }
    if (devices < 1) {
        return no_device_reason(kernels_image().lowest_architecture);
    }
    if (const char* text = failure(session.api.cuDeviceGet(&session.device, 0), "cuDeviceGet")) {
        return text;
    }
    if (const char* text =
            failure(session.api.cuDevicePrimaryCtxRetain(&session.context, session.device),
                    "cuDevicePrimaryCtxRetain")) {
        return text;
    }
    std::string why;
    if (const char* text =
            failure(session.api.cuCtxSetCurrent(session.context), "cuCtxSetCurrent")) {
        why = text;
    } else {
        why = load_kernels();
    }
    if (!why.empty()) {
        // Nothing of the context is used: give it back.
        session.api.cuDevicePrimaryCtxRelease_v2(session.device);
        return why;
    }
    session.ready = true;
    return "";
}

const char* probe() {
    const std::string why = start_session();
    return why.empty() ? nullptr : kept(why);
}

CUdeviceptr device_pointer(const Particle* buffer) {
    return static_cast<CUdeviceptr>(reinterpret_cast<std::uintptr_t>(buffer));
}

const char* allocate(Particle** buffer, std::size_t bytes) {
    CUdeviceptr memory = 0;
    if (const char* text = failure(session.api.cuMemAlloc_v2(&memory, bytes))) {
        return text;
    }
    *buffer = reinterpret_cast<Particle*>(static_cast<std::uintptr_t>(memory));
    return nullptr;
}

const char* copy_to_device(Particle* device, const Particle* host, std::size_t bytes) {
    return failure(session.api.cuMemcpyHtoD_v2(device_pointer(device), host, bytes));
}

// The kernel's parameters are passed as pointers to their values, in the kernel's order.
const char* launch(CUfunction kernel, int blocks, int threads_per_block, void** parameters) {
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
    return failure(session.api.cuCtxSynchronize());
}

const char* copy_to_host(Particle* host, const Particle* device, std::size_t bytes) {
    return failure(session.api.cuMemcpyDtoH_v2(host, device_pointer(device), bytes));
}

const char* reset() {
    if (!session.ready) {
        return nullptr;
    }
    session.ready = false;
    return failure(session.api.cuDevicePrimaryCtxRelease_v2(session.device));
}

constexpr DeviceOperations kDriverApiOperations{
    probe,       allocate,     copy_to_device, launch_forces, launch_integrate,
    synchronize, copy_to_host, reset};

}  // namespace

const DeviceOperations& cuda_driver_api_operations() {
    return kDriverApiOperations;
}

namespace driver_api_testing {

void use_driver_library(const char* library) {
    session = DriverSession{};
    session.library = library;
}

}  // namespace driver_api_testing
}  // namespace lumeth
