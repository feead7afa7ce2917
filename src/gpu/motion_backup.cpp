#include "motion_backup.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace lumeth {

static_assert(offsetof(Particle, velocity) + 3 * sizeof(double) == kMotionBytes,
              "position and velocity are the leading 48 bytes of the record");

bool reserve_motion_backup(MotionBackup* backup, int count) {
    if (count <= backup->capacity) {
        return true;
    }
    release_motion_backup(backup);
    backup->motion =
        static_cast<double*>(std::malloc(static_cast<std::size_t>(count) * kMotionBytes));
    if (backup->motion == nullptr) {
        return false;
    }
    backup->capacity = count;
    return true;
}

void release_motion_backup(MotionBackup* backup) {
    std::free(backup->motion);
    *backup = MotionBackup{};
}

void save_motion(const Particle* particles, int count, MotionBackup* backup) {
    double* motion = backup->motion;
#pragma omp parallel for schedule(static)
    for (int i = 0; i < count; ++i) {
        std::memcpy(motion + 6 * static_cast<std::size_t>(i), &particles[i], kMotionBytes);
    }
}

void restore_motion(Particle* particles, int count, const MotionBackup& backup) {
    const double* motion = backup.motion;
#pragma omp parallel for schedule(static)
    for (int i = 0; i < count; ++i) {
        std::memcpy(&particles[i], motion + 6 * static_cast<std::size_t>(i), kMotionBytes);
    }
}

}  // namespace lumeth
