// A host copy of every record's position and velocity. A device step of step_integrate keeps
// one, taken while the kernel runs: a copy back that breaks off midway may have overwritten a
// prefix of the host array with integrated records, and the copy restores them before the CPU
// carries out the step again from the records as they were.
#pragma once

#include <cstddef>

#include "sim/particle.h"

namespace lumeth {

struct MotionBackup {
    double* motion = nullptr;  // six doubles per record: position, then velocity
    int capacity = 0;          // records it has room for
};

// Room for `count` records; false when the heap cannot supply it.
bool reserve_motion_backup(MotionBackup* backup, int count);
void release_motion_backup(MotionBackup* backup);

// Copies the position and velocity of records 0..count-1 into the backup (count within its
// capacity), or back from it. Spread over the OpenMP threads.
void save_motion(const Particle* particles, int count, MotionBackup* backup);
void restore_motion(Particle* particles, int count, const MotionBackup& backup);

// Bytes of position and velocity per record: the leading 48 bytes of the record.
constexpr std::size_t kMotionBytes = 6 * sizeof(double);

}  // namespace lumeth
