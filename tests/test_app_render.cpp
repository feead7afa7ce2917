// The frame renderer, drawn through SDL's software renderer into a surface and read back.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "app/app.h"
#include "app/render.h"
#include "sim/constants.h"
#include "test_app_support.h"

namespace {

using lumeth_test::kBlack;
using lumeth_test::kBlueGrey;
using lumeth_test::kBlueWhite;
using lumeth_test::kGold;
using lumeth_test::kRed;
using lumeth_test::kTargetHeight;
using lumeth_test::kTargetWidth;
using lumeth_test::make_particle;

constexpr double kLight = 1.989e30;  // one solar mass
constexpr double kHeavy = 1.989e31;  // ten solar masses, a halo particle
constexpr double kFar = 1e15;        // a height that puts any particle outside the inner zone

class RenderFrame : public lumeth_test::OffscreenSdl {};

// With scale 1 and zoom 1 a position in metres is an offset in pixels from (960, 540), and
// every such particle lies deep inside the inner zone unless its height takes it out.
TEST_F(RenderFrame, ColoursEachClassAndClearsTheRest) {
    Particle particles[] = {
        make_particle(100.5, 0.5, 0.0, kHeavy),        // inner zone beats the heavy mass
        make_particle(-200.5, 100.5, kFar, kHeavy),    // heavy, outside the inner zone
        make_particle(300.5, -200.5, kFar, kLight),    // neither
        make_particle(-400.5, -300.5, -kFar, kLight),  // neither, below the disk
    };
    use(particles, 4);
    render_frame(&state_, 60.0);

    EXPECT_EQ(pixel(1060, 540), kGold);
    EXPECT_EQ(pixel(759, 640), kBlueGrey);
    EXPECT_EQ(pixel(1260, 339), kBlueWhite);
    EXPECT_EQ(pixel(559, 239), kBlueWhite);
    // Everything else, the stale paint included, is cleared to black: one point each.
    EXPECT_EQ(particle_pixels(), 4);
    EXPECT_EQ(pixel(0, 0), kBlack);
    EXPECT_EQ(pixel(kTargetWidth - 1, kTargetHeight - 1), kBlack);
}

TEST_F(RenderFrame, ClassTestsAreStrict) {
    const double r_in = lumeth::kInnerZoneRadius;
    const double threshold = lumeth::kHeavyParticleMass;
    // Exactly on the inner-zone radius (sqrt(r^2) == r in IEEE arithmetic) is outside it;
    // one ulp nearer is inside. The zoom brings that radius to about 100 pixels.
    state_.zoom = 100.5 / r_in;
    Particle on_radius[] = {make_particle(r_in, 0.0, 0.0, kLight)};
    use(on_radius, 1);
    render_frame(&state_, 60.0);
    EXPECT_EQ(pixel(1060, 540), kBlueWhite);

    Particle just_inside[] = {make_particle(std::nextafter(r_in, 0.0), 0.0, 0.0, kLight)};
    use(just_inside, 1);
    render_frame(&state_, 60.0);
    EXPECT_EQ(pixel(1060, 540), kGold);

    // A mass equal to the threshold is not heavy; the next double up is.
    state_.zoom = 1.0;
    Particle masses[] = {
        make_particle(100.5, 0.5, kFar, threshold),
        make_particle(200.5, 0.5, kFar, std::nextafter(threshold, 2.0 * threshold)),
    };
    use(masses, 2);
    render_frame(&state_, 60.0);
    EXPECT_EQ(pixel(1060, 540), kBlueWhite);
    EXPECT_EQ(pixel(1160, 540), kBlueGrey);
}

TEST_F(RenderFrame, FrameBoundsAreHalfOpen) {
    Particle particles[] = {
        make_particle(-960.0, -100.5, kFar, kLight),  // column 0: drawn
        make_particle(-100.5, -540.0, kFar, kLight),  // row 0: drawn
        make_particle(959.5, 100.5, kFar, kLight),    // column 1919.5: drawn in column 1919
        make_particle(100.5, 539.5, kFar, kLight),    // row 1079.5: drawn in row 1079
        make_particle(960.0, 200.5, kFar, kHeavy),    // column 1920: skipped
        make_particle(200.5, 540.0, kFar, kHeavy),    // row 1080: skipped
        make_particle(-960.25, 300.5, kFar, kHeavy),  // column -0.25 would truncate to 0
        make_particle(300.5, -540.25, kFar, kHeavy),  // row -0.25 would truncate to 0
        make_particle(970.5, 10.5, kFar, kHeavy),     // past the right edge
        make_particle(10.5, 545.5, kFar, kHeavy),     // past the bottom edge
    };
    use(particles, 10);
    render_frame(&state_, 60.0);

    EXPECT_EQ(pixel(0, 439), kBlueWhite);
    EXPECT_EQ(pixel(859, 0), kBlueWhite);
    EXPECT_EQ(pixel(1919, 640), kBlueWhite);
    EXPECT_EQ(pixel(1060, 1079), kBlueWhite);
    // The target reaches past the frame, so anything not skipped would show there.
    EXPECT_EQ(pixel(1920, 740), kBlack);
    EXPECT_EQ(pixel(1160, 1080), kBlack);
    EXPECT_EQ(pixel(0, 840), kBlack);
    EXPECT_EQ(pixel(1260, 0), kBlack);
    EXPECT_EQ(particle_pixels(), 4);
}

TEST_F(RenderFrame, NotANumberPassesTheBoundsAndLeavesTheColourToTheMass) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // A NaN height keeps the point in place; its NaN distance fails the inner-zone test,
    // although x and y alone lie well inside the zone.
    Particle particles[] = {
        make_particle(100.5, 0.5, nan, kLight),
        make_particle(200.5, 0.5, nan, kHeavy),
        make_particle(300.5, 0.5, 0.0, kHeavy),  // the same place without NaN: inner zone
        // NaN in the plane: drawn through to SDL, which cannot place it on any pixel.
        make_particle(nan, 0.5, 0.0, kHeavy),
        make_particle(0.5, nan, 0.0, kLight),
    };
    use(particles, 5);
    render_frame(&state_, 60.0);

    EXPECT_EQ(pixel(1060, 540), kBlueWhite);
    EXPECT_EQ(pixel(1160, 540), kBlueGrey);
    EXPECT_EQ(pixel(1260, 540), kGold);
    EXPECT_EQ(pixel(960, 540), kRed);
}

TEST_F(RenderFrame, MarkerCoversParticlesBeneathItAtEveryZoom) {
    state_.scale = lumeth::kProjectionScale;
    for (double zoom : {1e-9, 1.0 / 1.2, 1.0, 1.2, 29000.0, 1e12}) {
        SCOPED_TRACE(zoom);
        state_.zoom = zoom;
        // One particle on each pixel of an 8x8 block centred on (960, 540): the marker's
        // 6x6 square and a ring one pixel wide around it, plus one at the origin.
        const double metres_per_pixel = 1.0 / (lumeth::kProjectionScale * zoom);
        std::vector<Particle> particles;
        particles.push_back(make_particle(0.0, 0.0, 0.0, kLight));
        for (int row = 536; row < 544; ++row) {
            for (int column = 956; column < 964; ++column) {
                particles.push_back(make_particle((column - 960 + 0.5) * metres_per_pixel,
                                                  (row - 540 + 0.5) * metres_per_pixel, kFar,
                                                  kLight));
            }
        }
        use(particles.data(), static_cast<int>(particles.size()));
        render_frame(&state_, 60.0);

        for (int row = 536; row < 544; ++row) {
            for (int column = 956; column < 964; ++column) {
                if (inside_marker(column, row)) {
                    EXPECT_EQ(pixel(column, row), kRed) << column << ", " << row;
                } else {
                    EXPECT_EQ(pixel(column, row), kBlueWhite) << column << ", " << row;
                }
            }
        }
    }
}

TEST_F(RenderFrame, LaterParticlesDrawOverEarlierOnes) {
    Particle heavy_first[] = {
        make_particle(100.5, 100.5, kFar, kHeavy),
        make_particle(100.75, 100.25, kFar, kLight),
    };
    use(heavy_first, 2);
    render_frame(&state_, 60.0);
    EXPECT_EQ(pixel(1060, 640), kBlueWhite);

    Particle light_first[] = {
        make_particle(100.5, 100.5, kFar, kLight),
        make_particle(100.75, 100.25, kFar, kHeavy),
    };
    use(light_first, 2);
    render_frame(&state_, 60.0);
    EXPECT_EQ(pixel(1060, 640), kBlueGrey);
}

TEST_F(RenderFrame, ZoomScalesTheProjectionAboutTheCentre) {
    // 200.5 pixels right of and 100.25 pixels above the centre at zoom 1, with the real
    // scale of 960 pixels per 125 kpc.
    state_.scale = lumeth::kProjectionScale;
    const double metres_per_pixel = 1.0 / lumeth::kProjectionScale;
    Particle particles[] = {
        make_particle(200.5 * metres_per_pixel, -100.25 * metres_per_pixel, 0.0, kLight)};
    use(particles, 1);

    struct Case {
        double zoom;
        int column, row;
    };
    for (const Case& c : {Case{1.0, 1160, 439}, Case{1.2, 1200, 419}, Case{1.0 / 1.2, 1127, 456},
                          Case{3.0, 1561, 239}}) {
        SCOPED_TRACE(c.zoom);
        state_.zoom = c.zoom;
        render_frame(&state_, 60.0);
        EXPECT_EQ(pixel(c.column, c.row), kBlueWhite);
        EXPECT_EQ(particle_pixels(), 1);
    }

    // 125 kpc, the half-width, lands on the right edge at zoom 1 and is skipped there.
    Particle edge[] = {
        make_particle(125.0 * lumeth::kKiloparsec, 0.5 * metres_per_pixel, 0.0, kLight)};
    use(edge, 1);
    state_.zoom = 1.0;
    render_frame(&state_, 60.0);
    EXPECT_EQ(particle_pixels(), 0);
    state_.zoom = 1.0 / 1.2;
    render_frame(&state_, 60.0);
    EXPECT_EQ(pixel(1760, 540), kBlueWhite);
}

TEST_F(RenderFrame, HeightChangesOnlyTheColourClass) {
    // At zoom 1e6 the inner zone's radius spans about 103 pixels.
    state_.scale = lumeth::kProjectionScale;
    state_.zoom = 1e6;
    for (const auto& [z, mass, colour] :
         {std::tuple{0.0, kLight, kGold}, std::tuple{1e16, kLight, kBlueWhite},
          std::tuple{-1e16, kHeavy, kBlueGrey}, std::tuple{3e21, kHeavy, kBlueGrey}}) {
        SCOPED_TRACE(z);
        Particle particles[] = {make_particle(2e14, -1e14, z, mass)};
        use(particles, 1);
        render_frame(&state_, 60.0);
        EXPECT_EQ(pixel(1009, 515), colour);
        EXPECT_EQ(particle_pixels(), 1);
    }
}

TEST_F(RenderFrame, EmptyFrameStillClearsMarksTitlesAndPresents) {
    use(nullptr, 0);
    state_.sim_time = 0.0;
    render_frame(&state_, 60.0);

    // The surface only shows the queued drawing once the frame is presented.
    for (int y = 0; y < kTargetHeight; ++y) {
        for (int x = 0; x < kTargetWidth; ++x) {
            ASSERT_EQ(pixel(x, y), inside_marker(x, y) ? kRed : kBlack) << x << ", " << y;
        }
    }
    EXPECT_STREQ(SDL_GetWindowTitle(window_),
                 "Lumeth CUDA | FPS: 60.0 | Particles: 0 | Time: 0.00 Myr");

    // A negative count draws nothing either.
    state_.particle_count = -5;
    render_frame(&state_, 60.0);
    EXPECT_EQ(particle_pixels(), 0);
    EXPECT_STREQ(SDL_GetWindowTitle(window_),
                 "Lumeth CUDA | FPS: 60.0 | Particles: -5 | Time: 0.00 Myr");
}

TEST_F(RenderFrame, TitleShowsRateCountTimeAndPause) {
    Particle particles[3] = {};
    use(particles, 3);
    // Three whole steps, as the loop adds them.
    for (int i = 0; i < 3; ++i) {
        state_.sim_time += lumeth::kTimeStep;
    }
    render_frame(&state_, 59.94);
    EXPECT_STREQ(SDL_GetWindowTitle(window_),
                 "Lumeth CUDA | FPS: 59.9 | Particles: 3 | Time: 300.00 Myr");

    state_.paused = 1;
    render_frame(&state_, 59.94);
    EXPECT_STREQ(SDL_GetWindowTitle(window_),
                 "Lumeth CUDA | FPS: 59.9 | Particles: 3 | Time: 300.00 Myr [PAUSED]");

    // Equal counter readings give an infinite rate, shown as printf shows infinity.
    state_.paused = 0;
    render_frame(&state_, std::numeric_limits<double>::infinity());
    EXPECT_STREQ(SDL_GetWindowTitle(window_),
                 "Lumeth CUDA | FPS: inf | Particles: 3 | Time: 300.00 Myr");
}

TEST_F(RenderFrame, OverlongTitleIsCutAt255Characters) {
    Particle particles[1] = {};
    use(particles, 1);
    state_.paused = 1;
    const double fps = 1e300;  // 301 digits before the decimal point
    char full[1024];
    const int length = std::snprintf(full, sizeof(full),
                                     "Lumeth CUDA | FPS: %.1f | Particles: %d | Time: %.2f Myr%s",
                                     fps, 1, 0.0, " [PAUSED]");
    ASSERT_GT(length, 300);

    render_frame(&state_, fps);
    const std::string title = SDL_GetWindowTitle(window_);
    EXPECT_EQ(title.size(), 255u);
    EXPECT_EQ(title, std::string(full, 255));
}

TEST_F(RenderFrame, LeavesTheRecordAndTheParticlesUnchanged) {
    Particle particles[] = {
        make_particle(100.5, 0.5, 0.0, kHeavy),
        make_particle(1e30, -1e30, 0.0, kLight),
        make_particle(std::numeric_limits<double>::quiet_NaN(), 0.5, 0.0, kLight),
    };
    particles[0].velocity[1] = 2.5e5;
    particles[1].acceleration[2] = -3e-10;
    use(particles, 3);
    state_.sim_time = 7.0 * lumeth::kTimeStep;
    state_.paused = 1;
    state_.zoom = 1.44;

    Particle particles_before[3];
    std::memcpy(particles_before, particles, sizeof(particles));
    render_frame(&state_, 12.5);

    EXPECT_EQ(std::memcmp(particles_before, particles, sizeof(particles)), 0);
    EXPECT_EQ(state_.window, window_);
    EXPECT_EQ(state_.renderer, renderer_);
    EXPECT_EQ(state_.particles, particles);
    EXPECT_EQ(state_.particle_count, 3);
    EXPECT_EQ(state_.sim_time, 7.0 * lumeth::kTimeStep);
    EXPECT_EQ(state_.paused, 1);
    EXPECT_EQ(state_.scale, 1.0);
    EXPECT_EQ(state_.zoom, 1.44);
}

// The program draws with the window's own renderer; the software one reads back the same.
TEST_F(RenderFrame, DrawsThroughTheWindowsOwnRenderer) {
    SDL_Renderer* window_renderer = SDL_CreateRenderer(window_, "software");
    ASSERT_NE(window_renderer, nullptr) << SDL_GetError();
    Particle particles[] = {make_particle(100.5, 0.5, kFar, kHeavy),
                            make_particle(-100.5, -0.5, 0.0, kLight)};
    use(particles, 2);
    state_.renderer = window_renderer;
    render_frame(&state_, 60.0);

    SDL_Surface* frame = SDL_RenderReadPixels(window_renderer, nullptr);
    ASSERT_NE(frame, nullptr) << SDL_GetError();
    auto read = [&](int x, int y) {
        lumeth_test::Rgba c{};
        EXPECT_TRUE(SDL_ReadSurfacePixel(frame, x, y, &c.r, &c.g, &c.b, &c.a)) << SDL_GetError();
        return c;
    };
    EXPECT_EQ(frame->w, 1920);
    EXPECT_EQ(frame->h, 1080);
    EXPECT_EQ(read(1060, 540), kBlueGrey);
    EXPECT_EQ(read(859, 539), kGold);
    EXPECT_EQ(read(960, 540), kRed);
    EXPECT_EQ(read(957, 537), kRed);
    EXPECT_EQ(read(962, 542), kRed);
    EXPECT_EQ(read(963, 540), kBlack);
    EXPECT_EQ(read(10, 10), kBlack);
    SDL_DestroySurface(frame);
    SDL_DestroyRenderer(window_renderer);
}

// The program's renderer shows the 1920x1080 frame scaled into the window (a letterboxed
// logical presentation). At 1920x1080 that gives exactly the pixels of the frame drawn
// without it; in a window of half the size every particle still lights one screen pixel in
// its colour where its frame pixel lands, and the marker is at the centre.
TEST_F(RenderFrame, ScaledPresentationKeepsThePixelsAtFullSizeAndEveryParticleWhenSmaller) {
    // Whole, half and fractional positions, on every parity of column and row.
    std::vector<Particle> particles;
    for (int k = 0; k < 40; ++k) {
        particles.push_back(make_particle(-700.0 + 37.25 * k, -400.0 + 21.5 * k,
                                          k % 3 == 0 ? 0.0 : kFar, k % 2 == 0 ? kLight : kHeavy));
    }
    use(particles.data(), static_cast<int>(particles.size()));

    auto draw = [&](int width, int height, bool presented) {
        SDL_Surface* surface = SDL_CreateSurface(width, height, SDL_PIXELFORMAT_RGBA32);
        EXPECT_NE(surface, nullptr) << SDL_GetError();
        SDL_Renderer* renderer = SDL_CreateSoftwareRenderer(surface);
        EXPECT_NE(renderer, nullptr) << SDL_GetError();
        if (presented) {
            EXPECT_TRUE(SDL_SetRenderLogicalPresentation(renderer, 1920, 1080,
                                                         SDL_LOGICAL_PRESENTATION_LETTERBOX))
                << SDL_GetError();
        }
        state_.renderer = renderer;
        render_frame(&state_, 60.0);
        SDL_DestroyRenderer(renderer);
        return surface;
    };
    auto read = [](SDL_Surface* surface, int x, int y) {
        const Uint8* p = static_cast<const Uint8*>(surface->pixels) + y * surface->pitch + x * 4;
        return lumeth_test::Rgba{p[0], p[1], p[2], p[3]};
    };

    SDL_Surface* plain = draw(1920, 1080, false);
    SDL_Surface* full = draw(1920, 1080, true);
    SDL_Surface* half = draw(960, 540, true);
    ASSERT_TRUE(plain != nullptr && full != nullptr && half != nullptr);
    EXPECT_EQ(
        std::memcmp(plain->pixels, full->pixels, static_cast<std::size_t>(plain->pitch) * 1080), 0)
        << "a 1920x1080 output does not show the frame's own pixels";

    int lit = 0;
    for (const Particle& p : particles) {
        const int x = static_cast<int>(p.position[0] + 960.0);
        const int y = static_cast<int>(p.position[1] + 540.0);
        const lumeth_test::Rgba drawn = read(plain, x, y);
        if (drawn == kRed) {
            continue;  // under the marker
        }
        EXPECT_EQ(read(half, x / 2, y / 2), drawn) << "particle at frame pixel " << x << ", " << y;
        ++lit;
    }
    EXPECT_GT(lit, 30);
    EXPECT_EQ(read(half, 480, 270), kRed);
    EXPECT_EQ(read(half, 476, 270), kBlack);
    EXPECT_EQ(read(half, 484, 270), kBlack);
    int red = 0, other = 0;
    for (int y = 0; y < 540; ++y) {
        for (int x = 0; x < 960; ++x) {
            const lumeth_test::Rgba c = read(half, x, y);
            red += c == kRed ? 1 : 0;
            other += c != kRed && c != kBlack ? 1 : 0;
        }
    }
    EXPECT_GE(red, 4);
    EXPECT_LE(red, 16);
    EXPECT_LE(other, lit) << "a particle lit more than one screen pixel";
    SDL_DestroySurface(plain);
    SDL_DestroySurface(full);
    SDL_DestroySurface(half);
}

}  // namespace
