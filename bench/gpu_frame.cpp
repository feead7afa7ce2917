// lumeth-gpu-frame: one frame of the simulation through the step driver (the force step, then
// the integration step) at 100,000 particles, checked against the CPU path. Small enough to run
// under compute-sanitizer, which watches every device access of both kernels and copies.
//
// Exit status: 0 when both steps ran on the GPU and agree with the CPU path, 1 otherwise.
#include <cstdio>
#include <vector>

#include "compare.h"
#include "gpu/step_driver.h"
#include "kernels/cpu_kernels.h"
#include "sim/constants.h"
#include "sim/initial_conditions.h"

int main() {
    using namespace lumeth;
    constexpr int kCount = 100000;
    std::vector<Particle> particles(kCount);
    generate_galaxy(particles.data(), kCount, 20240601u);
    std::vector<Particle> cpu = particles;

    step_forces(particles.data(), kCount);
    const bool forces_on_gpu = step_backend() == StepBackend::gpu;
    compute_forces_cpu(cpu.data(), kCount, 0.0, 0.0, 0.0);
    const bench::Comparison forces =
        bench::compare_gpu_forces(cpu.data(), particles.data(), kCount);

    // Both sides integrate the CPU's forces, so that the comparison is exact.
    particles = cpu;
    step_integrate(particles.data(), kCount, kTimeStep);
    const bool integration_on_gpu = step_backend() == StepBackend::gpu;
    integrate_cpu(cpu.data(), kCount, kTimeStep);
    const bench::Comparison integration =
        bench::compare_exact(cpu.data(), particles.data(), kCount);
    release_gpu();

    std::printf("step_forces:    %s, %s\n", forces_on_gpu ? "GPU" : "not on the GPU",
                bench::describe(forces).c_str());
    std::printf("step_integrate: %s, %s\n", integration_on_gpu ? "GPU" : "not on the GPU",
                bench::describe(integration).c_str());
    const bool passed =
        forces_on_gpu && integration_on_gpu && forces.differing == 0 && integration.differing == 0;
    return passed ? 0 : 1;
}
