#include "app/app.h"

#include <cstdio>
#include <cstdlib>

#include "app/render.h"
#include "gpu/step_driver.h"
#include "sim/constants.h"
#include "sim/initial_conditions.h"

namespace lumeth {

static_assert(960.0 / (125.0 * kKiloparsec) == kProjectionScale,
              "the projection scale is 960 pixels per 125 kpc");

Particle* allocate_particles(std::size_t count) {
    const std::size_t bytes = count * sizeof(Particle);
    Particle* particles = static_cast<Particle*>(std::malloc(bytes));
    if (particles == nullptr) {
        std::fprintf(stderr, "Particle allocation failed: %zu bytes\n", bytes);
        std::exit(1);
    }
    return particles;
}

void start_up(SimulationState* state) {
    std::printf("Initializing Lumeth galaxy simulation (CUDA)...\n");
    std::printf("Particles: %d\n", kParticleCount);
    std::printf("Black hole mass: %.2e solar masses\n", kBlackHoleSolarMasses);
    std::printf("Spin parameter: %.2f\n", kSpin);

    // A failed initialisation shows up as a failed window creation just below.
    SDL_Init(SDL_INIT_VIDEO);

    state->window =
        SDL_CreateWindow(kWindowTitle, kWindowWidth, kWindowHeight, SDL_WINDOW_RESIZABLE);
    if (state->window == nullptr) {
        std::fprintf(stderr, "Window creation failed: %s\n", SDL_GetError());
        // No video driver started: there is no display to show a window on.
        if (SDL_GetCurrentVideoDriver() == nullptr) {
            std::fputs(kNoDisplayAdvice, stderr);
        }
        std::exit(1);
    }
    // No driver name: SDL picks its default renderer for the window.
    state->renderer = SDL_CreateRenderer(state->window, nullptr);
    if (state->renderer == nullptr) {
        std::fprintf(stderr, "Renderer creation failed: %s\n", SDL_GetError());
        std::exit(1);
    }
    // The frame keeps its 1920x1080 coordinates and is shown scaled into whatever size the
    // window has, its aspect kept, with black bars where the shapes differ.
    if (!SDL_SetRenderLogicalPresentation(state->renderer, kWindowWidth, kWindowHeight,
                                          SDL_LOGICAL_PRESENTATION_LETTERBOX)) {
        std::fprintf(stderr, "Renderer set-up failed: %s\n", SDL_GetError());
        std::exit(1);
    }

    state->particle_count = kParticleCount;
    state->particles = allocate_particles(kParticleCount);
    state->sim_time = 0.0;
    state->paused = 0;
    state->scale = kProjectionScale;
    state->zoom = 1.0;

    std::printf("SDL3 initialized. Window: %dx%d\n", kWindowWidth, kWindowHeight);
    std::printf("Generating initial conditions...\n");
    generate_initial_conditions(state->particles, kParticleCount);
    std::printf("Initial conditions ready.\n");
    std::printf("Starting simulation loop...\n");
    std::printf("Controls: SPACE=pause, +/-=zoom, Q/ESC=quit\n\n");
}

double frame_rate(Uint64 now, Uint64 previous, Uint64 frequency) {
    const Uint64 difference = now - previous;
    const double elapsed = static_cast<double>(difference) / static_cast<double>(frequency);
    return 1.0 / elapsed;
}

void handle_event(const SDL_Event& event, SimulationState* state, bool* running) {
    if (event.type == SDL_EVENT_QUIT) {
        *running = false;
        return;
    }
    if (event.type != SDL_EVENT_KEY_DOWN) {
        return;
    }
    switch (event.key.key) {
        case SDLK_ESCAPE:
        case SDLK_Q:
            *running = false;
            break;
        case SDLK_SPACE:
            state->paused = state->paused == 0 ? 1 : 0;
            break;
        case SDLK_PLUS:
        case SDLK_EQUALS:
            state->zoom = state->zoom * kZoomFactor;
            break;
        case SDLK_MINUS:
            state->zoom = state->zoom / kZoomFactor;
            break;
        default:
            break;
    }
}

void advance_simulation(SimulationState* state, double dt) {
    step_forces(state->particles, state->particle_count);
    step_integrate(state->particles, state->particle_count, dt);
    state->sim_time += dt;
}

void run_iteration(SimulationState* state, bool* running, Uint64* previous_counter) {
    const Uint64 now = SDL_GetPerformanceCounter();
    const double fps = frame_rate(now, *previous_counter, SDL_GetPerformanceFrequency());
    *previous_counter = now;

    // Drain the queue completely: events after a quit request still count.
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        handle_event(event, state, running);
    }

    if (state->paused == 0) {
        advance_simulation(state, kTimeStep);
    }

    render_frame(state, fps);
}

void shut_down(SimulationState* state) {
    std::printf("\nCleaning up...\n");
    release_gpu();
    std::free(state->particles);
    state->particles = nullptr;
    SDL_DestroyRenderer(state->renderer);
    state->renderer = nullptr;
    SDL_DestroyWindow(state->window);
    state->window = nullptr;
    SDL_Quit();
    std::printf("Simulation terminated.\n");
}

int run_program() {
    // Each message reaches a log file or a pipe as it is printed, not at exit. The Windows C
    // runtime buffers _IOLBF streams fully, so there the stream is unbuffered instead.
#ifdef _WIN32
    std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
#endif
    SimulationState state{};
    start_up(&state);

    Uint64 previous_counter = SDL_GetPerformanceCounter();
    bool running = true;
    while (running) {
        run_iteration(&state, &running, &previous_counter);
    }

    shut_down(&state);
    return 0;
}

}  // namespace lumeth
