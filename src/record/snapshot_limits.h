// What lumeth-record writes and resumes from at most, and the checks of a snapshot file's
// own bytes made before HDF5 parses any of them.
#pragma once

#include <cstddef>
#include <string>

#include "record/options.h"

namespace lumeth::record {

// Steps since the galaxy was generated: a snapshot's step count and a resumed run's last
// step stay within it, so that no count, file name or sum of them can overflow (a thousand
// years of runs of a billion frames each).
constexpr long long kMaxStepCount = 1000000000000000;

// File bytes per particle: the records (80) and the GADGET values (3 x 24, 8 and 4).
constexpr std::size_t kSnapshotBytesPerParticle = 164;
// The largest snapshot: kMaxParticles particles, each dataset's last chunk padded, and the
// metadata.
constexpr std::size_t kMaxSnapshotBytes =
    kSnapshotBytesPerParticle * kMaxParticles + (std::size_t{64} << 20);

// Checks the HDF5 superblock the way the recorder writes it before HDF5 reads anything: the
// signature at the start (no user block), a superblock of version 2 or 3 (the formats whose
// metadata carries checksums), 8-byte addresses and lengths, base address 0, and an end of
// file that is the file's size. False with *error in a user's words.
bool check_superblock(const unsigned char* bytes, std::size_t size, std::string* error);

}  // namespace lumeth::record
