// The two kernels on the host: the same per-particle functions as on the GPU, in loops.
#pragma once

#include <vector>

#include "division_choice.h"
#include "sim/particle.h"

namespace lumeth {

// The fast loops are built for several instruction-set levels: "x86-64" (SSE2), "x86-64-v3"
// (AVX2, FMA) and "x86-64-v4" (AVX-512) in a portable build for x86-64, one level named
// "native" in a build for this machine only (LUMETH_NATIVE), one named "generic" elsewhere.
// The first call of any function below picks the best level the CPU runs, or the level named
// by the environment variable LUMETH_CPU_LEVEL when the CPU runs it (otherwise it says so on
// standard error and takes the best one). Every level gives the same bits.

// The force pass divides and takes its square roots in one of two ways, with the same bits:
// "hardware", the divider's instructions, or "fma", sequences of fused multiply-adds whose
// every result is checked exactly and recomputed on the divider where the check fails (levels
// with FMA only). Unless the environment variable LUMETH_CPU_DIVISION names one, the first
// force pass large enough to time (about 17,000 particles on two threads, more on more
// threads) times slices of itself with both (by their threads' CPU time where the system
// counts it, so that other work on the machine slows no slice) and runs the rest with the
// faster (division_choice.h); every kDivisionRecheckPasses-th pass after it times one more slice
// with each and changes the division where the other has become the faster. Both give the same
// bits, so a change never shows in a result.

// The force pass over records 0..count-1, vectorised across particles and spread over the
// OpenMP threads. Gives the same bits as compute_forces_reference.
void compute_forces_cpu(Particle* particles, int count, double center_x, double center_y,
                        double center_z);

// The integration pass over records 0..count-1, spread over the OpenMP threads.
void integrate_cpu(Particle* particles, int count, double dt);

// Plain single-threaded loops over the per-particle functions: the reference the fast path
// is checked against, and the benchmark's baseline.
void compute_forces_reference(Particle* particles, int count, double center_x, double center_y,
                              double center_z);
void integrate_reference(Particle* particles, int count, double dt);

// Number of threads the CPU path runs on.
int cpu_thread_count();

// Number of particles one SIMD block of the force pass evaluates together.
int cpu_simd_width();

// Name of the instruction-set level in use.
const char* cpu_instruction_set();

// Names of the levels of this build that this CPU runs, lowest first.
std::vector<const char*> supported_cpu_instruction_sets();

// Switches the fast loops to the named level. Returns false, changing nothing, when the build
// lacks that level or the CPU cannot run it. A division chosen by timing is timed again; one
// chosen by name stays, unless the new level lacks it ("hardware" then).
bool use_cpu_instruction_set(const char* name);

// The force pass's division in use: "hardware", "fma", or "undecided" before it is timed (the
// hardware division then runs).
const char* cpu_division();

// Names of the divisions of the level in use: "hardware", and "fma" where the level has FMA.
std::vector<const char*> supported_cpu_divisions();

// Uses the named division from now on, without timing ("undecided": time them again at the
// next large pass). Returns false, changing nothing, when the level in use lacks it or the
// name is unknown.
bool use_cpu_division(const char* name);

// Back from a division named to use_cpu_division to the timed choice as it stood (undecided
// where none was made), re-checked as before.
void resume_timed_cpu_division();

// The last choice made by timing in this run, on the slices it keeps ("undecided" before any,
// and while a division asked for by name is in use).
CpuDivisionChoice last_cpu_division_choice();

// Force passes run so far with each division (a timed pass under the division that ran it
// apart from its timed slices).
struct CpuDivisionPasses {
    long long hardware = 0;
    long long fma = 0;
};
CpuDivisionPasses cpu_division_passes();

// The benchmark's floors at the level in use, on the OpenMP threads, for `pairs` pair
// evaluations: divider_floor_work runs their 11 divisions and one square root each on the
// divider, in the widest vectors; fma_floor_work runs as many independent fused multiply-adds
// as the fma division issues vector operations for them (false, running nothing, without FMA).
void divider_floor_work(long long pairs);
bool fma_floor_work(long long pairs);

// Vector operations the fma division issues per pair evaluation and vector (0 without FMA).
int fma_operations_per_pair();

// The fma division's arithmetic at the level in use, element by element: quotient[k] =
// a[k] / b[k] and root[k] = sqrt(a[k]) for k < n, for the tests to compare with the divider;
// with `estimate`, each divisor b[k] comes with estimate[k] as its reciprocal's estimate.
// Return false, computing nothing, at a level without FMA.
bool divide_fma_cpu(const double* a, const double* b, double* quotient, int n,
                    const double* estimate = nullptr);
bool square_root_fma_cpu(const double* a, double* root, int n);

}  // namespace lumeth
