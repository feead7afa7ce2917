#include "app/render.h"

#include <cmath>
#include <cstdio>

namespace {

void set_colour(SDL_Renderer* renderer, const lumeth::Colour& c) {
    SDL_SetRenderDrawColor(renderer, c.r, c.g, c.b, c.a);
}

// The size of one screen pixel in frame pixels: 1 x 1 unless a logical presentation shows the
// frame scaled into an output of another size.
SDL_FPoint screen_pixel_in_frame(SDL_Renderer* renderer) {
    int width = 0, height = 0;
    SDL_RendererLogicalPresentation mode = SDL_LOGICAL_PRESENTATION_DISABLED;
    SDL_FRect shown{};
    if (!SDL_GetRenderLogicalPresentation(renderer, &width, &height, &mode) ||
        mode == SDL_LOGICAL_PRESENTATION_DISABLED ||
        !SDL_GetRenderLogicalPresentationRect(renderer, &shown) || !(shown.w > 0.0f) ||
        !(shown.h > 0.0f)) {
        return SDL_FPoint{1.0f, 1.0f};
    }
    return SDL_FPoint{static_cast<float>(width) / shown.w, static_cast<float>(height) / shown.h};
}

}  // namespace

namespace lumeth {

void draw_frame(const SimulationState& state) {
    SDL_Renderer* renderer = state.renderer;

    set_colour(renderer, kBackgroundColour);
    SDL_RenderClear(renderer);

    // Shown smaller than 1920x1080, a point would shrink below a screen pixel, which a GPU
    // renderer may leave out altogether: there each particle fills one whole screen pixel.
    const SDL_FPoint screen_pixel = screen_pixel_in_frame(renderer);
    const bool scaled_down = screen_pixel.x > 1.0f || screen_pixel.y > 1.0f;

    // Array order, one colour setting and one point per drawn particle: where particles share
    // a pixel the highest index is seen. Only drawn particles pay for the distance.
    for (int i = 0; i < state.particle_count; ++i) {
        const Particle& p = state.particles[i];
        double sx, sy;
        if (!project_to_frame(p, state.scale, state.zoom, &sx, &sy)) {
            continue;
        }
        set_colour(renderer, particle_colour(p));
        const float x = static_cast<float>(sx);
        const float y = static_cast<float>(sy);
        if (scaled_down) {
            // The screen pixel that holds the middle of the frame pixel the point would fill,
            // covered by a square of one screen pixel moved a quarter pixel right and down:
            // whether a renderer rounds its corners down or fills the pixels whose centres it
            // covers, it fills exactly one pixel, also where the picture starts half a pixel
            // in.
            const float column = std::floor((std::floor(x) + 0.5f) / screen_pixel.x);
            const float row = std::floor((std::floor(y) + 0.5f) / screen_pixel.y);
            const SDL_FRect dot = {(column + 0.25f) * screen_pixel.x,
                                   (row + 0.25f) * screen_pixel.y, screen_pixel.x, screen_pixel.y};
            SDL_RenderFillRect(renderer, &dot);
        } else {
            SDL_RenderPoint(renderer, x, y);
        }
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
