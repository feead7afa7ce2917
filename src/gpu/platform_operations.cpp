// The choice among the device operations tables this build has (see device_operations.h).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device_operations.h"

namespace lumeth {

#if !LUMETH_HAVE_CUDA_RUNTIME && !LUMETH_HAVE_DRIVER_API
// The table of a build without a GPU path (no_cuda_operations.cpp).
const DeviceOperations& no_cuda_operations();
#endif

namespace {

struct GpuPath {
    const char* name;  // as LUMETH_GPU_API names it
    const DeviceOperations& (*operations)();
};

// The build's tables, its default first.
constexpr GpuPath kGpuPaths[] = {
#if LUMETH_HAVE_CUDA_RUNTIME
    {"runtime", cuda_runtime_operations},
#endif
#if LUMETH_HAVE_DRIVER_API
    {"driver", cuda_driver_api_operations},
#endif
#if !LUMETH_HAVE_CUDA_RUNTIME && !LUMETH_HAVE_DRIVER_API
    {"", no_cuda_operations},  // no name: nothing to choose
#endif
};

const DeviceOperations& chosen_operations() {
    const char* wanted = std::getenv("LUMETH_GPU_API");
    if (wanted == nullptr || *wanted == '\0') {
        return kGpuPaths[0].operations();
    }
    std::string names;
    for (const GpuPath& path : kGpuPaths) {
        if (std::strcmp(path.name, wanted) == 0) {
            return path.operations();
        }
        names += names.empty() ? path.name : std::string(", ") + path.name;
    }
#if !LUMETH_HAVE_CUDA_RUNTIME && !LUMETH_HAVE_DRIVER_API
    std::fprintf(stderr, "lumeth: LUMETH_GPU_API=%s: this build has no GPU path\n", wanted);
#else
    std::fprintf(stderr,
                 "lumeth: LUMETH_GPU_API=%s names no GPU path of this build (it has: %s); "
                 "using %s\n",
                 wanted, names.c_str(), kGpuPaths[0].name);
#endif
    return kGpuPaths[0].operations();
}

}  // namespace

const DeviceOperations& platform_device_operations() {
    static const DeviceOperations& operations = chosen_operations();
    return operations;
}

PathProbe probe_with_fallback(const DeviceOperations& first, const DeviceOperations* fallback) {
    const char* why = first.probe();
    if (why == nullptr) {
        return {&first, nullptr, nullptr};
    }
    if (fallback == nullptr || first.refused_for_its_code == nullptr ||
        !first.refused_for_its_code()) {
        return {nullptr, why, nullptr};
    }
    if (const char* fallback_why = fallback->probe()) {
        return {nullptr, fallback_why, nullptr};
    }
    first.reset();
    return {fallback, nullptr, why};
}

const DeviceOperations* platform_fallback_operations() {
#if LUMETH_HAVE_CUDA_RUNTIME && LUMETH_HAVE_DRIVER_API
    const char* wanted = std::getenv("LUMETH_GPU_API");
    if (wanted == nullptr || *wanted == '\0') {
        return &cuda_driver_api_operations();
    }
#endif
    return nullptr;
}

}  // namespace lumeth
