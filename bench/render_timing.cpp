// Render and frame timing for lumeth-bench, on SDL's software renderer and an offscreen
// window: the program's render_frame against the same points drawn in batches, one
// SDL_RenderPoints call per colour class; and the program's whole frame, one iteration of its
// frame loop.
#include <SDL3/SDL.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/render.h"
#include "bench_parts.h"
#include "sim/constants.h"
#include "timing.h"

namespace lumeth::bench {
namespace {

// The points of one colour class.
struct PointClass {
    const Colour* colour;
    std::vector<SDL_FPoint> points;
};

void set_colour(SDL_Renderer* renderer, const Colour& c) {
    SDL_SetRenderDrawColor(renderer, c.r, c.g, c.b, c.a);
}

// render_frame's projection, bounds and colour classes, evaluated once: the points that it
// draws, sorted by class (inner zone, heavy, other).
std::vector<PointClass> project(const SimulationState& state) {
    const Colour* order[] = {&kInnerZoneColour, &kHeavyColour, &kOtherColour};
    std::vector<PointClass> classes;
    for (const Colour* c : order) {
        classes.push_back({c, {}});
    }
    for (int i = 0; i < state.particle_count; ++i) {
        const Particle& p = state.particles[i];
        double sx, sy;
        if (!project_to_frame(p, state.scale, state.zoom, &sx, &sy)) {
            continue;
        }
        const Colour* colour = &particle_colour(p);
        const int c = colour == order[0] ? 0 : colour == order[1] ? 1 : 2;
        classes[c].points.push_back({static_cast<float>(sx), static_cast<float>(sy)});
    }
    return classes;
}

// The batched reference frame: the same clear, points, marker and present as render_frame,
// with one draw call per colour class and no title.
void draw_batched(SDL_Renderer* renderer, const std::vector<PointClass>& classes) {
    set_colour(renderer, kBackgroundColour);
    SDL_RenderClear(renderer);
    for (const PointClass& c : classes) {
        set_colour(renderer, *c.colour);
        SDL_RenderPoints(renderer, c.points.data(), static_cast<int>(c.points.size()));
    }
    set_colour(renderer, kMarkerColour);
    SDL_RenderFillRect(renderer, &kMarker);
    SDL_RenderPresent(renderer);
}

// SDL's software renderer on a 1920x1080 offscreen window, or why there is none.
struct Offscreen {
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    std::string failure;
};

Offscreen open_offscreen() {
    Offscreen o;
    // Headless: the offscreen video driver, whatever the environment asks for. Its window
    // surface stays a plain block of memory: otherwise SDL would present it through an OpenGL
    // texture (Mesa's llvmpipe on a machine without a GPU), whose threads would compete with
    // the drawing for the cores and add a large, noisy constant to both timings.
    SDL_SetHintWithPriority(SDL_HINT_VIDEO_DRIVER, "offscreen", SDL_HINT_OVERRIDE);
    SDL_SetHintWithPriority(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0", SDL_HINT_OVERRIDE);
    if (!SDL_Init(SDL_INIT_VIDEO)) {
        o.failure = std::string("SDL_Init: ") + SDL_GetError();
        return o;
    }
    o.window = SDL_CreateWindow("lumeth-bench", kWindowWidth, kWindowHeight, 0);
    o.renderer = o.window != nullptr ? SDL_CreateRenderer(o.window, "software") : nullptr;
    if (o.renderer == nullptr) {
        o.failure =
            std::string(o.window == nullptr ? "SDL_CreateWindow: " : "SDL_CreateRenderer: ") +
            SDL_GetError();
    }
    return o;
}

void close_offscreen(Offscreen* o) {
    if (o->renderer != nullptr) {
        SDL_DestroyRenderer(o->renderer);
    }
    if (o->window != nullptr) {
        SDL_DestroyWindow(o->window);
    }
    SDL_Quit();
}

// The program's record for drawing `particles` on the offscreen window, at the start.
SimulationState state_for(const Offscreen& o, std::vector<Particle>* particles) {
    SimulationState state{};
    state.window = o.window;
    state.renderer = o.renderer;
    state.particles = particles->data();
    state.particle_count = static_cast<int>(particles->size());
    state.sim_time = 0.0;
    state.paused = 0;
    state.scale = kProjectionScale;
    state.zoom = 1.0;
    return state;
}

}  // namespace

RenderMeasurement measure_render(const Particle* galaxy, int count, int runs) {
    RenderMeasurement m;
    Offscreen o = open_offscreen();
    if (!o.failure.empty()) {
        m.reason = o.failure;
    } else {
        std::vector<Particle> particles(galaxy, galaxy + count);
        SimulationState state = state_for(o, &particles);
        const std::vector<PointClass> classes = project(state);
        for (const PointClass& c : classes) {
            m.points_in_frame += static_cast<int>(c.points.size());
        }
        m.available = true;
        m.render_frame_ms = time_runs(
            "render_frame", runs, NAN, [] {}, [&] { render_frame(&state, 60.0); });
        m.batched_ms = time_runs(
            "batched drawing", runs, NAN, [] {}, [&] { draw_batched(o.renderer, classes); });
    }
    close_offscreen(&o);
    return m;
}

FrameMeasurement measure_frames(const Particle* galaxy, int count, int runs) {
    FrameMeasurement m;
    std::vector<Particle> particles(galaxy, galaxy + count);
    Offscreen o = open_offscreen();
    if (o.failure.empty()) {
        SimulationState state = state_for(o, &particles);
        bool running = true;
        Uint64 previous_counter = SDL_GetPerformanceCounter();
        m.available = true;
        m.frame_ms = time_runs(
            "the program's frame", runs, NAN, [] {},
            [&] { run_iteration(&state, &running, &previous_counter); });
    } else {
        m.reason = o.failure;
    }
    close_offscreen(&o);
    return m;
}

}  // namespace lumeth::bench
