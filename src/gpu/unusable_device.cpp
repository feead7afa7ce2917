#include "unusable_device.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace lumeth {
namespace {

#if defined(_WIN32)
constexpr bool kProgramAsShipped = true;
constexpr const char* kThisCode = "this program";
#else
constexpr bool kProgramAsShipped = false;
constexpr const char* kThisCode = "this build";
#endif

// The first NVIDIA driver branch that runs code of each CUDA version the build carries, as
// {CUDA version, branch} pairs (the build names them from its compilers' versions); none where
// not known.
struct DriverBranch {
    int cuda_version;
    int branch;
};
constexpr DriverBranch kDriverBranches[] = {
#ifdef LUMETH_DRIVER_BRANCHES
    LUMETH_DRIVER_BRANCHES
#endif
    {0, 0}};

// "R580 or newer", or, without a known branch, "one for CUDA 14.0 or newer".
std::string new_enough_driver(int needed_cuda_version) {
    for (const DriverBranch& known : kDriverBranches) {
        if (known.cuda_version == needed_cuda_version && known.branch > 0) {
            return "R" + std::to_string(known.branch) + " or newer";
        }
    }
    return "one for CUDA " + cuda_version_text(needed_cuda_version) + " or newer";
}

std::string compute_capability_text(int architecture) {
    return std::to_string(architecture / 10) + "." + std::to_string(architecture % 10);
}

}  // namespace

std::string cuda_version_text(int version) {
    return std::to_string(version / 1000) + "." + std::to_string(version % 1000 / 10);
}

int oldest_carried_cuda_version() {
    int oldest = 0;
    for (const DriverBranch& known : kDriverBranches) {
        if (known.cuda_version > 0 && (oldest == 0 || known.cuda_version < oldest)) {
            oldest = known.cuda_version;
        }
    }
    return oldest;
}

NvidiaGpu nvidia_gpu_on_pci_bus(const char* devices_folder) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::directory_iterator device(devices_folder, error);
    if (error) {
        return NvidiaGpu::unknown;
    }
    bool listed = false;
    for (; device != fs::directory_iterator(); device.increment(error)) {
        std::ifstream file(device->path() / "vendor");
        std::string vendor;
        if (file >> vendor) {
            listed = true;
            if (vendor == "0x10de") {  // NVIDIA's PCI vendor id
                return NvidiaGpu::present;
            }
        }
    }
    // A bus that lists no device at all says nothing.
    return listed && !error ? NvidiaGpu::absent : NvidiaGpu::unknown;
}

std::string no_driver_reason(const std::string& detail, int needed_cuda_version, NvidiaGpu gpu) {
    const std::string loader = detail.empty() ? std::string() : " (" + detail + ")";
    if (gpu == NvidiaGpu::absent) {
        return "no NVIDIA GPU found" + loader +
               "; the GPU path needs an NVIDIA GPU and its driver, " +
               new_enough_driver(needed_cuda_version);
    }
    return "no NVIDIA driver found" + loader + "; install the NVIDIA driver, " +
           new_enough_driver(needed_cuda_version) + ", to use the GPU";
}

std::string driver_mismatch_reason() {
    return "the NVIDIA driver's CUDA library and its kernel module are of different versions; "
           "restart the computer after a driver update, or reinstall the NVIDIA driver, to use "
           "the GPU";
}

std::string forward_compatibility_refused_reason(int needed_cuda_version) {
    return "the CUDA forward-compatibility package installed here does not support this GPU; "
           "remove it, or install the NVIDIA driver " +
           new_enough_driver(needed_cuda_version) + " itself, to use the GPU";
}

std::string driver_too_old_reason(int driver_cuda_version, int needed_cuda_version) {
    return "the NVIDIA driver supports CUDA " + cuda_version_text(driver_cuda_version) + ", " +
           kThisCode + " needs CUDA " + cuda_version_text(needed_cuda_version) +
           "; update the NVIDIA driver to " + new_enough_driver(needed_cuda_version) +
           " to use the GPU";
}

std::string driver_lacks_entry_point_reason(const std::string& entry_point,
                                            int needed_cuda_version) {
    return "the NVIDIA driver lacks " + entry_point + "; update the NVIDIA driver to " +
           new_enough_driver(needed_cuda_version) + " to use the GPU";
}

std::string no_device_reason(int lowest_architecture) {
    return "no CUDA-capable GPU found; the GPU path needs an NVIDIA GPU of compute capability " +
           compute_capability_text(lowest_architecture) + " or newer";
}

std::string no_code_for_device_reason(const std::string& device_name, int major, int minor,
                                      int lowest_architecture, int cuda_version) {
    const std::string found = std::string(kThisCode) + " has no code for the " + device_name +
                              " (compute capability " + std::to_string(major) + "." +
                              std::to_string(minor) + ")";
    // The oldest GPUs a compiler of that CUDA version builds code for: 7.5 from CUDA 13 on, 5.0
    // for CUDA 12; a rebuild cannot reach an older GPU.
    const int oldest_buildable = cuda_version >= 13000 ? 75 : 50;
    if (kProgramAsShipped || 10 * major + minor < oldest_buildable) {
        return found + "; its GPU path needs compute capability " +
               compute_capability_text(lowest_architecture) + " or newer";
    }
    return found + "; rebuild with -DCMAKE_CUDA_ARCHITECTURES=" + std::to_string(major) +
           std::to_string(minor) + " to use it";
}

std::string no_gpu_code_in_build_reason() {
    if (kProgramAsShipped) {
        return "this program was built without its GPU code (no CUDA compiler where it was "
               "built); a lumeth zip built with the CUDA compiler runs on the GPU";
    }
    return "this build has no GPU code (no CUDA compiler was found when it was built); run "
           "scripts/install-deps.sh, which fetches the CUDA compiler on a machine with an NVIDIA "
           "GPU or driver (with LUMETH_FETCH_CUDA=1 on any machine), and build again to use the "
           "GPU";
}

std::string too_few_threads_reason(int threads) {
    return "a kernel cannot run " + std::to_string(threads) + " threads per block on this device";
}

}  // namespace lumeth
