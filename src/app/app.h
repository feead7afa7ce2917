// The application shell: start-up, the handling of one input event, one iteration of the frame
// loop and shutdown.
#pragma once

#include <SDL3/SDL.h>

#include <cstddef>

#include "app/render.h"
#include "app/simulation_state.h"
#include "sim/particle.h"

namespace lumeth {

constexpr int kParticleCount = 100000;
constexpr const char* kWindowTitle = "Lumeth Galaxy Simulation (CUDA)";
// One press of a zoom key multiplies (zoom in) or divides (zoom out) the zoom by this.
constexpr double kZoomFactor = 1.2;
// 960 pixels per 125 kpc: the window's half-width spans 125 kpc at zoom 1.
constexpr double kProjectionScale = 2.488658457550227e-19;

// The line after "Window creation failed: ..." when no video driver could start, which
// means there is no display.
constexpr const char* kNoDisplayAdvice =
    "No display to open a window on: run lumeth on a desktop, under xvfb-run "
    "(xvfb-run -s '-screen 0 1920x1080x24' lumeth), or make a video with lumeth-record.\n";

// Allocates `count` uninitialised records. When the heap cannot supply them, prints
// "Particle allocation failed: <bytes> bytes" on standard error and exits with status 1:
// nothing in the program can run without the full array.
Particle* allocate_particles(std::size_t count);

// Start-up up to the frame loop: banner, SDL video, window, renderer, the particle array and
// the initial galaxy. A window or renderer failure prints SDL's error on standard error and
// exits with status 1 at once, releasing nothing; without a display kNoDisplayAdvice follows.
void start_up(SimulationState* state);

// Frame rate from two performance-counter readings: the unsigned 64-bit difference (so a
// wrapped counter still gives the true gap) over the frequency, then its reciprocal. Equal
// readings give +infinity.
double frame_rate(Uint64 now, Uint64 previous, Uint64 frequency);

// Applies one input event to the record: a quit event, Escape or Q clear `*running`; Space
// toggles the pause; `+` or `=` multiply the zoom by 1.2 and `-` divides it by 1.2. Only
// the key code of key-down events counts (modifiers and key repeat do not); every other
// event is ignored.
void handle_event(const SDL_Event& event, SimulationState* state, bool* running);

// One time step of dt: the force pass, the integration pass, and dt added to the simulated
// time.
void advance_simulation(SimulationState* state, double dt);

// One iteration of the frame loop: the frame rate from the counter (updating
// `*previous_counter`), all pending events, one time step unless paused, then one frame.
void run_iteration(SimulationState* state, bool* running, Uint64* previous_counter);

// Shutdown in reverse order of start-up: GPU, particle array, renderer, window, SDL.
void shut_down(SimulationState* state);

// The whole program, with standard output flushed at every line: start-up, the frame loop until a
// quit request, shutdown. Returns 0.
int run_program();

}  // namespace lumeth
