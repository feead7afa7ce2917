// One instruction-set level's build of the CPU loops (cpu_level.cpp), as the dispatcher in
// cpu_kernels.cpp sees it. Internal to the kernels library.
#pragma once

#include "sim/particle.h"

namespace lumeth {

// The force pass over groups first_group .. last_group - 1 of particles_per_group records, on
// the OpenMP threads; a last_group past the whole groups also takes the records after them.
// With `thread_ms`, it receives the CPU time the threads spent on the groups, added up over the
// threads (thread_cpu_ms; NaN where the system has no such clock): unlike the wall clock, it
// leaves out the time a thread waits while other work has its core.
using ForcePass = void (*)(Particle* particles, int count, double center_x, double center_y,
                           double center_z, int first_group, int last_group, double* thread_ms);

// The calling thread's CPU time in milliseconds from some fixed point, or NaN where the system
// has no per-thread clock precise enough to time a slice of a force pass (cpu_kernels.cpp).
double thread_cpu_ms();

struct CpuLevelKernels {
    const char* name;                   // "x86-64", "x86-64-v3", "x86-64-v4", "native" or "generic"
    int simd_width;                     // particles per SIMD block of the force pass
    int particles_per_group;            // particles of one unit of work of the force pass
    ForcePass compute_forces_hardware;  // divisions and root on the divider
    ForcePass compute_forces_fma;       // from fused multiply-adds; nullptr without FMA
    // The FMA arithmetic itself, element by element (nullptr without FMA), for the tests.
    void (*divide_fma)(const double* a, const double* b, const double* estimate, double* quotient,
                       int n);
    void (*square_root_fma)(const double* a, double* root, int n);
    void (*integrate)(Particle* particles, int count, double dt);
    // The benchmark's floors for `pairs` pair evaluations, on the OpenMP threads: their 11
    // divisions and square root on the divider; as many fused multiply-adds as the fma
    // division issues vector operations for them (nullptr without FMA).
    void (*divider_floor_work)(long long pairs);
    void (*fma_floor_work)(long long pairs);
    int fma_operations_per_pair;  // vector operations per pair and vector, fma division
};

}  // namespace lumeth
