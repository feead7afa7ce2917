// Snapshots: the galaxy as an HDF5 file in GADGET's layout, which the field's analysis
// packages read without options, plus the records' own SI doubles, from which a run resumes
// bit for bit.
//
// The file (HDF5 1.10 file format, whose object headers carry checksums):
//  /Header      GADGET's attributes: NumPart_ThisFile, NumPart_Total, NumPart_Total_HighWord,
//               MassTable (all 0: every type has a Masses dataset), Time (the simulated time
//               in the internal time unit), Redshift 0, BoxSize 0, NumFilesPerSnapshot 1,
//               Omega0 0, OmegaLambda 0, HubbleParam 1, Flag_Sfr, Flag_Cooling,
//               Flag_StellarAge, Flag_Metals, Flag_Feedback (0), Flag_DoublePrecision 1
//  /Units, /Parameters   UnitLength_in_cm 3.086e21 (kpc), UnitMass_in_g 1.989e43 (1e10 solar
//               masses), UnitVelocity_in_cm_per_s 1e5 (km/s), UnitTime_in_s 3.086e16;
//               Parameters also ComovingIntegrationOn 0 and the cosmology of the Header
//  /PartType1 halo, /PartType2 disk, /PartType3 bulge, /PartType5 the black hole (one
//               particle at the origin, at rest): Coordinates, Velocities, Acceleration
//               (N x 3), Masses (N), float64 in the internal units; ParticleIDs (N, uint32)
//               the record's index in the array (the black hole's is the particle count)
//  /Lumeth      Particles (count x 10 float64: the records as they are in memory, SI) and
//               the attributes LayoutVersion (2), ParticleCount, StepCount, Time_s,
//               StepLength_s, StepLength_Myr, Seed, Backend, MathLibrary (texts)
// A population without records has no group. Every dataset is chunked with HDF5's
// Fletcher32 filter, which any HDF5 reader checks. This code makes and checks the chunks
// itself, with the same checksum (record/fletcher32.h) and the same bytes as the filter,
// without its copies: each chunk is handed to HDF5 whole when writing, and read where it
// lies in the file's bytes. Reading a snapshot checks every chunk of every dataset and that
// the GADGET values are the ones the records give.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "record/file_commit.h"
#include "sim/particle.h"

namespace lumeth::record {

// The internal units: kpc, km/s, 1e10 solar masses; time kpc / (km/s).
constexpr double kUnitLengthInCm = 3.086e21;
constexpr double kUnitMassInG = 1.989e43;
constexpr double kUnitVelocityInCmPerS = 1e5;
constexpr double kUnitTimeInS = 3.086e16;

// What decides the bits of the run from a snapshot on, and where it stands.
struct SnapshotInfo {
    int particle_count = 0;
    long long step_count = 0;   // steps since the galaxy was generated
    double sim_time = 0.0;      // s: step_count additions of step_seconds
    double step_seconds = 0.0;  // s, step_myr * kSecondsPerMegayear
    double step_myr = 0.0;      // the step as given on the command line
    std::uint32_t seed = 0;     // the seed the galaxy was generated with
    // What produced it: the backend of the steps ("CPU" or "CUDA"; empty for the new galaxy,
    // before any step) and the math library they used, which decide the bits within the
    // black hole's inner zone. Written in layout 2; empty in a file of layout 1.
    std::string backend;
    std::string math_library;
    int layout_version = 2;  // the file's, when read
};

struct Snapshot {
    SnapshotInfo info;
    std::vector<Particle> particles;
};

// "snapshot_000042.hdf5": the step count in six digits, more when needed.
std::string snapshot_file_name(long long step_count);

// The file's bytes for `info` and its info.particle_count records. The block *image holds
// from an earlier call is used again when it is large enough. False with *error only when
// HDF5 fails in memory.
bool snapshot_image(const SnapshotInfo& info, const Particle* particles, FileBytes* image,
                    std::string* error);

// Checks and reads a snapshot's bytes. On failure *error says what is wrong, in words for a
// user ("truncated: ...", "corrupted: ...", "inconsistent: ...", "not a lumeth snapshot:
// ...").
bool parse_snapshot(const char* bytes, std::size_t size, Snapshot* snapshot, std::string* error);

// parse_snapshot on the file's contents; also "cannot read it: <reason>".
bool read_snapshot(const std::string& path, Snapshot* snapshot, std::string* error);

}  // namespace lumeth::record
