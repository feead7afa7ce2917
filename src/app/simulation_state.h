// The one record of the running program, shared by the frame loop and the renderer.
#pragma once

#include <SDL3/SDL.h>

#include "sim/particle.h"

// `main` owns it and is its only writer; the renderer reads it. The loop takes every field
// afresh from here in each iteration.
struct SimulationState {
    SDL_Window* window;      // the one window
    SDL_Renderer* renderer;  // the window's renderer
    Particle* particles;     // host particle array, the authoritative simulation state
    int particle_count;      // records in `particles`
    double sim_time;         // simulated time since start, s
    int paused;              // 0 = running, 1 = paused
    double scale;            // base projection scale, pixels per metre
    double zoom;             // user zoom factor on top of `scale`
};
