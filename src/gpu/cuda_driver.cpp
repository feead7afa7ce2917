#include "cuda_driver.h"

#include <cstring>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace lumeth {
namespace {

#if defined(_WIN32)
using Library = HMODULE;

Library open_library(const char* name, std::string* error) {
    // Only the program's folder and the system folders: never the current directory.
    Library library = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (library == nullptr) {
        *error =
            std::string(name) + " could not be loaded, error " + std::to_string(GetLastError());
    }
    return library;
}

void* find_symbol(Library library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(library, name));
}

// The library when the process has it loaded already; loads nothing.
Library loaded_library(const char* name) {
    return GetModuleHandleA(name);
}
#else
using Library = void*;

Library open_library(const char* name, std::string* error) {
    Library library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* text = dlerror();
        *error = text != nullptr ? text : std::string(name) + " could not be loaded";
    }
    return library;
}

void* find_symbol(Library library, const char* name) {
    return dlsym(library, name);
}

// The library when the process has it loaded already; loads nothing. The extra reference is
// given back at once: the load that brought the library in keeps it for the process.
Library loaded_library(const char* name) {
    Library library = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
    if (library != nullptr) {
        dlclose(library);
    }
    return library;
}
#endif

// Resolves one entry point into *slot; false when the library lacks it.
template <typename Function>
bool resolve(Library library, const char* name, Function* slot, std::string* missing) {
    void* symbol = find_symbol(library, name);
    if (symbol == nullptr) {
        *missing = name;
        return false;
    }
    static_assert(sizeof(Function) == sizeof(void*), "entry points are plain pointers");
    std::memcpy(slot, &symbol, sizeof symbol);
    return true;
}

}  // namespace

const char* cuda_driver_library() {
#if defined(_WIN32)
    return "nvcuda.dll";
#else
    return "libcuda.so.1";
#endif
}

void* find_in_loaded_cuda_driver(const char* library_name, const char* name) {
    const Library library = loaded_library(library_name);
    return library != nullptr ? find_symbol(library, name) : nullptr;
}

CudaDriverLoadResult load_cuda_driver(const char* library_name, CudaDriver* driver) {
    std::string detail;
    const Library library = open_library(library_name, &detail);
    if (library == nullptr) {
        return {CudaDriverLoad::no_library, detail};
    }
    CudaDriver d{};
#define LUMETH_RESOLVE(entry) resolve(library, #entry, &d.entry, &detail)
    const bool complete = LUMETH_RESOLVE(cuGetErrorName) && LUMETH_RESOLVE(cuGetErrorString) &&
                          LUMETH_RESOLVE(cuInit) && LUMETH_RESOLVE(cuDriverGetVersion) &&
                          LUMETH_RESOLVE(cuDeviceGetCount) && LUMETH_RESOLVE(cuDeviceGet) &&
                          LUMETH_RESOLVE(cuDeviceGetName) && LUMETH_RESOLVE(cuDeviceGetAttribute) &&
                          LUMETH_RESOLVE(cuDevicePrimaryCtxRetain) &&
                          LUMETH_RESOLVE(cuDevicePrimaryCtxRelease_v2) &&
                          LUMETH_RESOLVE(cuCtxSetCurrent) && LUMETH_RESOLVE(cuCtxSynchronize) &&
                          LUMETH_RESOLVE(cuModuleLoadData) && LUMETH_RESOLVE(cuModuleGetFunction) &&
                          LUMETH_RESOLVE(cuFuncGetAttribute) && LUMETH_RESOLVE(cuModuleUnload) &&
                          LUMETH_RESOLVE(cuMemAlloc_v2) && LUMETH_RESOLVE(cuMemFree_v2) &&
                          LUMETH_RESOLVE(cuMemcpyHtoD_v2) && LUMETH_RESOLVE(cuMemcpyDtoH_v2) &&
                          LUMETH_RESOLVE(cuLaunchKernel);
#undef LUMETH_RESOLVE
    if (!complete) {
        return {CudaDriverLoad::missing_entry_point, detail};
    }
    *driver = d;
    return {CudaDriverLoad::loaded, ""};
}

CudaDriverLoadResult load_cuda_driver_timing(const char* library_name, CudaDriverTiming* timing) {
    std::string detail;
    const Library library = open_library(library_name, &detail);
    if (library == nullptr) {
        return {CudaDriverLoad::no_library, detail};
    }
    CudaDriverTiming t{};
#define LUMETH_RESOLVE(entry) resolve(library, #entry, &t.entry, &detail)
    const bool complete = LUMETH_RESOLVE(cuEventCreate) && LUMETH_RESOLVE(cuEventRecord) &&
                          LUMETH_RESOLVE(cuEventSynchronize) &&
                          LUMETH_RESOLVE(cuEventElapsedTime_v2) &&
                          LUMETH_RESOLVE(cuEventDestroy_v2) && LUMETH_RESOLVE(cuMemFree_v2) &&
                          LUMETH_RESOLVE(cuMemAllocHost_v2) && LUMETH_RESOLVE(cuMemFreeHost) &&
                          LUMETH_RESOLVE(cuMemcpyDtoD_v2);
#undef LUMETH_RESOLVE
    if (!complete) {
        return {CudaDriverLoad::missing_entry_point, detail};
    }
    *timing = t;
    return {CudaDriverLoad::loaded, ""};
}

std::string cuda_driver_status_text(const CudaDriver& driver, CUresult status) {
    const char* name = nullptr;
    const char* description = nullptr;
    if (driver.cuGetErrorName == nullptr || driver.cuGetErrorName(status, &name) != kCudaSuccess ||
        name == nullptr) {
        return "CUDA driver status " + std::to_string(status);
    }
    if (driver.cuGetErrorString(status, &description) != kCudaSuccess || description == nullptr) {
        return name;
    }
    return std::string(name) + ": " + description;
}

}  // namespace lumeth
