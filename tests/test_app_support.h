// Shared fixtures of the application-shell tests: SDL on its offscreen video driver (no
// display needed), an offscreen window for the title, and a software renderer drawing into
// a surface the tests read back pixel by pixel.
#pragma once

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <ostream>

#include "app/app.h"

namespace lumeth_test {

struct Rgba {
    Uint8 r, g, b, a;
    bool operator==(const Rgba& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
    bool operator!=(const Rgba& o) const { return !(*this == o); }
};

inline std::ostream& operator<<(std::ostream& os, const Rgba& c) {
    return os << "(" << int(c.r) << ", " << int(c.g) << ", " << int(c.b) << ", " << int(c.a) << ")";
}

constexpr Rgba kBlack = {0, 0, 0, 255};
constexpr Rgba kGold = {255, 200, 0, 255};
constexpr Rgba kBlueGrey = {80, 80, 100, 255};
constexpr Rgba kBlueWhite = {200, 220, 255, 255};
constexpr Rgba kRed = {255, 0, 0, 255};
// Paint put on the surface before a frame, to see that the frame clears it.
constexpr Rgba kStale = {0, 255, 0, 255};

// The target is larger than the 1920x1080 frame, so a point the renderer should have
// skipped at column 1920 or row 1080 would show instead of being clipped by SDL.
constexpr int kTargetWidth = 1936;
constexpr int kTargetHeight = 1096;

inline Particle make_particle(double x, double y, double z, double mass) {
    Particle p{};
    p.position[0] = x;
    p.position[1] = y;
    p.position[2] = z;
    p.mass = mass;
    return p;
}

// SDL's offscreen video driver, with window framebuffers kept in plain memory: otherwise SDL
// backs them with an OpenGL texture through EGL and the system's GL driver, which is loaded
// and unloaded again at SDL_Quit and leaves allocations LeakSanitizer reports.
inline void use_offscreen_video() {
    SDL_SetHint(SDL_HINT_VIDEO_DRIVER, "offscreen");
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
}

class OffscreenSdl : public ::testing::Test {
  protected:
    void SetUp() override {
        use_offscreen_video();
        ASSERT_TRUE(SDL_Init(SDL_INIT_VIDEO)) << SDL_GetError();
        window_ = SDL_CreateWindow("test", 1920, 1080, SDL_WINDOW_RESIZABLE);
        ASSERT_NE(window_, nullptr) << SDL_GetError();
        target_ = SDL_CreateSurface(kTargetWidth, kTargetHeight, SDL_PIXELFORMAT_RGBA32);
        ASSERT_NE(target_, nullptr) << SDL_GetError();
        renderer_ = SDL_CreateSoftwareRenderer(target_);
        ASSERT_NE(renderer_, nullptr) << SDL_GetError();
        paint(kStale);

        state_ = SimulationState{};
        state_.window = window_;
        state_.renderer = renderer_;
        state_.scale = 1.0;
        state_.zoom = 1.0;
    }

    void TearDown() override {
        if (renderer_ != nullptr) {
            SDL_DestroyRenderer(renderer_);
        }
        if (target_ != nullptr) {
            SDL_DestroySurface(target_);
        }
        if (window_ != nullptr) {
            SDL_DestroyWindow(window_);
        }
        SDL_Quit();
    }

    void paint(const Rgba& c) {
        ASSERT_TRUE(
            SDL_FillSurfaceRect(target_, nullptr, SDL_MapSurfaceRGBA(target_, c.r, c.g, c.b, c.a)))
            << SDL_GetError();
    }

    // RGBA32 keeps the bytes in R, G, B, A order in memory whatever the machine's endianness.
    Rgba pixel(int x, int y) const {
        const Uint8* p = static_cast<const Uint8*>(target_->pixels) + y * target_->pitch + x * 4;
        return Rgba{p[0], p[1], p[2], p[3]};
    }

    bool inside_marker(int x, int y) const { return x >= 957 && x < 963 && y >= 537 && y < 543; }

    // Pixels of the whole target that are neither background nor marker.
    int particle_pixels() const {
        int count = 0;
        for (int y = 0; y < kTargetHeight; ++y) {
            for (int x = 0; x < kTargetWidth; ++x) {
                if (!inside_marker(x, y) && pixel(x, y) != kBlack) {
                    ++count;
                }
            }
        }
        return count;
    }

    void use(Particle* particles, int count) {
        state_.particles = particles;
        state_.particle_count = count;
    }

    SDL_Window* window_ = nullptr;
    SDL_Surface* target_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    SimulationState state_{};
};

}  // namespace lumeth_test
