// Render timing for lumeth-bench: the program's render_frame on SDL's software renderer and
// an offscreen window, against the same points drawn in batches, one SDL_RenderPoints call
// per colour class.
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

}  // namespace

RenderMeasurement measure_render(const Particle* galaxy, int count, int runs) {
    RenderMeasurement m;
    // Headless: the offscreen video driver, whatever the environment asks for. Its window
    // surface stays a plain block of memory: otherwise SDL would present it through an OpenGL
    // texture (Mesa's llvmpipe on a machine without a GPU), whose threads would compete with
    // the drawing for the cores and add a large, noisy constant to both timings.
    SDL_SetHintWithPriority(SDL_HINT_VIDEO_DRIVER, "offscreen", SDL_HINT_OVERRIDE);
    SDL_SetHintWithPriority(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0", SDL_HINT_OVERRIDE);
    if (!SDL_Init(SDL_INIT_VIDEO)) {
        m.reason = std::string("SDL_Init: ") + SDL_GetError();
        return m;
    }
    SDL_Window* window = SDL_CreateWindow("lumeth-bench", kWindowWidth, kWindowHeight, 0);
    SDL_Renderer* renderer = window != nullptr ? SDL_CreateRenderer(window, "software") : nullptr;
    if (renderer == nullptr) {
        m.reason = std::string(window == nullptr ? "SDL_CreateWindow: " : "SDL_CreateRenderer: ") +
                   SDL_GetError();
    } else {
        std::vector<Particle> particles(galaxy, galaxy + count);
        SimulationState state{};
        state.window = window;
        state.renderer = renderer;
        state.particles = particles.data();
        state.particle_count = count;
        state.sim_time = 0.0;
        state.paused = 0;
        state.scale = kProjectionScale;
        state.zoom = 1.0;

        const std::vector<PointClass> classes = project(state);
        for (const PointClass& c : classes) {
            m.points_in_frame += static_cast<int>(c.points.size());
        }
        m.available = true;
        m.render_frame_ms = time_runs(
            "render_frame", runs, NAN, [] {}, [&] { render_frame(&state, 60.0); });
        m.batched_ms = time_runs(
            "batched drawing", runs, NAN, [] {}, [&] { draw_batched(renderer, classes); });
    }
    if (renderer != nullptr) {
        SDL_DestroyRenderer(renderer);
    }
    if (window != nullptr) {
        SDL_DestroyWindow(window);
    }
    SDL_Quit();
    return m;
}

}  // namespace lumeth::bench
