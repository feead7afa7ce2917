#include "app/render.h"

#include <cstdio>

namespace {

void set_colour(SDL_Renderer* renderer, const lumeth::Colour& c) {
    SDL_SetRenderDrawColor(renderer, c.r, c.g, c.b, c.a);
}

}  // namespace

void render_frame(SimulationState* state, double fps) {
    SDL_Renderer* renderer = state->renderer;

    set_colour(renderer, lumeth::kBackgroundColour);
    SDL_RenderClear(renderer);

    // Array order, one colour setting and one point per drawn particle: where particles share
    // a pixel the highest index is seen. Only drawn particles pay for the distance.
    for (int i = 0; i < state->particle_count; ++i) {
        const Particle& p = state->particles[i];
        double sx, sy;
        if (!lumeth::project_to_frame(p, state->scale, state->zoom, &sx, &sy)) {
            continue;
        }
        set_colour(renderer, lumeth::particle_colour(p));
        SDL_RenderPoint(renderer, static_cast<float>(sx), static_cast<float>(sy));
    }

    // The black hole sits at the origin: the marker covers whatever was drawn under it.
    set_colour(renderer, lumeth::kMarkerColour);
    SDL_RenderFillRect(renderer, &lumeth::kMarker);

    // snprintf bounds the text by the buffer: a longer title is cut at 255 characters and
    // always terminated.
    char title[256];
    std::snprintf(title, sizeof(title),
                  "Lumeth CUDA | FPS: %.1f | Particles: %d | Time: %.2f Myr%s", fps,
                  state->particle_count, state->sim_time / lumeth::kSecondsPerMegayear,
                  state->paused != 0 ? " [PAUSED]" : "");
    SDL_SetWindowTitle(state->window, title);

    SDL_RenderPresent(renderer);
}
