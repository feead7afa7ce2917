// Snapshots built in memory for the recorder's tests: a galaxy of `count` particles drawn
// from `seed`, with 100 Myr steps, the step count, time and producer given.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "record/snapshot.h"
#include "sim/constants.h"
#include "sim/initial_conditions.h"

inline std::string snapshot_bytes(int count, std::uint32_t seed, long long steps, double time,
                                  const std::string& backend = "CPU",
                                  const std::string& math_library = "glibc") {
    std::vector<Particle> particles(count);
    lumeth::generate_galaxy(particles.data(), count, seed);
    lumeth::record::SnapshotInfo info;
    info.particle_count = count;
    info.step_count = steps;
    info.step_myr = 100.0;
    info.step_seconds = 100.0 * lumeth::kSecondsPerMegayear;
    info.sim_time = time;
    info.seed = seed;
    info.backend = backend;
    info.math_library = math_library;
    lumeth::record::FileBytes image;
    std::string error;
    EXPECT_TRUE(lumeth::record::snapshot_image(info, particles.data(), &image, &error)) << error;
    return image.data ? std::string(image.data.get(), image.size) : std::string();
}
