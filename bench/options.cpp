#include "options.h"

#include <cstdio>
#include <string>

#include "cli/command_line.h"

namespace lumeth::bench {
namespace {

const char* const kUsage =
    "Usage: lumeth-bench [--count N] [--repeat R] [--sweep] [-h | --help]\n"
    "\n"
    "Times each phase of the galaxy simulation on every backend of this build, checks each\n"
    "backend's results against a plain single-threaded baseline, and ends with the frame rate\n"
    "of the program's own frame on this machine.\n"
    "\n"
    "  --count N    particles (default 100000, at most 10000000)\n"
    "  --repeat R   timed runs per measurement, after one warm-up; the median is reported\n"
    "               (default 5, at most 1000)\n"
    "  --sweep      measure at 10000, 25000, 50000, 100000, 200000 and 400000 particles\n"
    "               instead of --count (the baseline then runs at most 3 times per count);\n"
    "               each count's rows print as soon as it is measured, largest count first\n"
    "  -h, --help   print this text and exit\n"
    "\n"
    "Each option may be given once; a value follows the option as the next argument or\n"
    "after '=' (--count=N). Every run draws the galaxy from the same fixed seed, so figures\n"
    "compare across runs and machines. Progress and time estimates for long phases go to\n"
    "standard error. The CPU path chooses its division as the program does, in timed slices\n"
    "of a first force pass over the program's 100000 particles whatever the count; the\n"
    "header names the choice.\n"
    "\n"
    "The table's words: a baseline is the plain single-threaded version of a phase, the\n"
    "reference for every backend's results and speed-ups. A floor is a bound that the\n"
    "measured figure cannot beat: the same bytes or operations done the fastest way (a\n"
    "plain copy on as many threads, the device's peak rate); 'Nx its floor' is the figure\n"
    "over that bound. A floor timed on the host runs in batches of at least 5 ms, with the\n"
    "same call doing no work timed likewise and taken off (only the work bounds every\n"
    "figure); it is set against its figure from 0.1 ms a run (a GPU copy's floor, the mean of\n"
    "16 copies, from 0.005 ms a copy), and not where it comes out slower than the figure:\n"
    "below that the clock and the threads' start outweigh the work it bounds. The divider\n"
    "floor (the force pass's divisions and square roots alone on the divider) is the\n"
    "hardware division's floor; for the fma division, which leaves the divider, it is a\n"
    "yardstick of how far it gets past it, and its own floor is the FMA floor. Mpairs/s:\n"
    "million particle pairs of the force pass per second (each particle against every\n"
    "1000th, the sampled ones). The backend 'program' is the step functions as the program\n"
    "calls them, on the backend they chose. The GPU's rows (copies, kernels) appear when a\n"
    "GPU is usable, the motion backup's when a step ran on it.\n"
    "\n"
    "The last line: the program's frame (step_forces, step_integrate and render_frame, as its\n"
    "frame loop runs them) timed whole, as frames per second. A live window adds presenting\n"
    "each frame to the display, which this headless run cannot time.\n"
    "\n"
    "Exit status: 0 when every backend gives the baseline's results, 1 when one does not\n"
    "(or a GPU measurement fails), 2 for a bad command line.\n";

}  // namespace

int parse_options(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        OptionReader option(argc, argv, &i);
        const std::string& arg = option.name();
        // The option's value as a whole number from 1 to `largest`, or a message on stderr.
        auto take_whole_number = [&](const char* name, int largest, int* value) {
            const char* text = option.take_value();
            if (text == nullptr) {
                std::fprintf(stderr, "lumeth-bench: %s needs a value\n", name);
                return false;
            }
            long long number = 0;
            if (parse_whole_number(text, 1, largest, &number)) {
                *value = static_cast<int>(number);
                return true;
            }
            std::fprintf(stderr, "lumeth-bench: %s needs a whole number from 1 to %d, got '%s'\n",
                         name, largest, text);
            return false;
        };
        if ((arg == "--help" || arg == "-h") && !option.has_inline_value()) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option.refuse_repeat("lumeth-bench")) {
            return 2;
        }
        if (arg == "--sweep" && !option.has_inline_value()) {
            options->sweep = true;
        } else if (arg == "--count") {
            options->count_given = true;
            if (!take_whole_number("--count", kMaxCount, &options->count)) {
                return 2;
            }
        } else if (arg == "--repeat") {
            if (!take_whole_number("--repeat", kMaxRuns, &options->runs)) {
                return 2;
            }
        } else {
            std::fprintf(stderr, "lumeth-bench: unknown option '%s' (try --help)\n", argv[i]);
            return 2;
        }
    }
    if (options->sweep && options->count_given) {
        std::fprintf(stderr, "lumeth-bench: --count and --sweep cannot be combined\n");
        return 2;
    }
    return -1;
}

}  // namespace lumeth::bench
