// lumeth-record's command line: what to record and where.
#pragma once

#include <cstdint>
#include <string>

#include "app/app.h"
#include "sim/constants.h"

namespace lumeth::record {

enum class Codec {
    h264,  // libx264, yuv420p: small files every player takes
    ffv1,  // FFV1 on the frame's own RGB pixels: lossless, for exact comparisons
};

// x264's constant rate factor: 0 (lossless) to 51 (smallest); 18 looks the same as the
// source to most eyes, every 6 steps up halve the size.
constexpr int kDefaultQuality = 20;
constexpr int kLowestQuality = 51;
constexpr int kMaxParticles = 10000000;
// The most simulated time a run may reach, a resumed one counting the time it starts from:
// 1e294 Myr is 3.2e307 s, which leaves the running sum of the steps (each addition rounded)
// far from the largest finite double.
constexpr double kMaxSimulatedMyr = 1e294;

struct RecordOptions {
    int frames = 300;
    std::uint32_t seed = 0;
    bool seed_given = false;
    std::string out = "lumeth.mp4";
    double fps = 30.0;
    double zoom = 1.0;
    int particles = kParticleCount;                     // as in the interactive program
    double step_myr = kTimeStep / kSecondsPerMegayear;  // Myr per frame, likewise
    Codec codec = Codec::h264;
    int quality = kDefaultQuality;
    bool show_rate = false;  // the production rate in the picture (frames then differ by run)

    // Snapshots and resuming.
    int snapshot_every = 0;          // a snapshot every this many steps; 0: none
    std::string snapshot_dir = ".";  // where they go
    std::string resume;              // the snapshot to start from; empty: a new galaxy
    bool replace_snapshots = false;  // another run's snapshots in the folder are removed
    // Which options were given: a snapshot fixes the particle count, the step and the seed,
    // and --out is optional where snapshots are written.
    bool particles_given = false;
    bool step_myr_given = false;
    bool out_given = false;
    // Whether a video is written: always, except for a snapshot run without --out.
    bool writes_video() const { return out_given || snapshot_every == 0; }
};

// The usage text that --help prints.
extern const char* const kUsage;

// Fills *options from the command line. Returns -1 to go on, 0 after printing the usage on
// standard output (--help), or 2 after printing one message on standard error. Checks each
// value on its own, that no option is given twice, the codec against --quality and the step
// against the frames; the output file is checked where it is opened.
int parse_options(int argc, char** argv, RecordOptions* options);

// The container for a file name, from its extension (case-insensitive): "mp4" (.mp4),
// "matroska" (.mkv), "mov" (.mov); nullptr for any other.
const char* container_for(const std::string& path);

const char* codec_name(Codec codec);

}  // namespace lumeth::record
