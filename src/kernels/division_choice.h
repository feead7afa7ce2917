// How the CPU path chooses its force pass's division from timed slices, and keeps checking the
// choice: plain records and functions, apart from any clock, so that the tests can drive them
// with made-up times.
#pragma once

#include <vector>

namespace lumeth {

// Timed slices of the force pass, in milliseconds, each division's in the order run.
struct CpuDivisionTiming {
    std::vector<double> hardware_ms;
    std::vector<double> fma_ms;
};

// A division choice and what decided it. A division's time is the mean of the faster half of
// its slices: other work on the machine, a preemption or the threads' wake-up only ever
// lengthens a slice, so the faster half is what the division itself takes, and up to half of
// the slices may be slowed without moving it. The division not in use is taken when it is
// faster by more than kDivisionSwitchMargin; so a choice does not swing back and forth between
// two divisions of about the same speed.
struct CpuDivisionChoice {
    const char* division = "undecided";  // "hardware" or "fma"; "undecided" before any timing
    double hardware_ms = 0.0;            // the hardware division's time per slice
    double fma_ms = 0.0;                 // the fma division's
    int slices = 0;                      // slices per division the times come from
    int rounds = 0;  // rounds timed in this run so far: the first pass's and the re-checks'
};

constexpr double kDivisionSwitchMargin = 0.05;
// Slices each division needs before its time decides anything.
constexpr int kFewestDivisionSlices = 3;

// The choice for these timings when `in_use` ("hardware", "fma"; "undecided" counts as
// "hardware") is the division running now: the other one where it is faster by more than the
// margin, with at least kFewestDivisionSlices slices each; otherwise the one in use.
CpuDivisionChoice choose_cpu_division(const CpuDivisionTiming& timing,
                                      const char* in_use = "hardware");

// The re-checking. After the first timed pass, every kDivisionRecheckPasses-th force pass ends
// with one timed round (a slice with each division); the choice is made again on the last
// kKeptDivisionRounds rounds. A first choice that slices slowed by chance made wrong is
// corrected by the first kFewestDivisionSlices re-checks that run undisturbed: within
// kDivisionRecheckPasses * kFewestDivisionSlices force passes.
constexpr int kDivisionRecheckPasses = 8;
constexpr int kKeptDivisionRounds = 6;

struct CpuDivisionRecord {
    CpuDivisionTiming recent;  // the slices of the last kKeptDivisionRounds rounds
    CpuDivisionChoice choice;  // made on them
    int passes_since_check = 0;
    int rounds = 0;  // rounds recorded since the first timed pass
};

// Adds the slices of a timed pass (a division's slices in the order run, as many of each) and
// makes the choice again; returns it.
const CpuDivisionChoice& record_division_slices(CpuDivisionRecord* record,
                                                const CpuDivisionTiming& slices);

// Counts one force pass run with the chosen division. True when this pass is to end with a
// timed round.
bool division_recheck_due(CpuDivisionRecord* record);

}  // namespace lumeth
