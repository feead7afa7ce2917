// The application shell: event handling, the frame-rate arithmetic, the loop iteration, and
// start-up and shutdown, all on SDL's offscreen video driver.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "app/app.h"
#include "sim/constants.h"
#include "sim/initial_conditions.h"
#include "test_app_support.h"

// The allocation-failure test asks for more memory than can exist; under AddressSanitizer
// the allocator must then return null like the C library does, instead of aborting.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

using lumeth_test::kBlueWhite;
using lumeth_test::make_particle;

SDL_Event key_down(SDL_Keycode key, SDL_Keymod mod = SDL_KMOD_NONE, bool repeat = false) {
    SDL_Event event{};
    event.type = SDL_EVENT_KEY_DOWN;
    event.key.key = key;
    event.key.mod = mod;
    event.key.repeat = repeat;
    event.key.down = true;
    return event;
}

SDL_Event of_type(Uint32 type) {
    SDL_Event event{};
    event.type = type;
    return event;
}

SimulationState fresh_state() {
    SimulationState state{};
    state.particle_count = 0;
    state.sim_time = 0.0;
    state.paused = 0;
    state.scale = lumeth::kProjectionScale;
    state.zoom = 1.0;
    return state;
}

void expect_same_state(const SimulationState& a, const SimulationState& b) {
    EXPECT_EQ(a.window, b.window);
    EXPECT_EQ(a.renderer, b.renderer);
    EXPECT_EQ(a.particles, b.particles);
    EXPECT_EQ(a.particle_count, b.particle_count);
    EXPECT_EQ(a.sim_time, b.sim_time);
    EXPECT_EQ(a.paused, b.paused);
    EXPECT_EQ(a.scale, b.scale);
    EXPECT_EQ(a.zoom, b.zoom);
}

// --- One event at a time -------------------------------------------------------------------

TEST(HandleEvent, QuitEscapeAndQRequestAQuitAndNothingElse) {
    for (const SDL_Event& event :
         {of_type(SDL_EVENT_QUIT), key_down(SDLK_ESCAPE), key_down(SDLK_Q),
          key_down(SDLK_Q, SDL_KMOD_LSHIFT), key_down(SDLK_ESCAPE, SDL_KMOD_NONE, true)}) {
        SCOPED_TRACE(event.type);
        SimulationState state = fresh_state();
        bool running = true;
        lumeth::handle_event(event, &state, &running);
        EXPECT_FALSE(running);
        expect_same_state(state, fresh_state());
        // A second request keeps the flag cleared; it never sets it again.
        lumeth::handle_event(event, &state, &running);
        EXPECT_FALSE(running);
    }
}

TEST(HandleEvent, SpaceTogglesThePause) {
    SimulationState state = fresh_state();
    bool running = true;
    lumeth::handle_event(key_down(SDLK_SPACE), &state, &running);
    EXPECT_EQ(state.paused, 1);
    lumeth::handle_event(key_down(SDLK_SPACE), &state, &running);
    EXPECT_EQ(state.paused, 0);
    // Auto-repeat and modifiers count as further presses.
    lumeth::handle_event(key_down(SDLK_SPACE, SDL_KMOD_CTRL, true), &state, &running);
    EXPECT_EQ(state.paused, 1);
    EXPECT_TRUE(running);
    EXPECT_EQ(state.zoom, 1.0);
    EXPECT_EQ(state.sim_time, 0.0);
}

TEST(HandleEvent, PlusAndEqualsMultiplyTheZoomAndMinusDividesIt) {
    SimulationState state = fresh_state();
    bool running = true;
    lumeth::handle_event(key_down(SDLK_PLUS), &state, &running);
    EXPECT_EQ(state.zoom, 1.2);
    lumeth::handle_event(key_down(SDLK_EQUALS), &state, &running);
    EXPECT_EQ(state.zoom, 1.2 * 1.2);
    lumeth::handle_event(key_down(SDLK_EQUALS, SDL_KMOD_SHIFT, true), &state, &running);
    EXPECT_EQ(state.zoom, 1.2 * 1.2 * 1.2);

    // Zooming out divides by 1.2 each time, without limit.
    for (double start : {1.0, 0.7, 3.0e4, 1e-300}) {
        state.zoom = start;
        double expected = start;
        for (int press = 0; press < 60; ++press) {
            lumeth::handle_event(key_down(SDLK_MINUS), &state, &running);
            expected = expected / 1.2;
            ASSERT_EQ(state.zoom, expected) << "start " << start << ", press " << press;
        }
    }
    // 57 presses from 1.0 reach the zoom at which the inner zone outgrows the marker.
    state.zoom = 1.0;
    for (int press = 0; press < 57; ++press) {
        lumeth::handle_event(key_down(SDLK_PLUS), &state, &running);
    }
    EXPECT_GT(state.zoom, 29000.0);
    EXPECT_LT(state.zoom, 1.2 * 29000.0);
    EXPECT_TRUE(running);
    EXPECT_EQ(state.paused, 0);
}

TEST(HandleEvent, OtherKeysAndEventTypesAreIgnored) {
    SDL_Event key_up_q = key_down(SDLK_Q);
    key_up_q.type = SDL_EVENT_KEY_UP;
    key_up_q.key.down = false;
    SDL_Event key_up_space = key_down(SDLK_SPACE);
    key_up_space.type = SDL_EVENT_KEY_UP;
    key_up_space.key.down = false;
    SDL_Event resized = of_type(SDL_EVENT_WINDOW_RESIZED);
    resized.window.data1 = 800;
    resized.window.data2 = 600;
    SDL_Event text = of_type(SDL_EVENT_TEXT_INPUT);
    text.text.text = "+";

    for (const SDL_Event& event :
         {key_up_q, key_up_space, resized, text, key_down(SDLK_A), key_down(SDLK_KP_PLUS),
          key_down(SDLK_KP_MINUS), key_down(SDLK_RETURN), key_down(SDLK_UNKNOWN),
          of_type(SDL_EVENT_MOUSE_MOTION), of_type(SDL_EVENT_MOUSE_BUTTON_DOWN),
          of_type(SDL_EVENT_MOUSE_WHEEL), of_type(SDL_EVENT_WINDOW_CLOSE_REQUESTED),
          of_type(SDL_EVENT_TERMINATING), of_type(SDL_EVENT_USER)}) {
        SCOPED_TRACE(event.type);
        SimulationState state = fresh_state();
        bool running = true;
        lumeth::handle_event(event, &state, &running);
        EXPECT_TRUE(running);
        expect_same_state(state, fresh_state());
    }
}

// --- Frame-rate arithmetic -----------------------------------------------------------------

TEST(FrameRate, IsTheReciprocalOfTheElapsedTime) {
    EXPECT_EQ(lumeth::frame_rate(1250, 1000, 1000), 4.0);
    EXPECT_EQ(lumeth::frame_rate(3'000'000'000ull, 1'000'000'000ull, 1'000'000'000ull), 0.5);
    // Elapsed first, then its reciprocal: 1 / (1 / 1e9) is one ulp below 1e9, unlike 1e9 / 1.
    EXPECT_EQ(lumeth::frame_rate(1, 0, 1'000'000'000ull), 999999999.9999999);
}

TEST(FrameRate, UsesTheUnsignedDifferenceOfLargeAndWrappedReadings) {
    constexpr Uint64 kMax = std::numeric_limits<Uint64>::max();
    // The counter wrapped between the readings: the 64-bit difference is still 1e9 ticks.
    EXPECT_EQ(lumeth::frame_rate(500'000'000ull, kMax - 499'999'999ull, 1'000'000'000ull), 1.0);
    // Readings too large for a double to tell apart still give their exact gap.
    const Uint64 base = Uint64{1} << 63;
    EXPECT_EQ(lumeth::frame_rate(base + 10, base, 10), 1.0);
}

TEST(FrameRate, EqualReadingsGiveAnInfiniteRate) {
    const double fps = lumeth::frame_rate(123456789, 123456789, 1'000'000'000ull);
    EXPECT_TRUE(std::isinf(fps));
    EXPECT_GT(fps, 0.0);
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", fps);
    EXPECT_STREQ(text, "inf");
}

// --- One iteration of the frame loop -------------------------------------------------------

class LoopIteration : public lumeth_test::OffscreenSdl {
  protected:
    void SetUp() override {
        OffscreenSdl::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        particles_.resize(50);
        generate_initial_conditions(particles_.data(), 50);
        use(particles_.data(), 50);
        state_.scale = lumeth::kProjectionScale;
        // Window creation leaves events of its own in the queue; start from an empty one.
        SDL_PumpEvents();
        SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
        previous_counter_ = SDL_GetPerformanceCounter();
    }

    void push(const SDL_Event& event) {
        SDL_Event copy = event;
        ASSERT_TRUE(SDL_PushEvent(&copy)) << SDL_GetError();
    }

    void iterate() { lumeth::run_iteration(&state_, &running_, &previous_counter_); }

    std::string title() const { return SDL_GetWindowTitle(window_); }

    std::vector<Particle> particles_;
    bool running_ = true;
    Uint64 previous_counter_ = 0;
};

TEST_F(LoopIteration, EachUnpausedIterationStepsBeforeDrawing) {
    // Accelerations the force pass must overwrite: integrating them would give NaN positions.
    for (Particle& p : particles_) {
        p.acceleration[0] = p.acceleration[1] = p.acceleration[2] = std::nan("");
    }
    const std::vector<Particle> initial = particles_;
    iterate();
    EXPECT_TRUE(running_);
    EXPECT_EQ(state_.sim_time, lumeth::kTimeStep);
    // The first frame already shows the first step's time.
    EXPECT_NE(title().find("| Particles: 50 | Time: 100.00 Myr"), std::string::npos) << title();
    EXPECT_EQ(title().substr(title().size() - 3), "Myr");
    EXPECT_NE(std::memcmp(initial.data(), particles_.data(), 50 * sizeof(Particle)), 0)
        << "the step did not move the particles";
    for (const Particle& p : particles_) {
        for (int k = 0; k < 3; ++k) {
            ASSERT_TRUE(std::isfinite(p.acceleration[k])) << "no force pass ran";
            ASSERT_TRUE(std::isfinite(p.position[k])) << "integrated before the force pass";
        }
        // The black hole pulls on every particle.
        EXPECT_NE(p.acceleration[0] * p.acceleration[0] + p.acceleration[1] * p.acceleration[1] +
                      p.acceleration[2] * p.acceleration[2],
                  0.0);
    }

    // n iterations are n additions of the step.
    double expected = lumeth::kTimeStep;
    for (int i = 0; i < 4; ++i) {
        iterate();
        expected += lumeth::kTimeStep;
    }
    EXPECT_EQ(state_.sim_time, expected);
    EXPECT_NE(title().find("Time: 500.00 Myr"), std::string::npos) << title();
}

TEST_F(LoopIteration, PausedIterationDrawsButDoesNotStep) {
    push(key_down(SDLK_SPACE));
    const std::vector<Particle> initial = particles_;
    iterate();
    EXPECT_EQ(state_.paused, 1);
    EXPECT_EQ(state_.sim_time, 0.0);
    EXPECT_EQ(std::memcmp(initial.data(), particles_.data(), 50 * sizeof(Particle)), 0);
    const std::string suffix = "| Time: 0.00 Myr [PAUSED]";
    EXPECT_EQ(title().substr(title().size() - suffix.size()), suffix) << title();

    // The time stands still over further paused frames, and resumes after Space.
    iterate();
    iterate();
    EXPECT_EQ(state_.sim_time, 0.0);
    push(key_down(SDLK_SPACE));
    iterate();
    EXPECT_EQ(state_.paused, 0);
    EXPECT_EQ(state_.sim_time, lumeth::kTimeStep);
    EXPECT_EQ(title().find("[PAUSED]"), std::string::npos) << title();
}

TEST_F(LoopIteration, TwoSpacesInOneIterationCancel) {
    push(key_down(SDLK_SPACE));
    push(key_down(SDLK_SPACE));
    iterate();
    EXPECT_EQ(state_.paused, 0);
    EXPECT_EQ(state_.sim_time, lumeth::kTimeStep);
    EXPECT_EQ(title().find("[PAUSED]"), std::string::npos) << title();
}

TEST_F(LoopIteration, QuitAndSpaceInOneIterationBothApply) {
    // Running: the Space after the quit pauses, so the last iteration does not step.
    push(of_type(SDL_EVENT_QUIT));
    push(key_down(SDLK_SPACE));
    iterate();
    EXPECT_FALSE(running_);
    EXPECT_EQ(state_.paused, 1);
    EXPECT_EQ(state_.sim_time, 0.0);
    EXPECT_NE(title().find("[PAUSED]"), std::string::npos) << title();

    // Paused: a quit key then Space resumes, and one more step runs before shutdown.
    running_ = true;
    push(key_down(SDLK_Q));
    push(key_down(SDLK_SPACE));
    iterate();
    EXPECT_FALSE(running_);
    EXPECT_EQ(state_.paused, 0);
    EXPECT_EQ(state_.sim_time, lumeth::kTimeStep);
    EXPECT_NE(title().find("Time: 100.00 Myr"), std::string::npos) << title();
}

TEST_F(LoopIteration, QuitRequestFinishesItsIteration) {
    push(key_down(SDLK_ESCAPE));
    push(key_down(SDLK_PLUS));  // after the quit request, still applied
    iterate();
    EXPECT_FALSE(running_);
    EXPECT_EQ(state_.zoom, 1.2);
    EXPECT_EQ(state_.sim_time, lumeth::kTimeStep);
    EXPECT_NE(title().find("Time: 100.00 Myr"), std::string::npos) << title();
}

TEST_F(LoopIteration, ZoomWorksWhilePausedAndShowsInTheSameFrame) {
    const double metres_per_pixel = 1.0 / lumeth::kProjectionScale;
    Particle one[] = {
        make_particle(200.5 * metres_per_pixel, 100.25 * metres_per_pixel, 1e21, 1.989e30)};
    use(one, 1);
    state_.paused = 1;
    iterate();
    EXPECT_EQ(pixel(1160, 640), kBlueWhite);

    push(key_down(SDLK_PLUS));
    iterate();
    EXPECT_EQ(state_.zoom, 1.2);
    EXPECT_EQ(state_.sim_time, 0.0);
    EXPECT_EQ(pixel(1200, 660), kBlueWhite);
    EXPECT_EQ(pixel(1160, 640), lumeth_test::kBlack);

    push(key_down(SDLK_MINUS));
    push(key_down(SDLK_MINUS));
    iterate();
    EXPECT_EQ(state_.zoom, 1.2 / 1.2 / 1.2);
    EXPECT_EQ(state_.sim_time, 0.0);
    EXPECT_EQ(pixel(1127, 623), kBlueWhite);
    EXPECT_NE(title().find("Time: 0.00 Myr [PAUSED]"), std::string::npos) << title();
}

TEST_F(LoopIteration, KeepsTheCounterReadingForTheNextFrame) {
    // Each iteration replaces the previous reading with its own, taken between the readings
    // just before and just after it. The loop starts from a reading one second old, which an
    // iteration that keeps it fails to replace.
    const Uint64 frequency = SDL_GetPerformanceFrequency();
    const Uint64 start = SDL_GetPerformanceCounter();
    ASSERT_GT(start, frequency);
    previous_counter_ = start - frequency;
    state_.paused = 1;
    iterate();
    const Uint64 after_first = SDL_GetPerformanceCounter();
    EXPECT_GE(previous_counter_, start);
    EXPECT_LE(previous_counter_, after_first);
    iterate();
    const Uint64 after_second = SDL_GetPerformanceCounter();
    EXPECT_GE(previous_counter_, after_first);
    EXPECT_LE(previous_counter_, after_second);
    // The second frame's rate comes from the gap between the two iterations' readings, which
    // is shorter than the whole span from `start`: the title shows at least the reciprocal
    // of that span (less the 0.05 the title's one decimal may round away).
    const std::string t = title();
    const std::size_t at = t.find("FPS: ");
    ASSERT_NE(at, std::string::npos) << t;
    const double shown = std::strtod(t.c_str() + at + 5, nullptr);
    EXPECT_GE(shown, lumeth::frame_rate(after_second, start, frequency) - 0.05) << t;
    EXPECT_TRUE(std::isfinite(shown)) << t;
}

// --- Start-up and shutdown -----------------------------------------------------------------

constexpr const char* kBanner =
    "Initializing Lumeth galaxy simulation (CUDA)...\n"
    "Particles: 100000\n"
    "Black hole mass: 1.40e+08 solar masses\n"
    "Spin parameter: 0.70\n"
    "SDL3 initialized. Window: 1920x1080\n"
    "Generating initial conditions...\n"
    "Initial conditions ready.\n"
    "Starting simulation loop...\n"
    "Controls: SPACE=pause, +/-=zoom, Q/ESC=quit\n"
    "\n";

TEST(StartUpAndShutDown, RunOneFrameInProcessWithTheExactMessages) {
    lumeth_test::use_offscreen_video();
    SDL_SetHint(SDL_HINT_RENDER_DRIVER, "software");
    SimulationState state{};
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    lumeth::start_up(&state);
    std::fflush(stdout);
    const std::string banner = testing::internal::GetCapturedStdout();
    EXPECT_EQ(banner, kBanner);

    ASSERT_NE(state.window, nullptr);
    ASSERT_NE(state.renderer, nullptr);
    ASSERT_NE(state.particles, nullptr);
    EXPECT_EQ(state.particle_count, 100000);
    EXPECT_EQ(state.sim_time, 0.0);
    EXPECT_EQ(state.paused, 0);
    EXPECT_EQ(state.scale, 2.488658457550227e-19);
    EXPECT_EQ(state.zoom, 1.0);
    EXPECT_STREQ(SDL_GetWindowTitle(state.window), "Lumeth Galaxy Simulation (CUDA)");
    int width = 0, height = 0;
    EXPECT_TRUE(SDL_GetWindowSize(state.window, &width, &height)) << SDL_GetError();
    EXPECT_EQ(width, 1920);
    EXPECT_EQ(height, 1080);
    EXPECT_NE(SDL_GetWindowFlags(state.window) & SDL_WINDOW_RESIZABLE, 0u);
    EXPECT_EQ(SDL_GetRenderer(state.window), state.renderer);
    // The frame is shown scaled into the window, whatever size that has.
    int logical_width = 0, logical_height = 0;
    SDL_RendererLogicalPresentation mode = SDL_LOGICAL_PRESENTATION_DISABLED;
    EXPECT_TRUE(
        SDL_GetRenderLogicalPresentation(state.renderer, &logical_width, &logical_height, &mode));
    EXPECT_EQ(logical_width, 1920);
    EXPECT_EQ(logical_height, 1080);
    EXPECT_EQ(mode, SDL_LOGICAL_PRESENTATION_LETTERBOX);
    int populated = 0;
    for (int i = 0; i < state.particle_count; ++i) {
        populated += state.particles[i].mass > 0.0 ? 1 : 0;
    }
    EXPECT_EQ(populated, 100000) << "the galaxy was not generated into the array";

    // One frame with a quit request queued, as the program's loop runs it.
    SDL_Event quit = key_down(SDLK_Q);
    ASSERT_TRUE(SDL_PushEvent(&quit)) << SDL_GetError();
    bool running = true;
    Uint64 previous = SDL_GetPerformanceCounter();
    while (running) {
        lumeth::run_iteration(&state, &running, &previous);
    }
    EXPECT_EQ(state.sim_time, lumeth::kTimeStep);
    const std::string title = SDL_GetWindowTitle(state.window);
    EXPECT_EQ(title.rfind("Lumeth CUDA | FPS: ", 0), 0u) << title;
    EXPECT_NE(title.find(" | Particles: 100000 | Time: 100.00 Myr"), std::string::npos) << title;

    testing::internal::CaptureStdout();
    lumeth::shut_down(&state);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nCleaning up...\nSimulation terminated.\n");
    EXPECT_EQ(state.particles, nullptr);
    EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}

// The end of a one-line report on standard error, in both kinds of GoogleTest regular
// expression: POSIX extended ones on Linux, GoogleTest's own simple ones on Windows (no
// bracket expressions or alternatives; '.' never matches a line end). The Windows C runtime
// ends the line with \r\n.
#if GTEST_USES_POSIX_RE
constexpr char kRestOfLine[] = "[^\n]+\n";
constexpr char kRestOfOnlyLine[] = "[^\n]+\n$";
constexpr char kLineStart[] = "(^|\n)";
#else
constexpr char kRestOfLine[] = ".+\n";
constexpr char kRestOfOnlyLine[] = ".+\n$";
constexpr char kLineStart[] = "";
#endif

// A test program under a user-mode emulator (qemu without binfmt_misc) cannot start itself
// again: there the dying child is forked as it is.
#ifdef LUMETH_TEST_FORK_ONLY
constexpr char kDeathTestStyle[] = "fast";
#else
constexpr char kDeathTestStyle[] = "threadsafe";
#endif

class StartUpFailure : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, kDeathTestStyle); }
};

// No video driver starts, as without a display: SDL's reason, then what to do instead.
TEST_F(StartUpFailure, WindowFailureReportsSdlErrorAndExitsWith1) {
    EXPECT_EXIT(
        {
            SDL_SetHint(SDL_HINT_VIDEO_DRIVER, "no-such-video-driver");
            SimulationState state{};
            lumeth::start_up(&state);
        },
        ::testing::ExitedWithCode(1),
        std::string("^Window creation failed: ") + kRestOfLine +
            "No display to open a window on: " + kRestOfOnlyLine);
}

TEST_F(StartUpFailure, RendererFailureReportsSdlErrorAndExitsWith1) {
    EXPECT_EXIT(
        {
            lumeth_test::use_offscreen_video();
            SDL_SetHint(SDL_HINT_RENDER_DRIVER, "no-such-renderer");
            SimulationState state{};
            lumeth::start_up(&state);
        },
        ::testing::ExitedWithCode(1), std::string("^Renderer creation failed: ") + kRestOfOnlyLine);
}

TEST_F(StartUpFailure, AllocationFailureReportsTheSizeAndExitsWith1) {
    // More bytes than any address space holds; malloc must fail. (AddressSanitizer may add
    // a warning line of its own before the report.)
    const std::size_t count = std::numeric_limits<std::size_t>::max() / sizeof(Particle);
    EXPECT_EXIT(
        lumeth::allocate_particles(count), ::testing::ExitedWithCode(1),
        std::string(kLineStart) + "Particle allocation failed: 18446744073709551600 bytes\r?\n$");
}

TEST(AllocateParticles, GivesTheFullArray) {
    Particle* particles = lumeth::allocate_particles(100000);
    ASSERT_NE(particles, nullptr);
    // Every record is writable (AddressSanitizer checks the bounds).
    particles[0] = make_particle(1.0, 2.0, 3.0, 4.0);
    particles[99999] = make_particle(1.0, 2.0, 3.0, 4.0);
    std::free(particles);
}

}  // namespace
