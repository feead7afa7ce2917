// The GPU's rows (the step driver's device steps: copies and kernels beside their floors), the
// step functions as the program calls them, and what the step driver keeps on the host while
// a GPU integration step runs.
#include <algorithm>
#include <cstring>

#include "bench_parts.h"
#include "count_measurement.h"
#include "gpu/motion_backup.h"
#include "gpu/step_driver.h"
#include "kernels/cpu_kernels.h"
#include "sim/constants.h"
#include "timing.h"
#include "words.h"

namespace lumeth::bench {
namespace {

// Double-precision instructions per sampled pair in the force kernel, by the machine code the
// GPU runs: the DFMA, DMUL and DADD of the pair loop of compute_forces_kernel in each cubin of
// the image set (cuobjdump -sass), the fast paths of its divisions and square root included.
// NVRTC's cubins of the same architectures (the driver API path's images for older drivers)
// hold the same counts; its sm_60 and sm_70 cubins, which CUDA 13's nvdisasm no longer reads,
// have none. tests/pair_loop_fp64.py recounts them in the built programs.
struct PairLoopFp64 {
    int architecture;  // of the cubin: 10 * major + minor
    int instructions;
};
constexpr PairLoopFp64 kPairLoopFp64[] = {{75, 134}, {80, 134},  {86, 134},
                                          {90, 134}, {100, 135}, {120, 135}};

// The cubin a GPU of compute capability `capability` runs, as the driver picks it: the highest
// architecture of its major version not above it. nullptr where it runs compiled PTX or a cubin
// without a count instead.
const PairLoopFp64* pair_loop_of_the_code_that_runs(int capability) {
    const PairLoopFp64* chosen = nullptr;
    for (const PairLoopFp64& entry : kPairLoopFp64) {
        if (entry.architecture / 10 == capability / 10 && entry.architecture <= capability &&
            (chosen == nullptr || entry.architecture > chosen->architecture)) {
            chosen = &entry;
        }
    }
    return chosen;
}
// Bytes the integration kernel moves per record: the 80-byte record read, position and
// velocity (48 bytes) written.
constexpr double kIntegrateBytesPerRecord = 128.0;

// What the step driver keeps so that a failed copy back of an integration step can be undone:
// every record's position and velocity, copied on the host while the kernel runs, against its
// floor: one plain copy of as many bytes, on all the threads the backup uses (one thread would
// not be a bound: the backup beats it).
void add_motion_backup_rows(CountMeasurement* m) {
    MotionBackup backup;
    if (!reserve_motion_backup(&backup, m->count)) {
        return;
    }
    const std::size_t bytes = static_cast<std::size_t>(m->count) * kMotionBytes;
    std::vector<unsigned char> from(bytes, 1);
    std::vector<unsigned char> to(bytes, 0);
    // The copy of the first `length` bytes, in blocks spread over the threads.
    auto plain_copy = [&](std::size_t length) {
        constexpr std::size_t kBlock = std::size_t{1} << 16;
        const long long blocks = static_cast<long long>((length + kBlock - 1) / kBlock);
#pragma omp parallel for schedule(static)
        for (long long b = 0; b < blocks; ++b) {
            const std::size_t start = static_cast<std::size_t>(b) * kBlock;
            std::memcpy(to.data() + start, from.data() + start, std::min(kBlock, length - start));
        }
    };
    const FloorTime plain = time_floor(
        m->runs, [&] { plain_copy(bytes); }, [&] { plain_copy(0); });
    const auto saved = time_runs(
        label(*m, "motion backup", "host"), m->runs, NAN, [] {},
        [&] { save_motion(m->galaxy.data(), m->count, &backup); });
    release_motion_backup(&backup);

    Row copy = timed_row(*m, "plain copy (host)", "host", m->runs, {plain.ms});
    copy.threads = cpu_thread_count();
    copy.result = "the backup's floor, " + bandwidth(bytes, copy.ms, kShortestHostFloorMs) +
                  format(", the call's own %.3f ms taken off", plain.overhead_ms) +
                  floor_note(copy.ms, kShortestHostFloorMs);
    Row r =
        timed_row(*m, "motion backup (host)", program_backend(StepBackend::gpu), m->runs, saved);
    r.threads = cpu_thread_count();
    r.result = format("%.1f MB of position and velocity kept while the kernel runs, ",
                      static_cast<double>(bytes) / 1e6) +
               of_floor(r.ms, copy.ms, kShortestHostFloorMs);
    m->rows.push_back(r);
    m->rows.push_back(copy);
}

}  // namespace

void add_gpu_rows(CountMeasurement* m) {
    const int count = m->count;
    std::vector<Particle> gpu_forces(static_cast<std::size_t>(count));
    std::vector<Particle> gpu_integrated(static_cast<std::size_t>(count));
    const GpuMeasurement g = measure_gpu(m->galaxy.data(), m->forces.data(), count, kTimeStep,
                                         m->runs, gpu_forces.data(), gpu_integrated.data());
    if (!g.available) {
        m->rows.push_back(note_row(*m, "gpu", "gpu", "not available (" + g.reason + ")"));
        return;
    }
    const std::string name = "gpu: " + g.device;
    if (!g.failure.empty()) {
        m->agree = false;
        m->rows.push_back(note_row(*m, "gpu", name, "failed (" + g.failure + ")"));
        return;
    }
    const int runs = m->runs;
    const std::size_t bytes = m->bytes;
    Row pinned_up = timed_row(*m, "upload (page-locked)", name, runs, g.pinned_upload_ms);
    pinned_up.result = "the uploads' floor, " +
                       bandwidth(bytes, pinned_up.ms, kShortestGpuFloorMs) +
                       floor_note(pinned_up.ms, kShortestGpuFloorMs);
    Row pinned_down = timed_row(*m, "download (page-locked)", name, runs, g.pinned_download_ms);
    pinned_down.result = "the downloads' floor, " +
                         bandwidth(bytes, pinned_down.ms, kShortestGpuFloorMs) +
                         floor_note(pinned_down.ms, kShortestGpuFloorMs);

    Row r = timed_row(*m, "upload (pageable)", name, 2 * runs, g.upload_ms);
    r.result = bandwidth(bytes, r.ms, kShortestGpuFloorMs) + ", " +
               of_floor(r.ms, pinned_up.ms, kShortestGpuFloorMs);
    m->gpu_copies_ms = r.ms;
    m->rows.push_back(r);

    // The force kernel's floor: its double-precision instructions at the device's peak issue
    // rate, computed from the device's figures (so always a bound, however short).
    const double fp64_per_second =
        g.multiprocessors * g.fp64_per_multiprocessor_per_clock * g.clock_hz;
    r = timed_row(*m, "compute_forces kernel", name, runs, g.force_kernel_ms);
    r.mpairs = pair_rate(*m, r.ms);
    r.result = check(m, compare_gpu_forces(m->forces.data(), gpu_forces.data(), count));
    const PairLoopFp64* pair_loop = pair_loop_of_the_code_that_runs(g.capability);
    if (fp64_per_second > 0.0 && pair_loop != nullptr) {
        const double fp64_floor_ms =
            static_cast<double>(m->pairs) * pair_loop->instructions / fp64_per_second * 1e3;
        r.result += ", " + of_floor(r.ms, fp64_floor_ms, NAN) +
                    " (FP64: " + std::to_string(g.multiprocessors) + " SMs x " +
                    format("%.0f", g.fp64_per_multiprocessor_per_clock) + " per clock x " +
                    format("%.2f GHz", g.clock_hz / 1e9) + ", " +
                    std::to_string(pair_loop->instructions) + " a pair in sm_" +
                    std::to_string(pair_loop->architecture) + " code)";
    } else if (pair_loop == nullptr) {
        r.result +=
            ", no floor (the GPU runs PTX compiled at load, or a cubin below sm_75, whose "
            "instructions are not counted)";
    } else {
        r.result += ", no floor (the device gave no FP64 rate)";
    }
    m->gpu_forces_kernel_ms = r.ms;
    m->rows.push_back(r);

    r = timed_row(*m, "download (pageable)", name, 2 * runs, g.download_ms);
    r.result = bandwidth(bytes, r.ms, kShortestGpuFloorMs) + ", " +
               of_floor(r.ms, pinned_down.ms, kShortestGpuFloorMs);
    m->gpu_copies_ms += r.ms;
    m->rows.push_back(r);

    // The integration kernel's floor: its bytes at the bandwidth of copies across the
    // device's memory of the same array (read once, written once).
    const double device_copy_ms = median(g.device_copy_ms);
    const double memory_bytes_per_ms = 2.0 * static_cast<double>(bytes) / device_copy_ms;
    const double memory_floor_ms = kIntegrateBytesPerRecord * count / memory_bytes_per_ms;
    r = timed_row(*m, "integrate kernel", name, runs, g.integrate_kernel_ms);
    r.result = check(m, compare_exact(m->integrated.data(), gpu_integrated.data(), count)) + ", ";
    if (device_copy_ms >= kShortestGpuFloorMs) {
        r.result += of_floor(r.ms, memory_floor_ms, NAN) +
                    " (memory: " + format("%.0f GB/s", memory_bytes_per_ms / 1e6) + " measured)";
    } else {
        r.result += "its floor not compared (a copy across the device's memory took under " +
                    format("%g", kShortestGpuFloorMs) + " ms)";
    }
    m->gpu_integrate_kernel_ms = r.ms;
    m->rows.push_back(r);

    m->rows.push_back(pinned_up);
    m->rows.push_back(pinned_down);
}

// The step functions as the program calls them, on whichever backend the step driver chose;
// on the GPU beside their floor, the kernel and the two pageable copies measured above.
void add_step_rows(CountMeasurement* m) {
    const int count = m->count;
    auto samples = time_runs(
        label(*m, "step_forces", "the step driver"), m->runs, NAN, [&] { copy_in(m, m->galaxy); },
        [&] { step_forces(m->work.data(), count); });
    const StepBackend forces_backend = step_backend();
    const bool forces_on_gpu = forces_backend == StepBackend::gpu;
    const Comparison forces_comparison =
        forces_on_gpu ? compare_gpu_forces(m->forces.data(), m->work.data(), count)
                      : compare_exact(m->forces.data(), m->work.data(), count);
    Row r = timed_row(*m, "step_forces", program_backend(forces_backend), m->runs, samples);
    r.mpairs = pair_rate(*m, r.ms);
    if (!forces_on_gpu) {
        r.threads = cpu_thread_count();
        r.simd = cpu_simd_width();
    }
    r.result = check(m, forces_comparison) + ", " + speed_up(m->baseline_forces_ms, r.ms);
    if (forces_on_gpu) {
        r.result +=
            ", " + of_floor(r.ms, m->gpu_forces_kernel_ms + m->gpu_copies_ms, kShortestGpuFloorMs) +
            " (kernel + two pageable copies)";
    }
    m->step_forces_ms = r.ms;
    m->rows.push_back(r);

    samples = time_runs(
        label(*m, "step_integrate", "the step driver"), m->runs, NAN,
        [&] { copy_in(m, m->forces); }, [&] { step_integrate(m->work.data(), count, kTimeStep); });
    const StepBackend integrate_backend = step_backend();
    const bool integrate_on_gpu = integrate_backend == StepBackend::gpu;
    r = timed_row(*m, "step_integrate", program_backend(integrate_backend), m->runs, samples);
    if (!integrate_on_gpu) {
        r.threads = cpu_thread_count();
        r.simd = 1;
    }
    r.result = check(m, compare_exact(m->integrated.data(), m->work.data(), count)) + ", " +
               speed_up(m->baseline_integrate_ms, r.ms);
    if (integrate_on_gpu) {
        r.result +=
            ", " +
            of_floor(r.ms, m->gpu_integrate_kernel_ms + m->gpu_copies_ms, kShortestGpuFloorMs) +
            " (kernel + two pageable copies)";
    }
    m->step_integrate_ms = r.ms;
    m->rows.push_back(r);

    // The backup is part of a GPU integration step only.
    if (integrate_on_gpu) {
        add_motion_backup_rows(m);
    }
}

}  // namespace lumeth::bench
