// lumeth-bench's command line.
#pragma once

namespace lumeth::bench {

constexpr int kDefaultCount = 100000;
constexpr int kDefaultRuns = 5;
constexpr int kMaxCount = 10000000;
constexpr int kMaxRuns = 1000;
constexpr int kSweepCounts[] = {10000, 25000, 50000, 100000, 200000, 400000};
// In a sweep the baseline takes seconds per force pass at the largest counts: fewer runs.
constexpr int kSweepBaselineRuns = 3;

struct Options {
    int count = kDefaultCount;
    int runs = kDefaultRuns;
    bool sweep = false;
    bool count_given = false;
};

// Fills *options from the command line; prints the usage for -h and --help, and one line on
// standard error for a bad command line. Returns -1 to go on, or the exit status (0 or 2).
int parse_options(int argc, char** argv, Options* options);

}  // namespace lumeth::bench
