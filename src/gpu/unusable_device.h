// Why no GPU can run the kernels, in the words of the note the step driver prints: each case
// with what would enable the GPU path, worded once for both GPU paths (the CUDA runtime and the
// driver API). The remedy fits the build the user has: a Windows program is the one from the
// zip, used as it comes, so its remedies are a driver or a GPU; elsewhere the program was built
// from source, so a remedy may be a rebuild.
#pragma once

#include <string>

namespace lumeth {

// "13.0" from CUDA's encoding 1000 * major + 10 * minor.
std::string cuda_version_text(int version);

// Whether the machine has an NVIDIA GPU, as its PCI bus lists the devices: a folder per device
// holding a file "vendor" with the vendor id (Linux: /sys/bus/pci/devices). Unknown where the
// folder cannot be read (Windows, or a container without it).
enum class NvidiaGpu { present, absent, unknown };
constexpr const char* kPciDevicesFolder = "/sys/bus/pci/devices";
NvidiaGpu nvidia_gpu_on_pci_bus(const char* devices_folder);

// The oldest CUDA version of the code the build carries (the driver API path's images
// included), whose first driver branch is the program's minimum driver; 0 where not known.
int oldest_carried_cuda_version();

// No NVIDIA driver library; `detail` (may be empty) says what the loader found. Without an
// NVIDIA GPU the note says that instead of asking for a driver.
std::string no_driver_reason(const std::string& detail, int needed_cuda_version, NvidiaGpu gpu);

// The driver's CUDA library and its kernel module are of different versions (an update not yet
// complete: the machine was not restarted, or parts of two drivers are installed).
std::string driver_mismatch_reason();

// A CUDA forward-compatibility package is installed, and this GPU is not one it supports.
std::string forward_compatibility_refused_reason(int needed_cuda_version);

// A driver older than the code needs: the CUDA versions it supports and the code needs.
std::string driver_too_old_reason(int driver_cuda_version, int needed_cuda_version);

// A driver that lacks an entry point this program calls.
std::string driver_lacks_entry_point_reason(const std::string& entry_point,
                                            int needed_cuda_version);

// A driver but no CUDA-capable GPU. `lowest_architecture`: the lowest compute capability the
// code runs on, 10 * major + minor.
std::string no_device_reason(int lowest_architecture);

// A GPU of compute capability major.minor for which the code (built with CUDA `cuda_version`,
// 1000 * major + 10 * minor) has neither machine code nor PTX it can compile.
std::string no_code_for_device_reason(const std::string& device_name, int major, int minor,
                                      int lowest_architecture, int cuda_version);

// A build without GPU code (no CUDA compiler where it was built), and how to get it. The note
// is this text alone, not "no usable CUDA device".
std::string no_gpu_code_in_build_reason();

// A kernel that cannot run `threads` threads per block.
std::string too_few_threads_reason(int threads);

}  // namespace lumeth
