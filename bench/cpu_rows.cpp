// The CPU path's rows: the force pass with the division in use and with each division of the
// level, beside its floors, and the integration pass.
#include <algorithm>

#include "count_measurement.h"
#include "kernels/cpu_kernels.h"
#include "sim/constants.h"
#include "timing.h"
#include "words.h"

namespace lumeth::bench {
namespace {

// Which division ran the passes since `before`: "fma division in all 8 passes", "hardware
// division in 3 passes, fma division in 5".
std::string divisions_run(const CpuDivisionPasses& before) {
    const CpuDivisionPasses now = cpu_division_passes();
    const long long hardware = now.hardware - before.hardware;
    const long long fma = now.fma - before.fma;
    if (hardware == 0 || fma == 0) {
        return format(hardware == 0 ? "fma division in all %.0f passes"
                                    : "hardware division in all %.0f passes",
                      static_cast<double>(hardware + fma));
    }
    return format("hardware division in %.0f passes, ", static_cast<double>(hardware)) +
           format("fma division in %.0f", static_cast<double>(fma));
}

// One force pass of the CPU path with the division in use, checked against the baseline.
Row cpu_forces(CountMeasurement* m, const std::string& backend) {
    const auto samples = time_runs(
        label(*m, "compute_forces", backend), m->runs, NAN, [&] { copy_in(m, m->galaxy); },
        [&] { compute_forces_cpu(m->work.data(), m->count, 0.0, 0.0, 0.0); });
    Row r = timed_row(*m, "compute_forces", backend, m->runs, samples);
    r.mpairs = pair_rate(*m, r.ms);
    r.threads = cpu_thread_count();
    r.simd = cpu_simd_width();
    r.result = check(m, compare_exact(m->forces.data(), m->work.data(), m->count)) + ", " +
               speed_up(m->baseline_forces_ms, r.ms);
    return r;
}

// A floor of the force pass for `pairs` pairs, its call's overhead (no pairs) taken off
// (timing.h).
template <typename Work>
Row floor_row(const CountMeasurement& m, const char* phase, Work work) {
    const FloorTime time = time_floor(
        m.runs, [&] { work(m.pairs); }, [&] { work(0); });
    Row r = timed_row(m, phase, "cpu", m.runs, {time.ms});
    r.threads = cpu_thread_count();
    r.simd = cpu_simd_width();
    r.result = format(", the call's own %.3f ms taken off", time.overhead_ms);
    return r;
}

}  // namespace

// The force pass with the division in use and with each division of the level, beside the
// divider floor (its divisions and square roots alone on the divider: the hardware division's
// floor, the fma division's yardstick) and, for the fma division, the FMA floor (as many fused
// multiply-adds as it issues vector operations).
void add_cpu_rows(CountMeasurement* m) {
    // The division in use: timed (and re-checked) as the program does, unless one was asked for
    // by name; it is set back after each division has been timed on its own.
    const std::string in_use = cpu_division();
    const bool timed =
        in_use == "undecided" || std::string(last_cpu_division_choice().division) != "undecided";
    const CpuDivisionPasses before = cpu_division_passes();
    Row chosen = cpu_forces(m, "cpu");
    const std::string ran = divisions_run(before);

    Row divider =
        floor_row(*m, "divider floor", [](long long pairs) { divider_floor_work(pairs); });
    divider.result =
        format("11 divisions and 1 square root per pair in %.0f-double vectors", cpu_simd_width()) +
        divider.result + floor_note(divider.ms, kShortestHostFloorMs);
    std::vector<Row> rows;
    double fastest_ms = chosen.ms;
    for (const char* division : supported_cpu_divisions()) {
        use_cpu_division(division);
        Row r = cpu_forces(m, std::string("cpu: ") + division + " division");
        r.result +=
            ", " +
            (std::string(division) == "hardware"
                 ? of_floor(r.ms, divider.ms, kShortestHostFloorMs, "its divider floor")
                 : of_yardstick(r.ms, divider.ms, kShortestHostFloorMs, "the divider floor"));
        fastest_ms = std::min(fastest_ms, r.ms);
        rows.push_back(r);
    }
    if (fma_operations_per_pair() > 0) {
        Row fma = floor_row(*m, "fma floor", [](long long pairs) { fma_floor_work(pairs); });
        fma.result = std::to_string(fma_operations_per_pair()) +
                     " fused multiply-adds per pair and vector" + fma.result +
                     floor_note(fma.ms, kShortestHostFloorMs);
        rows.back().result +=
            ", " + of_floor(rows.back().ms, fma.ms, kShortestHostFloorMs, "its FMA floor");
        rows.push_back(fma);
    }
    if (timed) {
        resume_timed_cpu_division();
    } else {
        use_cpu_division(in_use.c_str());
    }
    chosen.result += ", " + ran + " (warm-up included), " +
                     format("%.2fx the faster division", chosen.ms / fastest_ms);
    m->rows.push_back(chosen);
    m->rows.insert(m->rows.end(), rows.begin(), rows.end());
    m->rows.push_back(divider);

    const auto samples = time_runs(
        label(*m, "integrate", "cpu"), m->runs, NAN, [&] { copy_in(m, m->forces); },
        [&] { integrate_cpu(m->work.data(), m->count, kTimeStep); });
    Row r = timed_row(*m, "integrate", "cpu", m->runs, samples);
    r.threads = cpu_thread_count();
    r.simd = 1;
    r.result = check(m, compare_exact(m->integrated.data(), m->work.data(), m->count)) + ", " +
               speed_up(m->baseline_integrate_ms, r.ms);
    m->rows.push_back(r);
}

}  // namespace lumeth::bench
