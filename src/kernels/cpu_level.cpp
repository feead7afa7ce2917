// The CPU loops of the force and integration passes, compiled once per instruction-set level
// (see CMakeLists.txt): each build of this file defines one CpuLevelKernels table, and the
// dispatcher in cpu_kernels.cpp picks one table at run time.
//
// Nothing here may end up shared with code compiled for another level. The level's own
// functions are internal to this file, and the inline functions of physics.h live in this
// level's inline namespace (LUMETH_ISA_NAMESPACE), so the linker never gets to choose between
// two levels' copies of one inline function. Nor may this file have static initializers: they
// would run at start-up, before the level is checked against the CPU.
#if !defined(LUMETH_CPU_LEVEL) || !defined(LUMETH_CPU_LEVEL_NAME) || !defined(LUMETH_ISA_NAMESPACE)
#error "compile cpu_level.cpp through CMakeLists.txt, which names the instruction-set level"
#endif

#include "cpu_level.h"

#include <algorithm>
#include <experimental/simd>

#include "cpu_kernels.h"
#include "interleaved.h"
#include "physics.h"
#if defined(__FMA__)
#include "fma_arithmetic.h"
#endif

namespace lumeth {
namespace {

namespace stdx = std::experimental;

using Lanes = stdx::native_simd<double>;
using LaneMask = Lanes::mask_type;
constexpr int kLanes = static_cast<int>(Lanes::size());

// Loads one double field of records first .. first+kLanes-1 into the lanes.
template <typename Field>
Lanes gather(const Particle* first, Field field) {
    return Lanes([&](auto lane) { return field(first[lane]); });
}

// kLanes consecutive particles evaluated together: their state, and the acceleration summed
// so far in each lane.
struct LaneBlock {
    Lanes x, y, z, vx, vy, vz, mass, index;
    Vector3<Lanes> a;
};

// Loads the block starting at record `first` and starts each lane's sum with the black hole's
// pull on that particle, exactly as compute_particle_acceleration does.
LaneBlock load_block(const Particle* particles, int first, double center_x, double center_y,
                     double center_z) {
    const Particle* block = particles + first;
    LaneBlock b;
    b.x = gather(block, [](const Particle& p) { return p.position[0]; });
    b.y = gather(block, [](const Particle& p) { return p.position[1]; });
    b.z = gather(block, [](const Particle& p) { return p.position[2]; });
    b.vx = gather(block, [](const Particle& p) { return p.velocity[0]; });
    b.vy = gather(block, [](const Particle& p) { return p.velocity[1]; });
    b.vz = gather(block, [](const Particle& p) { return p.velocity[2]; });
    b.mass = gather(block, [](const Particle& p) { return p.mass; });
    b.index = Lanes([first](auto lane) { return static_cast<double>(first + lane); });
    for (int lane = 0; lane < kLanes; ++lane) {
        const Particle& p = block[lane];
        const Vector3<double> pull =
            black_hole_pull(p.position[0] - center_x, p.position[1] - center_y,
                            p.position[2] - center_z, p.velocity[0], p.velocity[1], p.velocity[2]);
        b.a.x[lane] = pull.x;
        b.a.y[lane] = pull.y;
        b.a.z[lane] = pull.z;
    }
    return b;
}

void store_block(Particle* particles, int first, const LaneBlock& b) {
    for (int lane = 0; lane < kLanes; ++lane) {
        Particle& p = particles[first + lane];
        p.acceleration[0] = b.a.x[lane];
        p.acceleration[1] = b.a.y[lane];
        p.acceleration[2] = b.a.z[lane];
    }
}

// Sampled particles j evaluated side by side against one block, interleaved at the instruction
// level (interleaved.h): one pair evaluation is a long chain of mostly dependent divisions and
// a square root, and independent chains keep the divider or the FMA units busy. Their pulls
// are still added one j at a time, in increasing j.
constexpr int kPairsInFlight = 4;
using PairLanes = Interleaved<Lanes, kPairsInFlight>;
constexpr int kParticlesPerGroup = kLanes;

// The force pass for the kLanes consecutive particles starting at `first`: each lane carries
// out exactly the scalar sequence of compute_particle_acceleration, the black hole's pull,
// then the sampled pairs in increasing j, dividing with `Arithmetic`. The sampled particles
// past the last one are stand-ins (the first of the kPairsInFlight) whose pulls are not
// added. Flattened: every call in it, libstdc++'s SIMD helpers included, is inlined, so none
// of them is emitted as a shared out-of-line copy.
template <typename Arithmetic>
[[gnu::flatten]] void compute_group(Particle* particles, int count, int first, double center_x,
                                    double center_y, double center_z) {
    const Arithmetic arithmetic{};
    LaneBlock b = load_block(particles, first, center_x, center_y, center_z);
    const PairLanes x(b.x), y(b.y), z(b.z), vx(b.vx), vy(b.vy), vz(b.vz), mass(b.mass);
    const auto by_mass = arithmetic.divisor(mass);
    constexpr int kStep = kPairsInFlight * kPairSampleStride;
    for (int j0 = 0; j0 < count; j0 += kStep) {
        const Particle* pj[kPairsInFlight];
        for (int k = 0; k < kPairsInFlight; ++k) {
            const int j = j0 + k * kPairSampleStride;
            pj[k] = &particles[j < count ? j : j0];
        }
        auto field = [&](auto get) {
            return PairLanes::from([&](int k) { return Lanes(get(*pj[k])); });
        };
        const Vector3<PairLanes> pull = pair_pull<PairLanes>(
            x, y, z, vx, vy, vz, mass, field([](const Particle& p) { return p.position[0]; }),
            field([](const Particle& p) { return p.position[1]; }),
            field([](const Particle& p) { return p.position[2]; }),
            field([](const Particle& p) { return p.velocity[0]; }),
            field([](const Particle& p) { return p.velocity[1]; }),
            field([](const Particle& p) { return p.velocity[2]; }),
            field([](const Particle& p) { return p.mass; }), arithmetic, by_mass);
        // Every lane but the one whose index is j, each addition rounded on its own as in the
        // scalar loop.
        for (int k = 0; k < kPairsInFlight; ++k) {
            const int j = j0 + k * kPairSampleStride;
            if (j >= count) {
                break;
            }
            const LaneMask other = b.index != static_cast<double>(j);
            stdx::where(other, b.a.x) = b.a.x + pull.x.part[k];
            stdx::where(other, b.a.y) = b.a.y + pull.y.part[k];
            stdx::where(other, b.a.z) = b.a.z + pull.z.part[k];
        }
    }
    store_block(particles, first, b);
}

// The force pass over the groups first_group .. last_group - 1 (kParticlesPerGroup records
// each), spread over the OpenMP threads; with last_group past the whole groups, also the
// records after the last whole group, one at a time.
template <typename Arithmetic>
void compute_forces(Particle* particles, int count, double center_x, double center_y,
                    double center_z, int first_group, int last_group, double* thread_ms) {
    const int groups = count / kParticlesPerGroup;
    const int end = last_group < groups ? last_group : groups;
    // Dynamic chunks of up to 64 groups, at least four per thread: a core slowed by other work
    // on the machine does not hold up the pass, and a short range still reaches every thread.
    const int chunk = std::clamp((end - first_group) / (4 * cpu_thread_count()), 1, 64);
    double spent_ms = 0.0;
#pragma omp parallel reduction(+ : spent_ms)
    {
        const double start_ms = thread_ms != nullptr ? thread_cpu_ms() : 0.0;
        // No barrier before the clock stops: a thread's wait for the others is not its work.
#pragma omp for schedule(dynamic, chunk) nowait
        for (int g = first_group; g < end; ++g) {
            compute_group<Arithmetic>(particles, count, g * kParticlesPerGroup, center_x, center_y,
                                      center_z);
        }
        if (thread_ms != nullptr) {
            spent_ms += thread_cpu_ms() - start_ms;
        }
    }
    if (thread_ms != nullptr) {
        *thread_ms = spent_ms;
    }
    if (last_group > groups) {
        for (int i = groups * kParticlesPerGroup; i < count; ++i) {
            compute_particle_acceleration(particles, count, i, center_x, center_y, center_z);
        }
    }
}

void compute_forces_hardware(Particle* particles, int count, double center_x, double center_y,
                             double center_z, int first_group, int last_group, double* thread_ms) {
    compute_forces<IeeeArithmetic>(particles, count, center_x, center_y, center_z, first_group,
                                   last_group, thread_ms);
}

#if defined(__FMA__)
void compute_forces_fma(Particle* particles, int count, double center_x, double center_y,
                        double center_z, int first_group, int last_group, double* thread_ms) {
    compute_forces<FmaArithmetic<PairLanes>>(particles, count, center_x, center_y, center_z,
                                             first_group, last_group, thread_ms);
}

// quotient[k] = a[k] / b[k] and root[k] = sqrt(a[k]) for k < n with FmaArithmetic, a vector
// at a time (the last one padded with ones): its results for the tests to compare with the
// divider's. With `estimate`, each b[k] is a divisor whose reciprocal's estimate is
// estimate[k], as the pair term's divisors with estimates derived from 1/d's are.
[[gnu::flatten]] void divide_fma(const double* a, const double* b, const double* estimate,
                                 double* quotient, int n) {
    const FmaArithmetic<Lanes> arithmetic{};
    for (int k = 0; k < n; k += kLanes) {
        const Lanes x([&](auto lane) { return k + int(lane) < n ? a[k + lane] : 1.0; });
        const Lanes y([&](auto lane) { return k + int(lane) < n ? b[k + lane] : 1.0; });
        Lanes q;
        if (estimate == nullptr) {
            q = arithmetic.divide(x, y);
        } else {
            const Lanes e([&](auto lane) { return k + int(lane) < n ? estimate[k + lane] : 1.0; });
            q = arithmetic.divide(x, arithmetic.divisor(y, e));
        }
        for (int lane = 0; lane < kLanes && k + lane < n; ++lane) {
            quotient[k + lane] = q[lane];
        }
    }
}

[[gnu::flatten]] void square_root_fma(const double* a, double* root, int n) {
    const FmaArithmetic<Lanes> arithmetic{};
    for (int k = 0; k < n; k += kLanes) {
        const Lanes x([&](auto lane) { return k + int(lane) < n ? a[k + lane] : 1.0; });
        const Lanes s = arithmetic.square_root(x);
        for (int lane = 0; lane < kLanes && k + lane < n; ++lane) {
            root[k + lane] = s[lane];
        }
    }
}
#endif

// --- The benchmark's floors ------------------------------------------------------------------

// Independent chains of one operation, kLanes doubles each: enough of them that the unit's
// throughput, not an operation's latency, bounds the time.
constexpr int kProbeChains = 12;

// Where the probes leave the sum of their chains, so that no chain can be left out.
volatile double probe_result = 0.0;

// Spreads `vectors` vector operations over the OpenMP threads, kProbeChains per round.
template <typename Round>
void run_probe(long long vectors, Round round) {
    const long long rounds = (vectors + kProbeChains - 1) / kProbeChains;
    double sum = 0.0;
#pragma omp parallel reduction(+ : sum)
    {
        Lanes chain[kProbeChains];
        for (int c = 0; c < kProbeChains; ++c) {
            chain[c] = Lanes(1.25 + 0.01 * c);
        }
#pragma omp for schedule(static)
        for (long long r = 0; r < rounds; ++r) {
            round(chain);
        }
        for (int c = 0; c < kProbeChains; ++c) {
            sum += stdx::reduce(chain[c]);
        }
    }
    probe_result = sum;
}

// The divisions and square roots of `pairs` pair evaluations on the divider, in the widest
// vectors: 11 divisions and one square root per pair (chains x -> 1.7 / x and x -> sqrt(x),
// which stay near 1).
[[gnu::flatten]] void run_divider_floor(long long pairs) {
    const long long vectors = (pairs + kLanes - 1) / kLanes * 12;
    run_probe(vectors, [](Lanes* chain) {
        for (int c = 0; c < kProbeChains; ++c) {
            chain[c] = c % 12 == 11 ? sqrt(chain[c]) : Lanes(1.7) / chain[c];
        }
    });
}

#if defined(__FMA__)
// As many fused multiply-adds as the fma division's pair evaluations issue vector operations
// (chains x -> x * 0.5 + 0.625, which stay near 1.25).
[[gnu::flatten]] void run_fma_floor(long long pairs) {
    const long long vectors =
        (pairs + kLanes - 1) / kLanes * FmaArithmetic<Lanes>::kOperationsPerPair;
    run_probe(vectors, [](Lanes* chain) {
        for (int c = 0; c < kProbeChains; ++c) {
            chain[c] = fused_multiply_add(chain[c], Lanes(0.5), Lanes(0.625));
        }
    });
}
#endif

// The integration pass over records 0..count-1, spread over the OpenMP threads.
void integrate(Particle* particles, int count, double dt) {
#pragma omp parallel for schedule(static)
    for (int i = 0; i < count; ++i) {
        integrate_particle(&particles[i], dt);
    }
}

}  // namespace

namespace cpu_levels {

// Constant-initialised: no code of this level runs before the dispatcher has chosen it.
extern const CpuLevelKernels LUMETH_CPU_LEVEL;
#if defined(__FMA__)
constexpr CpuLevelKernels LUMETH_CPU_LEVEL = {LUMETH_CPU_LEVEL_NAME,
                                              kLanes,
                                              kParticlesPerGroup,
                                              compute_forces_hardware,
                                              compute_forces_fma,
                                              divide_fma,
                                              square_root_fma,
                                              integrate,
                                              run_divider_floor,
                                              run_fma_floor,
                                              FmaArithmetic<Lanes>::kOperationsPerPair};
#else
constexpr CpuLevelKernels LUMETH_CPU_LEVEL = {LUMETH_CPU_LEVEL_NAME,
                                              kLanes,
                                              kParticlesPerGroup,
                                              compute_forces_hardware,
                                              nullptr,
                                              nullptr,
                                              nullptr,
                                              integrate,
                                              run_divider_floor,
                                              nullptr,
                                              0};
#endif

}  // namespace cpu_levels
}  // namespace lumeth
