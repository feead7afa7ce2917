// The words of lumeth-bench's rows: speed-ups over the baseline, figures over their floors or
// over a yardstick, bandwidths, and the backend names. Every row says these the same way.
#pragma once

#include <cstddef>
#include <string>

#include "gpu/step_driver.h"

namespace lumeth::bench {

// A baseline median below this is mostly the clock's and the call's own overhead: no speed-up
// is computed from it.
constexpr double kShortestBaselineMs = 0.01;
// A measured floor is set against its figure only from this long a run: below it the clock and
// the start of the threads (on the GPU, the events' resolution of about half a microsecond and
// the copy's own start) outweigh the work it bounds, and the floor bounds nothing.
constexpr double kShortestHostFloorMs = 0.1;
constexpr double kShortestGpuFloorMs = 0.005;

// "speed-up 2.4x", or why none is given.
std::string speed_up(double baseline_ms, double ms);

// "1.35x its floor" (floor_name "its floor"), or that a measured floor is not compared: under
// `shortest_ms` a run, or measured slower than the figure itself (then it bounds nothing at
// this count). A NaN shortest_ms: the floor is computed, not measured, and always compared.
std::string of_floor(double ms, double floor_ms, double shortest_ms,
                     const std::string& floor_name = "its floor");

// "0.95x the divider floor (a yardstick, not its floor)": a figure set against another
// method's floor, which does not bound it.
std::string of_yardstick(double ms, double yardstick_ms, double shortest_ms,
                         const std::string& yardstick_name);

// A floor row's own note when it is too short to be compared at this count.
std::string floor_note(double floor_ms, double shortest_ms);

// "12.3 GB/s", or that a run under `shortest_ms` is too short to give one.
std::string bandwidth(std::size_t bytes, double ms, double shortest_ms);

// The step functions as the program calls them, on the backend they chose: "program: gpu",
// "program: cpu (no device)". Not "driver", which a reader takes for the NVIDIA driver.
std::string program_backend(StepBackend backend);

}  // namespace lumeth::bench
