#include "record/options.h"

#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/command_line.h"

namespace lumeth::record {
namespace {

constexpr double kMaxFps = 1000.0;
// The zooms at which the galaxy is in the frame and more than a dot. At 0.01 the whole galaxy,
// its halo out to 1600 kpc included, fills a spot about 250 pixels across; below, bulge and
// disk vanish under the black hole's 6-pixel marker. At 10000 the frame spans 25 by 14 pc
// about the black hole, where about 100 of 100000 particles start; beyond, hardly any.
// (Steps much longer than the orbits there, as the default 100 Myr, empty the middle after
// the first frame: deep zooms need short steps.)
constexpr double kMinZoom = 0.01;
constexpr double kMaxZoom = 1e4;

// A finite number above zero and at most `high`: no infinity, no NaN.
bool parse_positive(const char* text, double high, double* value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || !(v > 0.0) || !(v <= high)) {
        return false;
    }
    *value = v;
    return true;
}

}  // namespace

const char* const kUsage =
    "Usage: lumeth-record [options]\n"
    "\n"
    "Runs the galaxy simulation without a window and records every frame as a video: the\n"
    "same galaxy, steps and drawing as lumeth, with the simulated statistics (particles,\n"
    "time, step, frame, backend) in the top-left corner. Prints the seed: the same options\n"
    "and seed give the same frames, so runs can be compared by their decoded pictures.\n"
    "\n"
    "  --frames N       frames to record (default 300)\n"
    "  --seed S         the initial conditions' seed, 0 to 4294967295 (default: the clock)\n"
    "  --out FILE       output file (default lumeth.mp4; no video when snapshots are\n"
    "                   written and --out is not given); the extension picks the\n"
    "                   container: .mp4, .mov or .mkv\n"
    "  --fps F          frames per second of the video (default 30, at most 1000)\n"
    "  --zoom Z         zoom on top of the window's scale (default 1), 0.01 to 10000: from\n"
    "                   the whole galaxy, halo and all, in a spot of about 250 pixels, to\n"
    "                   25 by 14 pc about the black hole (deep zooms need short steps)\n"
    "  --particles N    particles (default 100000, at most 10000000)\n"
    "  --step-myr T     simulated time per frame in Myr (default 100, as in lumeth); 1 to\n"
    "                   10 shows the disk turning; frames times T at most 1e294 Myr\n"
    "  --codec C        h264 (default: libx264, yuv420p) or ffv1 (lossless RGB; .mkv)\n"
    "  --quality Q      h264's constant rate factor, 0 (lossless) to 51 (smallest file);\n"
    "                   default 20, lower is better\n"
    "  --show-rate      also show the production rate (frames/s) in the picture; the\n"
    "                   frames then differ from run to run\n"
    "  --help           print this text and exit\n"
    "\n"
    "Snapshots (HDF5 in GADGET's layout, read by the field's analysis packages):\n"
    "  --snapshot-every K  a snapshot every K steps since the galaxy was generated, and one\n"
    "                   of the new galaxy before the first step\n"
    "  --snapshot-dir DIR  where: DIR/snapshot_NNNNNN.hdf5, NNNNNN the step count (default:\n"
    "                   the current folder; DIR is made if its parent exists)\n"
    "                   The folder is this run's while it runs: a second run into it is\n"
    "                   refused, and so is a folder that holds snapshots of another run\n"
    "  --replace-snapshots  remove the snapshot_*.hdf5 files of another run from the\n"
    "                   folder before the first step, instead of refusing it\n"
    "  --resume FILE    start from a snapshot instead of a new galaxy: the step count and\n"
    "                   the time go on from it, --frames counts this run's frames, and the\n"
    "                   run is the uninterrupted run's, bit for bit; the snapshot fixes the\n"
    "                   particles, the step and the seed (given, they must match it); it may\n"
    "                   write into the folder of the run it continues. A snapshot is read\n"
    "                   only if it is a regular file of at most 1707108864 bytes in HDF5's\n"
    "                   checksummed format, without links or objects lumeth-record does\n"
    "                   not write, of 1 to 10000000 particles, and this run's last step\n"
    "                   count at most 1000000000000000\n"
    "Each file holds Header, Units and Parameters, PartType1 (halo), PartType2 (disk),\n"
    "PartType3 (bulge) and PartType5 (the black hole) with Coordinates, Velocities,\n"
    "Acceleration, Masses and ParticleIDs in kpc, km/s and 1e10 solar masses, and Lumeth\n"
    "with the records' SI values; Time is the simulated time in kpc/(km/s), 977.9 Myr.\n"
    "\n"
    "Each option may be given once; a value follows the option as the next argument or\n"
    "after '=' (--frames=10).\n"
    "\n"
    "Files appear under their names only when complete (written beside them, then renamed);\n"
    "an existing file is replaced only by a complete one.\n"
    "\n"
    "Exit status: 0 when done, 1 when recording or a snapshot failed (the frames so far are\n"
    "kept as a playable video, beside --out where a file had that name; earlier files and\n"
    "the snapshots written are kept), 2 for a bad command line, output file, snapshot\n"
    "folder or snapshot to resume (nothing is written), 130 or 143 when stopped by SIGINT or\n"
    "SIGTERM (the frames so far are kept as a playable video).\n";

int parse_options(int argc, char** argv, RecordOptions* options) {
    bool quality_given = false;
    bool snapshot_dir_given = false;
    const char* step_text = nullptr;
    for (int i = 1; i < argc; ++i) {
        OptionReader option(argc, argv, &i);
        const std::string& arg = option.name();
        auto take_value = [&option] { return option.take_value(); };
        // No value at all (the end of the line, or another option next) is said as such.
        auto refuse = [&](const char* what, const char* text) {
            if (text == nullptr) {
                std::fprintf(stderr, "lumeth-record: %s needs a value: %s\n", arg.c_str(), what);
            } else {
                std::fprintf(stderr, "lumeth-record: %s needs %s, got '%s'\n", arg.c_str(), what,
                             text);
            }
            return 2;
        };
        if (arg == "--help" && !option.has_inline_value()) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option.refuse_repeat("lumeth-record")) {
            return 2;
        }
        if (arg == "--show-rate" && !option.has_inline_value()) {
            options->show_rate = true;
            continue;
        }
        if (arg == "--replace-snapshots" && !option.has_inline_value()) {
            options->replace_snapshots = true;
            continue;
        }
        // What a resumed run checks against its snapshot, and whether a video is asked for.
        options->particles_given |= arg == "--particles";
        options->step_myr_given |= arg == "--step-myr";
        options->out_given |= arg == "--out";

        long long whole = 0;
        // Snapshots and resuming.
        if (arg == "--snapshot-every") {
            const char* text = take_value();
            if (!parse_whole_number(text, 1, 1000000000, &whole)) {
                return refuse("a whole number of steps from 1 to 1000000000", text);
            }
            options->snapshot_every = static_cast<int>(whole);
            continue;
        }
        if (arg == "--snapshot-dir" || arg == "--resume") {
            const char* text = take_value();
            if (text == nullptr || *text == '\0') {
                return refuse(arg == "--resume" ? "a snapshot file" : "a folder", text);
            }
            (arg == "--resume" ? options->resume : options->snapshot_dir) = text;
            snapshot_dir_given |= arg == "--snapshot-dir";
            continue;
        }

        if (arg == "--frames" || arg == "--particles") {
            const bool frames = arg == "--frames";
            const long long high = frames ? 1000000000 : kMaxParticles;
            const char* text = take_value();
            if (!parse_whole_number(text, 1, high, &whole)) {
                return refuse(frames ? "a whole number from 1 to 1000000000"
                                     : "a whole number from 1 to 10000000",
                              text);
            }
            (frames ? options->frames : options->particles) = static_cast<int>(whole);
        } else if (arg == "--seed") {
            const char* text = take_value();
            if (!parse_whole_number(text, 0, 4294967295LL, &whole)) {
                return refuse("a whole number from 0 to 4294967295", text);
            }
            options->seed = static_cast<std::uint32_t>(whole);
            options->seed_given = true;
        } else if (arg == "--quality") {
            const char* text = take_value();
            if (!parse_whole_number(text, 0, kLowestQuality, &whole)) {
                return refuse("a whole number from 0 to 51", text);
            }
            options->quality = static_cast<int>(whole);
            quality_given = true;
        } else if (arg == "--fps") {
            const char* text = take_value();
            if (!parse_positive(text, kMaxFps, &options->fps)) {
                return refuse("a number above 0 and at most 1000", text);
            }
        } else if (arg == "--zoom") {
            const char* text = take_value();
            if (!parse_positive(text, kMaxZoom, &options->zoom) || options->zoom < kMinZoom) {
                return refuse("a number from 0.01 to 10000", text);
            }
        } else if (arg == "--step-myr") {
            const char* text = take_value();
            if (!parse_positive(text, HUGE_VAL, &options->step_myr)) {
                return refuse("a number above 0", text);
            }
            step_text = text;
        } else if (arg == "--out") {
            const char* text = take_value();
            if (text == nullptr || *text == '\0') {
                return refuse("a file name", text);
            }
            options->out = text;
        } else if (arg == "--codec") {
            const char* text = take_value();
            const std::string name = text != nullptr ? text : "";
            if (name == "h264") {
                options->codec = Codec::h264;
            } else if (name == "ffv1") {
                options->codec = Codec::ffv1;
            } else {
                return refuse("h264 or ffv1", text);
            }
        } else {
            std::fprintf(stderr, "lumeth-record: unknown option '%s' (try --help)\n", argv[i]);
            return 2;
        }
    }
    if (snapshot_dir_given && options->snapshot_every == 0) {
        std::fprintf(stderr,
                     "lumeth-record: --snapshot-dir needs --snapshot-every K, the steps between "
                     "snapshots\n");
        return 2;
    }
    if (options->replace_snapshots && options->snapshot_every == 0) {
        std::fprintf(stderr,
                     "lumeth-record: --replace-snapshots needs --snapshot-every K, the steps "
                     "between snapshots\n");
        return 2;
    }
    if (quality_given && options->codec != Codec::h264) {
        std::fprintf(stderr, "lumeth-record: --quality applies to h264 only; %s is lossless\n",
                     codec_name(options->codec));
        return 2;
    }
    // The step against the frames, whichever came first.
    if (!(options->frames * options->step_myr <= kMaxSimulatedMyr)) {
        std::fprintf(stderr,
                     "lumeth-record: --step-myr needs a number whose product with --frames (%d) is "
                     "at most 1e294 Myr, got '%s'\n",
                     options->frames, step_text);
        return 2;
    }
    return -1;
}

const char* container_for(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return nullptr;
    }
    const char* extension = path.c_str() + dot + 1;
    if (strcasecmp(extension, "mp4") == 0) {
        return "mp4";
    }
    if (strcasecmp(extension, "mov") == 0) {
        return "mov";
    }
    if (strcasecmp(extension, "mkv") == 0) {
        return "matroska";
    }
    return nullptr;
}

const char* codec_name(Codec codec) {
    return codec == Codec::ffv1 ? "ffv1" : "h264";
}

}  // namespace lumeth::record
