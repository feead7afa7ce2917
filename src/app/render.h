// The frame renderer: one complete frame of the galaxy, seen face-on, with live statistics
// in the window title.
#pragma once

#include <SDL3/SDL.h>

#include <cmath>
#include <cstddef>

#include "app/simulation_state.h"
#include "kernels/physics.h"
#include "sim/constants.h"
#include "sim/particle.h"

// draw_frame, then the window title from format_status with the label "CUDA", then the
// present. Reads the record and the particle array, changes neither and allocates nothing.
void render_frame(SimulationState* state, double fps);

namespace lumeth {

// The window opens at 1920x1080, and the drawing keeps to a fixed frame of that size whose
// centre is the origin, whatever the window's current size: the program's renderer shows
// that frame scaled into the window (a letterboxed logical presentation).
constexpr int kWindowWidth = 1920;
constexpr int kWindowHeight = 1080;
constexpr double kFrameWidth = kWindowWidth;
constexpr double kFrameHeight = kWindowHeight;
constexpr double kFrameCentreX = kFrameWidth / 2;
constexpr double kFrameCentreY = kFrameHeight / 2;

// The black-hole marker: a 6x6 square centred on the frame's centre, (960, 540).
constexpr float kMarkerSide = 6.0f;
inline constexpr SDL_FRect kMarker = {static_cast<float>(kFrameCentreX) - kMarkerSide / 2,
                                      static_cast<float>(kFrameCentreY) - kMarkerSide / 2,
                                      kMarkerSide, kMarkerSide};

struct Colour {
    Uint8 r, g, b, a;
};
inline constexpr Colour kBackgroundColour = {0, 0, 0, 255};
inline constexpr Colour kInnerZoneColour = {255, 200, 0, 255};  // gold
inline constexpr Colour kHeavyColour = {80, 80, 100, 255};      // dim blue-grey
inline constexpr Colour kOtherColour = {200, 220, 255, 255};    // pale blue-white
inline constexpr Colour kMarkerColour = {255, 0, 0, 255};

// Where a particle lands in the frame, seen face-on: orthographic, so z never moves a point;
// columns grow with x to the right, rows with y downwards. Returns false when it falls
// outside the half-open frame; a NaN coordinate fails every comparison and is kept.
inline bool project_to_frame(const Particle& p, double scale, double zoom, double* sx, double* sy) {
    *sx = (p.position[0] * scale) * zoom + kFrameCentreX;
    *sy = (p.position[1] * scale) * zoom + kFrameCentreY;
    return !(*sx < 0.0 || *sx >= kFrameWidth || *sy < 0.0 || *sy >= kFrameHeight);
}

// The colour of a drawn particle: inside the black hole's inner zone, else heavy (the halo),
// else the rest. Strict tests, first match wins.
inline const Colour& particle_colour(const Particle& p) {
    const double x = p.position[0], y = p.position[1], z = p.position[2];
    const double distance = std::sqrt((x * x + y * y) + z * z);
    if (in_inner_zone(distance)) {
        return kInnerZoneColour;
    }
    return p.mass > kHeavyParticleMass ? kHeavyColour : kOtherColour;
}

// Clears to black, draws every particle inside the 1920x1080 frame as one point coloured by
// its class and the black-hole marker over them, on the record's renderer; neither sets a
// title nor presents, so the frame can still be read back or drawn over. Allocates nothing.
// Where the renderer shows the frame scaled down, each particle fills one screen pixel
// instead of a fraction of one, so that none vanishes; at 1920x1080 it is one point.
void draw_frame(const SimulationState& state);

// The live statistics, as the window title shows them:
// "Lumeth <label> | FPS: <fps> | Particles: <count> | Time: <Myr> Myr", with " [PAUSED]"
// appended while paused. Written into `text` (cut at size - 1 characters, always
// terminated); returns `text`.
char* format_status(char* text, std::size_t size, const char* label, double fps,
                    const SimulationState& state);

// The same without the frame rate, which depends on the machine and the moment:
// "Lumeth <label> | Particles: <count> | Time: <Myr> Myr", and " [PAUSED]" while paused.
char* format_simulated_status(char* text, std::size_t size, const char* label,
                              const SimulationState& state);

}  // namespace lumeth
