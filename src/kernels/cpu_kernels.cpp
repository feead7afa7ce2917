// The CPU path's entry points: they run the loops of the instruction-set level chosen at the
// first call (cpu_level.cpp, compiled once per level), and the plain reference loops.
//
// This file is compiled for the build's base instruction set, never for a higher level: it
// decides which level may run, so it must itself run on every CPU the build is meant for.
#include "cpu_kernels.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cpu_level.h"
#include "physics.h"

#ifdef _OPENMP
#include <omp.h>
#endif

namespace lumeth {

namespace cpu_levels {
#ifdef LUMETH_CPU_LEVELS_X86_64
extern const CpuLevelKernels level_x86_64;
extern const CpuLevelKernels level_x86_64_v3;
extern const CpuLevelKernels level_x86_64_v4;
#else
extern const CpuLevelKernels level_build;  // the build's own flags: native or generic
#endif
}  // namespace cpu_levels

namespace {

struct Level {
    const CpuLevelKernels* kernels;
    bool (*runs_here)();
};

bool always() {
    return true;
}

#ifdef LUMETH_CPU_LEVELS_X86_64
// libgcc's CPU feature check (also in MinGW-w64's GCC) reads CPUID and, for AVX and AVX-512,
// asks XGETBV whether the operating system saves the wide registers, so a level is only
// reported when both the processor and the system support all of its instructions.
bool runs_x86_64_v3() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("x86-64-v3");
}

bool runs_x86_64_v4() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("x86-64-v4");
}

// In increasing order: each level's instructions include those of the levels before it.
const Level kLevels[] = {{&cpu_levels::level_x86_64, always},
                         {&cpu_levels::level_x86_64_v3, runs_x86_64_v3},
                         {&cpu_levels::level_x86_64_v4, runs_x86_64_v4}};
#else
const Level kLevels[] = {{&cpu_levels::level_build, always}};
#endif

const Level* find_level(const char* name) {
    for (const Level& level : kLevels) {
        if (std::strcmp(level.kernels->name, name) == 0) {
            return &level;
        }
    }
    return nullptr;
}

const CpuLevelKernels* best_level() {
    const CpuLevelKernels* best = kLevels[0].kernels;
    for (const Level& level : kLevels) {
        if (level.runs_here()) {
            best = level.kernels;
        }
    }
    return best;
}

// The level named by LUMETH_CPU_LEVEL when this build has it and this CPU runs it; otherwise
// the best level this CPU runs, with a line on standard error when a level was asked for.
const CpuLevelKernels* initial_level() {
    const CpuLevelKernels* best = best_level();
    const char* requested = std::getenv("LUMETH_CPU_LEVEL");
    if (requested == nullptr || *requested == '\0') {
        return best;
    }
    const Level* level = find_level(requested);
    if (level != nullptr && level->runs_here()) {
        return level->kernels;
    }
    if (level != nullptr) {
        std::fprintf(stderr,
                     "lumeth: LUMETH_CPU_LEVEL=%s refused: this CPU cannot run it; using %s\n",
                     requested, best->name);
    } else {
        std::string names;
        for (const Level& known : kLevels) {
            names += names.empty() ? "" : ", ";
            names += known.kernels->name;
        }
        std::fprintf(stderr,
                     "lumeth: LUMETH_CPU_LEVEL=%s refused: not a level of this build (%s); "
                     "using %s\n",
                     requested, names.c_str(), best->name);
    }
    return best;
}

std::atomic<const CpuLevelKernels*>& active_level() {
    static std::atomic<const CpuLevelKernels*> level{initial_level()};
    return level;
}

const CpuLevelKernels& kernels() {
    return *active_level().load(std::memory_order_relaxed);
}

}  // namespace

void compute_forces_cpu(Particle* particles, int count, double center_x, double center_y,
                        double center_z) {
    kernels().compute_forces(particles, count, center_x, center_y, center_z);
}

void integrate_cpu(Particle* particles, int count, double dt) {
    kernels().integrate(particles, count, dt);
}

void compute_forces_reference(Particle* particles, int count, double center_x, double center_y,
                              double center_z) {
    for (int i = 0; i < count; ++i) {
        compute_particle_acceleration(particles, count, i, center_x, center_y, center_z);
    }
}

void integrate_reference(Particle* particles, int count, double dt) {
    for (int i = 0; i < count; ++i) {
        integrate_particle(&particles[i], dt);
    }
}

int cpu_thread_count() {
#ifdef _OPENMP
    return omp_get_max_threads();
#else
    return 1;
#endif
}

int cpu_simd_width() {
    return kernels().simd_width;
}

const char* cpu_instruction_set() {
    return kernels().name;
}

std::vector<const char*> supported_cpu_instruction_sets() {
    std::vector<const char*> names;
    for (const Level& level : kLevels) {
        if (level.runs_here()) {
            names.push_back(level.kernels->name);
        }
    }
    return names;
}

bool use_cpu_instruction_set(const char* name) {
    const Level* level = find_level(name);
    if (level == nullptr || !level->runs_here()) {
        return false;
    }
    active_level().store(level->kernels, std::memory_order_relaxed);
    return true;
}

}  // namespace lumeth
