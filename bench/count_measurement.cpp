#include "count_measurement.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "kernels/cpu_kernels.h"
#include "sim/constants.h"
#include "sim/initial_conditions.h"
#include "timing.h"

namespace lumeth::bench {
namespace {

// The records a force pass is first timed on to estimate a long one (the pass grows as
// count * count / 1000).
constexpr int kEstimateSampleCount = 20000;

// One force pass's expected time at this count, from `pass` timed on the galaxy's first
// kEstimateSampleCount records; NaN for counts too small to need an estimate.
template <typename Pass>
double estimate_force_pass_ms(const CountMeasurement& m, Pass pass) {
    if (m.count <= kEstimateSampleCount) {
        return NAN;
    }
    std::vector<Particle> sample(m.galaxy.begin(), m.galaxy.begin() + kEstimateSampleCount);
    const auto start = std::chrono::steady_clock::now();
    pass(sample.data(), kEstimateSampleCount);
    const auto stop = std::chrono::steady_clock::now();
    const double ms = std::chrono::duration<double, std::milli>(stop - start).count();
    return ms * static_cast<double>(m.pairs) /
           static_cast<double>(pairs_per_force_pass(kEstimateSampleCount));
}

}  // namespace

bool run_count(CountMeasurement* m, int count, int runs, int baseline_runs) {
    const auto records = static_cast<std::size_t>(count);
    m->count = count;
    m->runs = runs;
    m->baseline_runs = baseline_runs;
    m->bytes = records * sizeof(Particle);
    m->pairs = pairs_per_force_pass(count);
    m->galaxy.resize(records);
    m->forces.resize(records);
    m->integrated.resize(records);
    m->work.resize(records);

    add_generation_rows(m);
    add_baseline_rows(m);
    add_cpu_rows(m);
    announce(*m, "timing the GPU");
    add_gpu_rows(m);
    add_step_rows(m);
    announce(*m, "timing the renderer and the program's frame");
    add_render_rows(m);
    add_frame_line(m);
    announce(*m, "timing the snapshots");
    add_snapshot_rows(m);
    return m->agree;
}

// Pair evaluations in one force pass: every particle i against every sampled j (every
// 1000th record) other than itself.
std::int64_t pairs_per_force_pass(int count) {
    const std::int64_t sampled =
        (static_cast<std::int64_t>(count) + kPairSampleStride - 1) / kPairSampleStride;
    return static_cast<std::int64_t>(count) * sampled - sampled;
}

Row timed_row(const CountMeasurement& m, const std::string& phase, const std::string& backend,
              int runs, const std::vector<double>& samples) {
    Row r;
    r.phase = phase;
    r.backend = backend;
    r.count = m.count;
    r.runs = runs;
    r.ms = median(samples);
    return r;
}

Row note_row(const CountMeasurement& m, const std::string& phase, const std::string& backend,
             const std::string& result) {
    Row r;
    r.phase = phase;
    r.backend = backend;
    r.count = m.count;
    r.result = result;
    return r;
}

double pair_rate(const CountMeasurement& m, double ms) {
    return static_cast<double>(m.pairs) / (ms * 1e-3) / 1e6;
}

std::string label(const CountMeasurement& m, const std::string& phase, const std::string& backend) {
    return phase + " on " + backend + " at " + std::to_string(m.count) + " particles";
}

void announce(const CountMeasurement& m, const char* what) {
    if (m.long_count) {
        std::fprintf(stderr, "lumeth-bench: %s at %d particles\n", what, m.count);
    }
}

std::string check(CountMeasurement* m, const Comparison& comparison) {
    if (comparison.differing > 0) {
        m->agree = false;
    }
    return describe(comparison);
}

void copy_in(CountMeasurement* m, const std::vector<Particle>& from) {
    std::memcpy(m->work.data(), from.data(), m->bytes);
}

void add_generation_rows(CountMeasurement* m) {
    const auto samples = time_runs(
        label(*m, "generate_initial_conditions", "host"), m->runs, NAN, [] {},
        [&] { generate_galaxy(m->galaxy.data(), m->count, kSeed); });
    Row r = timed_row(*m, "generate_initial_conditions", "host", m->runs, samples);
    r.threads = 1;
    r.result = "seed " + std::to_string(kSeed);
    m->rows.push_back(r);
}

// The plain single-threaded loops: the reference results and times.
void add_baseline_rows(CountMeasurement* m) {
    const int count = m->count;
    const double estimate_ms = estimate_force_pass_ms(
        *m, [](Particle* sample, int n) { compute_forces_reference(sample, n, 0.0, 0.0, 0.0); });
    m->long_count = estimate_ms * (m->baseline_runs + 1) >= kLongPhaseMs;
    auto samples = time_runs(
        label(*m, "compute_forces", "baseline"), m->baseline_runs, estimate_ms,
        [&] { copy_in(m, m->galaxy); },
        [&] { compute_forces_reference(m->work.data(), count, 0.0, 0.0, 0.0); });
    m->forces = m->work;
    Row r = timed_row(*m, "compute_forces", "baseline", m->baseline_runs, samples);
    m->baseline_forces_ms = r.ms;
    r.mpairs = pair_rate(*m, r.ms);
    r.threads = 1;
    r.simd = 1;
    r.result = "reference";
    m->rows.push_back(r);

    samples = time_runs(
        label(*m, "integrate", "baseline"), m->baseline_runs, NAN, [&] { copy_in(m, m->forces); },
        [&] { integrate_reference(m->work.data(), count, kTimeStep); });
    m->integrated = m->work;
    r = timed_row(*m, "integrate", "baseline", m->baseline_runs, samples);
    m->baseline_integrate_ms = r.ms;
    r.threads = 1;
    r.simd = 1;
    r.result = "reference";
    m->rows.push_back(r);
}

}  // namespace lumeth::bench
