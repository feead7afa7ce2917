#include "cpu_kernels.h"

#include <experimental/simd>

#include "physics.h"

#ifdef _OPENMP
#include <omp.h>
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

// The force pass for kLanes consecutive particles at once. Each lane carries out exactly the
// scalar sequence of compute_particle_acceleration: the black hole's pull per particle, then
// the sampled pairs in increasing j, each added in its own rounding; the lane whose index is
// j skips that pair.
void compute_block(Particle* particles, int count, int first, double center_x,
                   double center_y, double center_z) {
    Particle* block = particles + first;
    Vector3<Lanes> a{Lanes(0.0), Lanes(0.0), Lanes(0.0)};
    for (int lane = 0; lane < kLanes; ++lane) {
        const Particle& p = block[lane];
        const Vector3<double> pull =
            black_hole_pull(p.position[0] - center_x, p.position[1] - center_y,
                            p.position[2] - center_z, p.velocity[0], p.velocity[1],
                            p.velocity[2]);
        a.x[lane] = pull.x;
        a.y[lane] = pull.y;
        a.z[lane] = pull.z;
    }

    const Lanes x = gather(block, [](const Particle& p) { return p.position[0]; });
    const Lanes y = gather(block, [](const Particle& p) { return p.position[1]; });
    const Lanes z = gather(block, [](const Particle& p) { return p.position[2]; });
    const Lanes vx = gather(block, [](const Particle& p) { return p.velocity[0]; });
    const Lanes vy = gather(block, [](const Particle& p) { return p.velocity[1]; });
    const Lanes vz = gather(block, [](const Particle& p) { return p.velocity[2]; });
    const Lanes mass = gather(block, [](const Particle& p) { return p.mass; });
    const Lanes index([first](auto lane) { return static_cast<double>(first + lane); });

    for (int j = 0; j < count; j += kPairSampleStride) {
        const Particle& pj = particles[j];
        const Vector3<Lanes> pull =
            pair_pull<Lanes>(x, y, z, vx, vy, vz, mass, pj.position[0], pj.position[1],
                             pj.position[2], pj.velocity[0], pj.velocity[1], pj.velocity[2],
                             pj.mass);
        const LaneMask other = index != static_cast<double>(j);
        stdx::where(other, a.x) = a.x + pull.x;
        stdx::where(other, a.y) = a.y + pull.y;
        stdx::where(other, a.z) = a.z + pull.z;
    }

    for (int lane = 0; lane < kLanes; ++lane) {
        block[lane].acceleration[0] = a.x[lane];
        block[lane].acceleration[1] = a.y[lane];
        block[lane].acceleration[2] = a.z[lane];
    }
}

}  // namespace

void compute_forces_cpu(Particle* particles, int count, double center_x, double center_y,
                        double center_z) {
    if (count <= 0) {
        return;
    }
    const int blocks = count / kLanes;
#pragma omp parallel for schedule(static)
    for (int b = 0; b < blocks; ++b) {
        compute_block(particles, count, b * kLanes, center_x, center_y, center_z);
    }
    for (int i = blocks * kLanes; i < count; ++i) {
        compute_particle_acceleration(particles, count, i, center_x, center_y, center_z);
    }
}

void integrate_cpu(Particle* particles, int count, double dt) {
#pragma omp parallel for schedule(static)
    for (int i = 0; i < count; ++i) {
        integrate_particle(&particles[i], dt);
    }
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

int cpu_simd_width() { return kLanes; }

}  // namespace lumeth
