#include "app/render.h"

#include <cstdio>

namespace {

void set_colour(SDL_Renderer* renderer, const lumeth::Colour& c) {
    SDL_SetRenderDrawColor(renderer, c.r, c.g, c.b, c.a);
}

}  // namespace

namespace lumeth {

void draw_frame(const SimulationState& state) {
    SDL_Renderer* renderer = state.renderer;

    set_colour(renderer, kBackgroundColour);
    SDL_RenderClear(renderer);

    // Array order, one colour setting and one point per drawn particle: where particles share
    // a pixel the highest index is seen. Only drawn particles pay for the distance.
    for (int i = 0; i < state.particle_count; ++i) {
        const Particle& p = state.particles[i];
        double sx, sy;
        if (!project_to_frame(p, state.scale, state.zoom, &sx, &sy)) {
            continue;
        }
        set_colour(renderer, particle_colour(p));
        SDL_RenderPoint(renderer, static_cast<float>(sx), static_cast<float>(sy));
    }

    // The black hole sits at the origin: the marker covers whatever was drawn under it.
    set_colour(renderer, kMarkerColour);
    SDL_RenderFillRect(renderer, &kMarker);
}

namespace {

// Both status texts: the rate part is empty or " | FPS: <fps>".
char* format_status_with(char* text, std::size_t size, const char* label, const char* rate,
                         const SimulationState& state) {
    // A longer text is cut at size - 1 characters; only an encoding error leaves none.
    if (std::snprintf(text, size, "Lumeth %s%s | Particles: %d | Time: %.2f Myr%s", label, rate,
                      state.particle_count, state.sim_time / kSecondsPerMegayear,
                      state.paused != 0 ? " [PAUSED]" : "") < 0) {
        text[0] = '\0';
    }
    return text;
}

}  // namespace

char* format_status(char* text, std::size_t size, const char* label, double fps,
                    const SimulationState& state) {
    char rate[256];  // the whole title's size, so any rate is cut as the title is
    std::snprintf(rate, sizeof rate, " | FPS: %.1f", fps);
    return format_status_with(text, size, label, rate, state);
}

char* format_simulated_status(char* text, std::size_t size, const char* label,
                              const SimulationState& state) {
    return format_status_with(text, size, label, "", state);
}

}  // namespace lumeth

void render_frame(SimulationState* state, double fps) {
    lumeth::draw_frame(*state);

    // A longer title is cut at 255 characters.
    char title[256];
    SDL_SetWindowTitle(state->window,
                       lumeth::format_status(title, sizeof(title), "CUDA", fps, *state));

    SDL_RenderPresent(state->renderer);
}
