// One instruction-set level's build of the CPU loops (cpu_level.cpp), as the dispatcher in
// cpu_kernels.cpp sees it. Internal to the kernels library.
#pragma once

#include "sim/particle.h"

namespace lumeth {

struct CpuLevelKernels {
    const char* name;  // "x86-64", "x86-64-v3", "x86-64-v4", "native" or "generic"
    int simd_width;    // particles per SIMD block of the force pass
    void (*compute_forces)(Particle* particles, int count, double center_x, double center_y,
                           double center_z);
    void (*integrate)(Particle* particles, int count, double dt);
};

}  // namespace lumeth
