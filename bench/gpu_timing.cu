// GPU timing for lumeth-bench: the step driver's copies and launches, each timed with CUDA
// events, and plain copies from page-locked memory as the copies' limit.
#include <cuda_runtime.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "bench_parts.h"
#include "kernels/kernels.cuh"

namespace lumeth::bench {
namespace {

constexpr int kThreadsPerBlock = 256;

// Records the first failed CUDA call; later calls are skipped once one has failed.
class Checker {
  public:
    explicit Checker(std::string* failure) : failure_(failure) {}

    bool ok() const { return failure_->empty(); }

    bool operator()(cudaError_t status, const char* what) {
        if (status != cudaSuccess && ok()) {
            *failure_ = std::string(what) + ": " + cudaGetErrorString(status);
        }
        return ok();
    }

  private:
    std::string* failure_;
};

// Milliseconds between two recorded events.
float elapsed(cudaEvent_t start, cudaEvent_t stop, Checker& check) {
    float ms = 0.0f;
    check(cudaEventElapsedTime(&ms, start, stop), "cudaEventElapsedTime");
    return ms;
}

}  // namespace

GpuMeasurement measure_gpu(const Particle* galaxy, const Particle* with_forces, int count,
                           double dt, int runs, Particle* forces_result,
                           Particle* integrate_result) {
    GpuMeasurement m;
    int devices = 0;
    const cudaError_t probe = cudaGetDeviceCount(&devices);
    if (probe != cudaSuccess) {
        m.reason = std::string("cudaGetDeviceCount: ") + cudaGetErrorString(probe);
        return m;
    }
    if (devices < 1) {
        m.reason = "cudaGetDeviceCount reports no device";
        return m;
    }
    m.available = true;
    Checker check(&m.failure);
    cudaDeviceProp properties{};
    if (check(cudaGetDeviceProperties(&properties, 0), "cudaGetDeviceProperties")) {
        m.device = properties.name;
    }

    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(Particle);
    const int blocks = (count + kThreadsPerBlock - 1) / kThreadsPerBlock;
    // Pageable host memory, as the step driver copies from the program's own array.
    std::vector<Particle> host(static_cast<std::size_t>(count));
    Particle* device = nullptr;
    Particle* pinned = nullptr;
    cudaEvent_t events[4] = {};
    check(cudaMalloc(reinterpret_cast<void**>(&device), bytes), "cudaMalloc");
    check(cudaMallocHost(reinterpret_cast<void**>(&pinned), bytes), "cudaMallocHost");
    for (cudaEvent_t& event : events) {
        check(cudaEventCreate(&event), "cudaEventCreate");
    }

    // One step: upload `input`, launch, download; events around each part.
    auto step = [&](const Particle* input, bool forces, Particle* result, bool keep) {
        std::memcpy(host.data(), input, bytes);
        check(cudaEventRecord(events[0]), "cudaEventRecord");
        check(cudaMemcpy(device, host.data(), bytes, cudaMemcpyHostToDevice), "cudaMemcpy up");
        check(cudaEventRecord(events[1]), "cudaEventRecord");
        if (check.ok()) {
            if (forces) {
                compute_forces_kernel<<<blocks, kThreadsPerBlock>>>(device, count, 0.0, 0.0, 0.0);
            } else {
                integrate_kernel<<<blocks, kThreadsPerBlock>>>(device, count, dt);
            }
        }
        check(cudaGetLastError(), forces ? "compute_forces_kernel" : "integrate_kernel");
        check(cudaEventRecord(events[2]), "cudaEventRecord");
        check(cudaMemcpy(host.data(), device, bytes, cudaMemcpyDeviceToHost), "cudaMemcpy down");
        check(cudaEventRecord(events[3]), "cudaEventRecord");
        check(cudaEventSynchronize(events[3]), "cudaEventSynchronize");
        if (!check.ok()) {
            return;
        }
        std::memcpy(result, host.data(), bytes);
        if (!keep) {
            return;
        }
        m.upload_ms.push_back(elapsed(events[0], events[1], check));
        m.download_ms.push_back(elapsed(events[2], events[3], check));
        (forces ? m.force_kernel_ms : m.integrate_kernel_ms)
            .push_back(elapsed(events[1], events[2], check));
        (forces ? m.force_step_ms : m.integrate_step_ms)
            .push_back(elapsed(events[0], events[3], check));
    };

    // The copies' limit: the same bytes each way, page-locked on the host.
    auto pinned_copies = [&](bool keep) {
        check(cudaEventRecord(events[0]), "cudaEventRecord");
        check(cudaMemcpy(device, pinned, bytes, cudaMemcpyHostToDevice), "cudaMemcpy up");
        check(cudaEventRecord(events[1]), "cudaEventRecord");
        check(cudaMemcpy(pinned, device, bytes, cudaMemcpyDeviceToHost), "cudaMemcpy down");
        check(cudaEventRecord(events[2]), "cudaEventRecord");
        check(cudaEventSynchronize(events[2]), "cudaEventSynchronize");
        if (check.ok() && keep) {
            m.pinned_upload_ms.push_back(elapsed(events[0], events[1], check));
            m.pinned_download_ms.push_back(elapsed(events[1], events[2], check));
        }
    };

    if (check.ok()) {
        std::memcpy(pinned, galaxy, bytes);
    }
    for (int run = 0; run <= runs && check.ok(); ++run) {
        const bool keep = run > 0;  // run 0 is the warm-up
        step(galaxy, true, forces_result, keep);
        step(with_forces, false, integrate_result, keep);
        pinned_copies(keep);
    }

    for (cudaEvent_t event : events) {
        if (event != nullptr) {
            cudaEventDestroy(event);
        }
    }
    if (pinned != nullptr) {
        cudaFreeHost(pinned);
    }
    if (device != nullptr) {
        cudaFree(device);
    }
    return m;
}

}  // namespace lumeth::bench
