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
#include <cmath>
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
#ifdef __linux__
#include <time.h>
#endif

namespace lumeth {

double thread_cpu_ms() {
#ifdef __linux__
    // The scheduler's own count of the thread's running time, to the nanosecond. (Windows's
    // thread times advance by the scheduler's tick, about 16 ms: too coarse for a slice.)
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) == 0) {
        return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
    }
#endif
    return NAN;
}

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
// Both ways give the same bits, so the faster one is free to take, and to change at any pass:
// unless one is asked for, the first force pass large enough to time runs slices of itself with
// each, and the rest with the faster (division_choice.h); every kDivisionRecheckPasses-th pass
// after it ends with one more timed round, which may change the choice. A level without FMA
// divides on the hardware.

enum class Division { undecided, hardware, fma };

constexpr const char* kDivisionNames[] = {"undecided", "hardware", "fma"};

struct DivisionState {
    std::atomic<Division> division{Division::undecided};
    std::atomic<bool> asked_for{false};  // chosen by name, not by timing
    // Force passes run, by the division that ran the pass apart from its timed slices.
    std::atomic<long long> hardware_passes{0};
    std::atomic<long long> fma_passes{0};
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

Division division_named(const char* name) {
    return std::strcmp(name, "fma") == 0        ? Division::fma
           : std::strcmp(name, "hardware") == 0 ? Division::hardware
                                                : Division::undecided;
}

// The timed slices give every thread up to kTimedPairsPerThread pair evaluations each, and at
// least kFewestTimedPairsPerThread, or the pass is too small to time. The first pass runs one
// round (a slice with each division) untimed, for the threads' first wake-up, and then
// kTimedRounds timed: at 100,000 particles on two threads 14 slices of 0.2 million pair
// evaluations, of the pass's 10 million. A re-check's round takes at most a quarter of its pass.
constexpr long long kTimedPairsPerThread = 100000;
constexpr long long kFewestTimedPairsPerThread = 10000;
constexpr int kTimedRounds = 6;
constexpr int kRecheckShare = 4;

// The force pass's input, for running it in pieces.
struct PassInput {
    Particle* particles;
    int count;
    double center_x, center_y, center_z;
};

void run_groups(ForcePass pass, const PassInput& in, int first_group, int last_group,
                double* thread_ms = nullptr) {
    pass(in.particles, in.count, in.center_x, in.center_y, in.center_z, first_group, last_group,
         thread_ms);
}

ForcePass pass_of(const CpuLevelKernels& level, Division division) {
    return division == Division::fma ? level.compute_forces_fma : level.compute_forces_hardware;
}

// Groups per slice when `slices` slices are to fit in the pass: 0 when they would give a thread
// fewer than kFewestTimedPairsPerThread pair evaluations each, or the pass has fewer groups.
int slice_groups(const CpuLevelKernels& level, int count, long long slices) {
    const long long pairs_per_particle = (count + kPairSampleStride - 1) / kPairSampleStride;
    const long long pairs_per_group = pairs_per_particle * level.particles_per_group;
    const long long groups = count / level.particles_per_group;
    const long long threads = cpu_thread_count();
    const long long pairs_per_thread =
        std::min(kTimedPairsPerThread, groups * pairs_per_group / (slices * threads));
    if (pairs_per_thread < kFewestTimedPairsPerThread || groups < slices) {
        return 0;
    }
    // At least one group: at millions of particles one group alone holds more pairs.
    return static_cast<int>(std::max(1LL, pairs_per_thread * threads / pairs_per_group));
}

double elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
        .count();
}

// Runs `rounds` rounds of one slice with each division on the groups from `first_group` on,
// the hardware division first in the rounds of even number (counted from `first_round`), the
// fma division first in the others, and returns their times: the threads' CPU time on the
// slice where the system has a clock for it, so that time a thread waited for its core while
// other work ran does not count, otherwise the wall clock's.
CpuDivisionTiming time_rounds(const CpuLevelKernels& level, const PassInput& in, int first_group,
                              int slice, int rounds, int first_round) {
    CpuDivisionTiming timing;
    int next_group = first_group;
    for (int round = first_round; round < first_round + rounds; ++round) {
        for (int k = 0; k < 2; ++k) {
            const bool fma = (k == 1) == (round % 2 == 0);
            const auto start = std::chrono::steady_clock::now();
            double thread_ms = NAN;
            run_groups(fma ? level.compute_forces_fma : level.compute_forces_hardware, in,
                       next_group, next_group + slice, &thread_ms);
            const double wall_ms = elapsed_ms(start);
            (fma ? timing.fma_ms : timing.hardware_ms)
                .push_back(std::isnan(thread_ms) ? wall_ms : thread_ms);
            next_group += slice;
        }
    }
    return timing;
}

std::mutex& record_mutex() {
    static std::mutex mutex;
    return mutex;
}

CpuDivisionRecord& division_record() {
    static CpuDivisionRecord record;
    return record;
}

// The division is to be timed again: the last choice no longer holds.
void forget_choice(DivisionState& state) {
    state.division = Division::undecided;
    std::lock_guard<std::mutex> lock(record_mutex());
    division_record() = CpuDivisionRecord{};
}

// The first pass large enough to time: a warm-up round, the timed rounds, and the rest of the
// pass with the division chosen on them, which becomes the one in use. A pass too small to
// time runs on the hardware and leaves the choice undecided. Returns the division that ran the
// rest of the pass.
Division first_timed_pass(const CpuLevelKernels& level, const PassInput& in) {
    const int slice = slice_groups(level, in.count, 2 * (kTimedRounds + 1));
    if (slice == 0) {
        run_groups(level.compute_forces_hardware, in, 0, INT_MAX);
        return Division::hardware;
    }
    time_rounds(level, in, 0, slice, 1, 1);
    const CpuDivisionTiming timing = time_rounds(level, in, 2 * slice, slice, kTimedRounds, 0);
    Division chosen = Division::hardware;
    {
        std::lock_guard<std::mutex> lock(record_mutex());
        CpuDivisionRecord& record = division_record();
        record = CpuDivisionRecord{};
        chosen = division_named(record_division_slices(&record, timing).division);
    }
    run_groups(pass_of(level, chosen), in, 2 * slice * (kTimedRounds + 1), INT_MAX);
    division_state().division.store(chosen, std::memory_order_relaxed);
    return chosen;
}

// A pass with the division in use. When a re-check is due, its last whole groups run as one
// timed round, which may change the division in use for the next pass.
void pass_with_recheck(const CpuLevelKernels& level, const PassInput& in, Division division) {
    int slice = 0;
    int rounds = 0;
    {
        std::lock_guard<std::mutex> lock(record_mutex());
        CpuDivisionRecord& record = division_record();
        if (division_recheck_due(&record)) {
            slice = slice_groups(level, in.count, 2 * kRecheckShare);
            rounds = record.rounds;
        }
    }
    const ForcePass chosen = pass_of(level, division);
    if (slice == 0) {
        run_groups(chosen, in, 0, INT_MAX);
        return;
    }
    const int groups = in.count / level.particles_per_group;
    run_groups(chosen, in, 0, groups - 2 * slice);
    const CpuDivisionTiming timing = time_rounds(level, in, groups - 2 * slice, slice, 1, rounds);
    run_groups(chosen, in, groups, INT_MAX);  // the records after the whole groups
    std::lock_guard<std::mutex> lock(record_mutex());
    const CpuDivisionChoice& choice = record_division_slices(&division_record(), timing);
    division_state().division.store(division_named(choice.division), std::memory_order_relaxed);
}

}  // namespace

void compute_forces_cpu(Particle* particles, int count, double center_x, double center_y,
                        double center_z) {
    if (count <= 0) {
        return;
    }
    const CpuLevelKernels& level = kernels();
    DivisionState& state = division_state();
    const PassInput in{particles, count, center_x, center_y, center_z};
    Division division = state.division.load(std::memory_order_relaxed);
    if (division == Division::undecided && !level_has_fma(level)) {
        division = Division::hardware;
        state.division.store(division, std::memory_order_relaxed);
    }
    if (division == Division::undecided) {
        division = first_timed_pass(level, in);
    } else if (state.asked_for || !level_has_fma(level)) {
        run_groups(pass_of(level, division), in, 0, INT_MAX);
    } else {
        pass_with_recheck(level, in, division);
    }
    (division == Division::fma ? state.fma_passes : state.hardware_passes) += 1;
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

CpuDivisionChoice last_cpu_division_choice() {
    if (division_state().asked_for) {
        return CpuDivisionChoice{};
    }
    std::lock_guard<std::mutex> lock(record_mutex());
    return division_record().choice;
}

void resume_timed_cpu_division() {
    DivisionState& state = division_state();
    std::lock_guard<std::mutex> lock(record_mutex());
    state.division = division_named(division_record().choice.division);
    state.asked_for = false;
}

CpuDivisionPasses cpu_division_passes() {
    const DivisionState& state = division_state();
    return {state.hardware_passes.load(), state.fma_passes.load()};
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
