#include "app/render.h"

#include <cmath>
#include <cstdio>

#include "sim/constants.h"

namespace {

// The drawing keeps to a fixed 1920x1080 frame whose centre is the origin, whatever the
// window's current size.
constexpr double kFrameWidth = 1920.0;
constexpr double kFrameHeight = 1080.0;
constexpr double kCentreX = 960.0;
constexpr double kCentreY = 540.0;

// The black-hole marker: a 6x6 square centred on (960, 540).
constexpr SDL_FRect kMarker = {957.0f, 537.0f, 6.0f, 6.0f};

struct Colour {
    Uint8 r, g, b, a;
};
constexpr Colour kBackground = {0, 0, 0, 255};
constexpr Colour kInnerZoneColour = {255, 200, 0, 255};  // gold
constexpr Colour kHeavyColour = {80, 80, 100, 255};      // dim blue-grey
constexpr Colour kOtherColour = {200, 220, 255, 255};    // pale blue-white
constexpr Colour kMarkerColour = {255, 0, 0, 255};

void set_colour(SDL_Renderer* renderer, const Colour& c) {
    SDL_SetRenderDrawColor(renderer, c.r, c.g, c.b, c.a);
}

}  // namespace

void render_frame(SimulationState* state, double fps) {
    SDL_Renderer* renderer = state->renderer;

    set_colour(renderer, kBackground);
    SDL_RenderClear(renderer);

    const Particle* particles = state->particles;
    const double scale = state->scale;
    const double zoom = state->zoom;
    for (int i = 0; i < state->particle_count; ++i) {
        const double x = particles[i].position[0];
        const double y = particles[i].position[1];
        const double z = particles[i].position[2];

        // Orthographic face-on view: z never moves a point. Columns grow with x to the
        // right, rows with y downwards.
        const double sx = (x * scale) * zoom + kCentreX;
        const double sy = (y * scale) * zoom + kCentreY;
        // Half-open frame. A NaN coordinate fails every comparison and is drawn through.
        if (sx < 0.0 || sx >= kFrameWidth || sy < 0.0 || sy >= kFrameHeight) {
            continue;
        }

        // Only drawn particles pay for the distance. Strict tests, first match wins.
        const double distance = std::sqrt((x * x + y * y) + z * z);
        if (distance < lumeth::kInnerZoneRadius) {
            set_colour(renderer, kInnerZoneColour);
        } else if (particles[i].mass > lumeth::kHeavyParticleMass) {
            set_colour(renderer, kHeavyColour);
        } else {
            set_colour(renderer, kOtherColour);
        }
        SDL_RenderPoint(renderer, static_cast<float>(sx), static_cast<float>(sy));
    }

    // The black hole sits at the origin: the marker covers whatever was drawn under it.
    set_colour(renderer, kMarkerColour);
    SDL_RenderFillRect(renderer, &kMarker);

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
