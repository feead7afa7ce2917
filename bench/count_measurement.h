// Everything lumeth-bench measures at one particle count: the inputs every phase starts from,
// the baseline's results and times that later rows are set against, and the rows in table
// order. Each group of rows is added by its own function, in the order run_count calls them.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "compare.h"
#include "sim/particle.h"
#include "table.h"

namespace lumeth::bench {

constexpr std::uint32_t kSeed = 20240601;  // every measured galaxy is drawn from this seed

struct CountMeasurement {
    int count = 0;
    int runs = 0;
    int baseline_runs = 0;
    std::size_t bytes = 0;
    std::int64_t pairs = 0;            // sampled pair evaluations of one force pass
    std::vector<Particle> galaxy;      // the generated galaxy: the force pass's input
    std::vector<Particle> forces;      // the baseline's force pass: the integration's input
    std::vector<Particle> integrated;  // the baseline's integration
    std::vector<Particle> work;        // each timed run's array
    double baseline_forces_ms = NAN;
    double baseline_integrate_ms = NAN;
    double gpu_forces_kernel_ms = NAN;  // the GPU's medians, for the step functions' floors
    double gpu_integrate_kernel_ms = NAN;
    double gpu_copies_ms = NAN;  // one pageable upload and one download
    // The step functions' and render_frame's medians: the frame rate's line gives their sum
    // beside its own figure.
    double step_forces_ms = NAN;
    double step_integrate_ms = NAN;
    double render_frame_ms = NAN;
    bool agree = true;
    bool long_count = false;  // the baseline's force pass was estimated as a long phase
    std::vector<Row> rows;
    std::string frame_line;  // the bottom line: the program's frame rate at this count
};

// Runs every measurement at `count`; false when a backend disagrees with the baseline.
bool run_count(CountMeasurement* m, int count, int runs, int baseline_runs);

// The groups of rows.
void add_generation_rows(CountMeasurement* m);
void add_baseline_rows(CountMeasurement* m);
void add_cpu_rows(CountMeasurement* m);
void add_gpu_rows(CountMeasurement* m);
void add_step_rows(CountMeasurement* m);  // with the motion backup's when a step used the GPU
void add_render_rows(CountMeasurement* m);
void add_frame_line(CountMeasurement* m);
void add_snapshot_rows(CountMeasurement* m);  // lumeth-record's snapshots, where built

// Helpers the groups share.
std::int64_t pairs_per_force_pass(int count);
Row timed_row(const CountMeasurement& m, const std::string& phase, const std::string& backend,
              int runs, const std::vector<double>& samples);
// A row that says why a phase was not measured.
Row note_row(const CountMeasurement& m, const std::string& phase, const std::string& backend,
             const std::string& result);
double pair_rate(const CountMeasurement& m, double ms);
// The phase and backend as the progress messages name them.
std::string label(const CountMeasurement& m, const std::string& phase, const std::string& backend);
// Names a phase that reports no progress of its own when the count is large enough for the
// baseline's force pass to have been a long phase.
void announce(const CountMeasurement& m, const char* what);
// Notes a comparison in the table's words and in the exit status.
std::string check(CountMeasurement* m, const Comparison& comparison);
void copy_in(CountMeasurement* m, const std::vector<Particle>& from);

}  // namespace lumeth::bench
