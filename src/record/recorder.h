// lumeth-record's run: the interactive program's start-up, steps and drawing, without a
// window, each frame read back and encoded into a video file, and snapshots of the galaxy.
#pragma once

#include "app/simulation_state.h"
#include "record/options.h"

namespace lumeth::record {

// The backend in the overlay's first line, as the window title names it: "CUDA" or "CPU".
const char* backend_label();

// Draws one recorded frame into state.renderer: the interactive program's frame
// (lumeth::draw_frame) and the statistics panel over its top-left corner (backend,
// particles and simulated time as in the window title, and the frame rate `fps` only with
// `show_rate`; the step and the frame number below: `frame` steps since the galaxy was
// generated, of `frames`). Without the rate, the same options and seed give the same
// pictures on every run. Does not present.
void draw_recorded_frame(const SimulationState& state, double fps, bool show_rate, double step_myr,
                         long long frame, long long frames);

// Records the video and the snapshots the options describe, from a new galaxy or from the
// snapshot to resume. Prints the seed and settings on standard output first and a one-line
// summary last; progress, notes and errors go to standard error. SIGINT and SIGTERM stop it
// after the current frame with the video completed. The video is written under a temporary
// name and renamed when complete, as every snapshot is.
// Returns the exit status: 0, 1 (recording or a snapshot failed; the unfinished video is
// removed, an earlier file of its name and the snapshots written before are kept), 2 (a
// snapshot that cannot be resumed, an output that cannot be written: nothing is written),
// or 128 plus the stopping signal.
int run_recording(const RecordOptions& options);

}  // namespace lumeth::record
