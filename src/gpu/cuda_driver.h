// The NVIDIA driver library (libcuda.so.1 on Linux, nvcuda.dll on Windows), loaded at run time
// and reached through the entry points resolved from it by name. It comes with every NVIDIA
// display driver, so a program that loads it this way needs no CUDA toolkit where it runs
// and still starts where there is no driver at all. The few types of the CUDA driver API used
// here are declared below, as the driver's ABI defines them, so that no CUDA header is needed
// to build this (the MinGW-w64 cross-build has none).
#pragma once

#include <cstddef>
#include <string>

namespace lumeth {

using CUresult = int;  // 0: success
using CUdevice = int;
using CUdeviceptr = unsigned long long;
using CUcontext = struct CUctx_st*;
using CUmodule = struct CUmod_st*;
using CUfunction = struct CUfunc_st*;
using CUstream = struct CUstream_st*;
using CUevent = struct CUevent_st*;

// The statuses, attributes and values the driver API path tells apart.
constexpr CUresult kCudaSuccess = 0;
constexpr CUresult kCudaErrorStubLibrary = 34;              // the toolkit's stub, not a driver
constexpr CUresult kCudaErrorCallRequiresNewerDriver = 36;  // driver older than a call needs
constexpr CUresult kCudaErrorNoDevice = 100;
constexpr CUresult kCudaErrorInvalidDevice = 101;  // from cuInit: no GPU it may use
constexpr CUresult kCudaErrorNoBinaryForGpu = 209;
constexpr CUresult kCudaErrorInvalidPtx = 218;  // the driver's PTX compiler failed
constexpr CUresult kCudaErrorUnsupportedPtxVersion = 222;
constexpr CUresult kCudaErrorSystemDriverMismatch = 803;        // user-mode driver != kernel module
constexpr CUresult kCudaErrorCompatNotSupportedOnDevice = 804;  // forward compatibility refused
constexpr int kCuDeviceAttributeComputeCapabilityMajor = 75;
constexpr int kCuDeviceAttributeComputeCapabilityMinor = 76;
constexpr int kCuFuncAttributeMaxThreadsPerBlock = 0;
constexpr int kCuDeviceAttributeClockRate = 13;  // kilohertz
constexpr int kCuDeviceAttributeMultiprocessorCount = 16;
constexpr int kCuDeviceAttributeSingleToDoublePrecisionPerfRatio = 87;

#if defined(_WIN32)
#define LUMETH_CUDA_API __stdcall  // CUDAAPI (the only convention on x64 anyway)
#else
#define LUMETH_CUDA_API
#endif

// Every entry point used, under the name the driver exports it by: the _v2 names where the
// driver's ABI for these signatures carries that suffix.
struct CudaDriver {
    CUresult(LUMETH_CUDA_API* cuGetErrorName)(CUresult error, const char** text);
    CUresult(LUMETH_CUDA_API* cuGetErrorString)(CUresult error, const char** text);
    CUresult(LUMETH_CUDA_API* cuInit)(unsigned int flags);
    CUresult(LUMETH_CUDA_API* cuDriverGetVersion)(int* version);
    CUresult(LUMETH_CUDA_API* cuDeviceGetCount)(int* count);
    CUresult(LUMETH_CUDA_API* cuDeviceGet)(CUdevice* device, int ordinal);
    CUresult(LUMETH_CUDA_API* cuDeviceGetName)(char* name, int length, CUdevice device);
    CUresult(LUMETH_CUDA_API* cuDeviceGetAttribute)(int* value, int attribute, CUdevice device);
    CUresult(LUMETH_CUDA_API* cuDevicePrimaryCtxRetain)(CUcontext* context, CUdevice device);
    CUresult(LUMETH_CUDA_API* cuDevicePrimaryCtxRelease_v2)(CUdevice device);
    CUresult(LUMETH_CUDA_API* cuCtxSetCurrent)(CUcontext context);
    CUresult(LUMETH_CUDA_API* cuCtxSynchronize)();
    CUresult(LUMETH_CUDA_API* cuModuleLoadData)(CUmodule* module, const void* image);
    CUresult(LUMETH_CUDA_API* cuModuleGetFunction)(CUfunction* function, CUmodule module,
                                                   const char* name);
    CUresult(LUMETH_CUDA_API* cuFuncGetAttribute)(int* value, int attribute, CUfunction function);
    CUresult(LUMETH_CUDA_API* cuModuleUnload)(CUmodule module);
    CUresult(LUMETH_CUDA_API* cuMemAlloc_v2)(CUdeviceptr* pointer, std::size_t bytes);
    CUresult(LUMETH_CUDA_API* cuMemFree_v2)(CUdeviceptr pointer);
    CUresult(LUMETH_CUDA_API* cuMemcpyHtoD_v2)(CUdeviceptr device, const void* host,
                                               std::size_t bytes);
    CUresult(LUMETH_CUDA_API* cuMemcpyDtoH_v2)(void* host, CUdeviceptr device, std::size_t bytes);
    CUresult(LUMETH_CUDA_API* cuLaunchKernel)(CUfunction function, unsigned int grid_x,
                                              unsigned int grid_y, unsigned int grid_z,
                                              unsigned int block_x, unsigned int block_y,
                                              unsigned int block_z, unsigned int shared_bytes,
                                              CUstream stream, void** parameters, void** extra);
};

// The entry points only the benchmark uses: events on the default stream, memory it frees
// itself (page-locked host memory included) and a copy across the device. Resolved apart from
// CudaDriver, so that what the program needs of a driver stays what it is.
struct CudaDriverTiming {
    CUresult(LUMETH_CUDA_API* cuEventCreate)(CUevent* event, unsigned int flags);
    CUresult(LUMETH_CUDA_API* cuEventRecord)(CUevent event, CUstream stream);
    CUresult(LUMETH_CUDA_API* cuEventSynchronize)(CUevent event);
    CUresult(LUMETH_CUDA_API* cuEventElapsedTime_v2)(float* ms, CUevent start, CUevent stop);
    CUresult(LUMETH_CUDA_API* cuEventDestroy_v2)(CUevent event);
    CUresult(LUMETH_CUDA_API* cuMemFree_v2)(CUdeviceptr pointer);
    CUresult(LUMETH_CUDA_API* cuMemAllocHost_v2)(void** pointer, std::size_t bytes);
    CUresult(LUMETH_CUDA_API* cuMemFreeHost)(void* pointer);
    CUresult(LUMETH_CUDA_API* cuMemcpyDtoD_v2)(CUdeviceptr to, CUdeviceptr from, std::size_t bytes);
};

// The driver library's file name on this platform: "libcuda.so.1" or "nvcuda.dll".
const char* cuda_driver_library();

// Why the driver could not be loaded.
enum class CudaDriverLoad {
    loaded,
    no_library,          // the library is not there (no NVIDIA driver installed)
    missing_entry_point  // it lacks an entry point (a driver older than this program)
};

struct CudaDriverLoadResult {
    CudaDriverLoad status;
    std::string detail;  // the loader's error text, or the missing entry point's name
};

// Loads `library` (found as the platform's loader finds libraries: the library path on Linux,
// the program's folder and the system folders on Windows) and resolves every entry point of
// *driver. The library stays loaded for the rest of the process; loading it again returns the
// same library.
CudaDriverLoadResult load_cuda_driver(const char* library, CudaDriver* driver);

// Loads `library` as load_cuda_driver does and resolves every entry point of *timing.
CudaDriverLoadResult load_cuda_driver_timing(const char* library, CudaDriverTiming* timing);

// "CUDA_ERROR_ILLEGAL_ADDRESS: an illegal memory access was encountered": the status's name and
// text from the driver itself, or its number where the driver has no name for it.
std::string cuda_driver_status_text(const CudaDriver& driver, CUresult status);

// The address of `name` in `library` when the process has loaded it already (loads nothing),
// otherwise nullptr: how the tests reach their stand-in driver's own report functions.
void* find_in_loaded_cuda_driver(const char* library, const char* name);

}  // namespace lumeth
