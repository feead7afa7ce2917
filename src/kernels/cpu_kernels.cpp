// The CPU path's entry points: they run the loops of the instruction-set level chosen at the
// first call (cpu_level.cpp, compiled once per level), and the plain reference loops.
//
// This file is compiled for the build's base instruction set, never for a higher level: it
// decides which level may run, so it must itself run on every CPU the build is meant for.
#include "cpu_kernels.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
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

// --- How the force pass divides --------------------------------------------------------------
//
// Both ways give the same bits, so the faster one is free to take: unless one is asked for,
// the first force pass large enough to time runs a few slices with each, alternately, and the
// rest of that pass and every later one runs with the faster. A level without FMA divides on
// the hardware.

enum class Division { undecided, hardware, fma };

constexpr const char* kDivisionNames[] = {"undecided", "hardware", "fma"};

struct DivisionState {
    std::atomic<Division> division{Division::undecided};
    std::atomic<bool> asked_for{false};  // chosen by name, not by timing
};

bool level_has_fma(const CpuLevelKernels& level) {
    return level.compute_forces_fma != nullptr;
}

// The division named by LUMETH_CPU_DIVISION when the level in use has it; otherwise left
// undecided, with a line on standard error when one was asked for.
void apply_requested_division(DivisionState& state) {
    const char* requested = std::getenv("LUMETH_CPU_DIVISION");
    if (requested == nullptr || *requested == '\0') {
        return;
    }
    const CpuLevelKernels& level = kernels();
    const bool fma = std::strcmp(requested, "fma") == 0;
    if (std::strcmp(requested, "hardware") == 0 || (fma && level_has_fma(level))) {
        state.division = fma ? Division::fma : Division::hardware;
        state.asked_for = true;
    } else if (fma) {
        std::fprintf(stderr,
                     "lumeth: LUMETH_CPU_DIVISION=fma refused: the %s level has no fma "
                     "division; using hardware\n",
                     level.name);
    } else {
        std::fprintf(stderr,
                     "lumeth: LUMETH_CPU_DIVISION=%s refused: not a division of this build "
                     "(hardware, fma); choosing the faster by timing\n",
                     requested);
    }
}

DivisionState& division_state() {
    static DivisionState state;
    static const bool requested_applied = (apply_requested_division(state), true);
    static_cast<void>(requested_applied);
    return state;
}

// The timed slices: kTimedRounds per division, alternately, together at most a quarter of the
// pass; each slice gives every thread up to kTimedPairsPerThread pair evaluations, and at
// least kFewestTimedPairsPerThread, or the pass is too small to time. At 100,000 particles on
// two threads the slices take 2.5 of the 10 million pair evaluations, a few milliseconds.
constexpr long long kTimedPairsPerThread = 100000;
constexpr long long kFewestTimedPairsPerThread = 10000;
constexpr int kTimedRounds = 6;

double elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
        .count();
}

std::mutex& choice_mutex() {
    static std::mutex mutex;
    return mutex;
}

CpuDivisionChoice& last_choice() {
    static CpuDivisionChoice choice;
    return choice;
}

// The division is to be timed again: the last choice no longer holds.
void forget_choice(DivisionState& state) {
    state.division = Division::undecided;
    std::lock_guard<std::mutex> lock(choice_mutex());
    last_choice() = CpuDivisionChoice{};
}

// Runs the whole force pass. When it is large enough, slices of it run with each division
// first and the rest with the chosen one (choose_cpu_division), which is returned; otherwise
// it runs on the hardware and the result is undecided.
Division time_divisions_in_pass(const CpuLevelKernels& level, Particle* particles, int count,
                                double center_x, double center_y, double center_z) {
    const long long pairs_per_particle = (count + kPairSampleStride - 1) / kPairSampleStride;
    const long long pairs_per_group = pairs_per_particle * level.particles_per_group;
    const long long groups = count / level.particles_per_group;
    const long long threads = cpu_thread_count();
    const long long slices = 2 * kTimedRounds;
    const long long pairs_per_thread =
        std::min(kTimedPairsPerThread, groups * pairs_per_group / (4 * slices * threads));
    if (pairs_per_thread < kFewestTimedPairsPerThread) {
        level.compute_forces_hardware(particles, count, center_x, center_y, center_z, 0, INT_MAX);
        return Division::undecided;
    }
    const long long slice = (pairs_per_thread * threads + pairs_per_group - 1) / pairs_per_group;
    const ForcePass passes[2] = {level.compute_forces_hardware, level.compute_forces_fma};
    CpuDivisionTiming timing;
    std::vector<double>* times[2] = {&timing.hardware_ms, &timing.fma_ms};
    int next_group = 0;
    for (int round = 0; round < kTimedRounds; ++round) {
        for (int k = 0; k < 2; ++k) {
            const auto start = std::chrono::steady_clock::now();
            passes[k](particles, count, center_x, center_y, center_z, next_group,
                      next_group + static_cast<int>(slice));
            times[k]->push_back(elapsed_ms(start));
            next_group += static_cast<int>(slice);
        }
    }
    const CpuDivisionChoice choice = choose_cpu_division(timing);
    {
        std::lock_guard<std::mutex> lock(choice_mutex());
        last_choice() = choice;
    }
    const bool fma = std::strcmp(choice.division, "fma") == 0;
    passes[fma ? 1 : 0](particles, count, center_x, center_y, center_z, next_group, INT_MAX);
    return fma ? Division::fma : Division::hardware;
}

}  // namespace

void compute_forces_cpu(Particle* particles, int count, double center_x, double center_y,
                        double center_z) {
    if (count <= 0) {
        return;
    }
    const CpuLevelKernels& level = kernels();
    DivisionState& state = division_state();
    Division division = state.division.load(std::memory_order_relaxed);
    if (division == Division::undecided && !level_has_fma(level)) {
        division = Division::hardware;
        state.division.store(division, std::memory_order_relaxed);
    }
    if (division == Division::undecided) {
        const Division faster =
            time_divisions_in_pass(level, particles, count, center_x, center_y, center_z);
        state.division.store(faster, std::memory_order_relaxed);
        return;
    }
    const ForcePass pass =
        division == Division::fma ? level.compute_forces_fma : level.compute_forces_hardware;
    pass(particles, count, center_x, center_y, center_z, 0, INT_MAX);
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
    DivisionState& state = division_state();
    active_level().store(level->kernels, std::memory_order_relaxed);
    // A division asked for by name stays where the new level has it; a timed choice is timed
    // again for the new level.
    if (!state.asked_for) {
        forget_choice(state);
    } else if (!level_has_fma(*level->kernels)) {
        state.division = Division::hardware;
    }
    return true;
}

const char* cpu_division() {
    const Division division = division_state().division.load();
    if (division == Division::undecided && !level_has_fma(kernels())) {
        return kDivisionNames[static_cast<int>(Division::hardware)];
    }
    return kDivisionNames[static_cast<int>(division)];
}

std::vector<const char*> supported_cpu_divisions() {
    std::vector<const char*> names = {"hardware"};
    if (level_has_fma(kernels())) {
        names.push_back("fma");
    }
    return names;
}

bool use_cpu_division(const char* name) {
    DivisionState& state = division_state();
    if (std::strcmp(name, "hardware") == 0) {
        state.division = Division::hardware;
        state.asked_for = true;
    } else if (std::strcmp(name, "fma") == 0 && level_has_fma(kernels())) {
        state.division = Division::fma;
        state.asked_for = true;
    } else if (std::strcmp(name, "undecided") == 0) {
        forget_choice(state);
        state.asked_for = false;
    } else {
        return false;
    }
    return true;
}

CpuDivisionChoice choose_cpu_division(const CpuDivisionTiming& timing) {
    constexpr double kLeastMargin = 0.10;
    // The fastest slice and the relative spread up to the second slowest.
    auto summary = [](std::vector<double> ms, double* fastest, double* spread) {
        std::sort(ms.begin(), ms.end());
        *fastest = ms.empty() ? 0.0 : ms.front();
        *spread = ms.size() < 3 || !(ms.front() > 0.0)
                      ? 1.0
                      : (ms[ms.size() - 2] - ms.front()) / ms.front();
    };
    CpuDivisionChoice choice;
    double hardware_spread = 1.0;
    double fma_spread = 1.0;
    summary(timing.hardware_ms, &choice.hardware_ms, &hardware_spread);
    summary(timing.fma_ms, &choice.fma_ms, &fma_spread);
    choice.slices = static_cast<int>(std::min(timing.hardware_ms.size(), timing.fma_ms.size()));
    choice.spread = std::max(hardware_spread, fma_spread);
    choice.margin = std::max(kLeastMargin, 2.0 * choice.spread);
    const bool fma = !timing.hardware_ms.empty() && !timing.fma_ms.empty() &&
                     choice.fma_ms * (1.0 + choice.margin) < choice.hardware_ms;
    choice.division = kDivisionNames[static_cast<int>(fma ? Division::fma : Division::hardware)];
    return choice;
}

CpuDivisionChoice last_cpu_division_choice() {
    if (division_state().asked_for) {
        return CpuDivisionChoice{};
    }
    std::lock_guard<std::mutex> lock(choice_mutex());
    return last_choice();
}

void divider_floor_work(long long pairs) {
    kernels().divider_floor_work(pairs);
}

bool fma_floor_work(long long pairs) {
    const CpuLevelKernels& level = kernels();
    if (level.fma_floor_work == nullptr) {
        return false;
    }
    level.fma_floor_work(pairs);
    return true;
}

int fma_operations_per_pair() {
    return kernels().fma_operations_per_pair;
}

bool divide_fma_cpu(const double* a, const double* b, double* quotient, int n,
                    const double* estimate) {
    const CpuLevelKernels& level = kernels();
    if (level.divide_fma == nullptr) {
        return false;
    }
    level.divide_fma(a, b, estimate, quotient, n);
    return true;
}

bool square_root_fma_cpu(const double* a, double* root, int n) {
    const CpuLevelKernels& level = kernels();
    if (level.square_root_fma == nullptr) {
        return false;
    }
    level.square_root_fma(a, root, n);
    return true;
}

}  // namespace lumeth
