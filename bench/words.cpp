#include "words.h"

#include <cmath>

#include "table.h"

namespace lumeth::bench {

std::string speed_up(double baseline_ms, double ms) {
    if (!(baseline_ms >= kShortestBaselineMs)) {
        return "too small to time a speed-up (baseline under 0.01 ms)";
    }
    return format("speed-up %.1fx", baseline_ms / ms);
}

std::string of_floor(double ms, double floor_ms, double shortest_ms,
                     const std::string& floor_name) {
    if (!std::isnan(shortest_ms) && !(floor_ms >= shortest_ms)) {
        return floor_name + " not compared (under " + format("%g", shortest_ms) + " ms a run)";
    }
    if (!std::isnan(shortest_ms) && ms < floor_ms) {
        // A measured floor slower than the figure it should bound bounds nothing here. A
        // computed one that is beaten shows it: its count of the work is wrong.
        return floor_name + " not compared (measured slower than this figure here)";
    }
    return format("%.2fx ", ms / floor_ms) + floor_name;
}

std::string of_yardstick(double ms, double yardstick_ms, double shortest_ms,
                         const std::string& yardstick_name) {
    if (!(yardstick_ms >= shortest_ms)) {
        return yardstick_name + " not compared (under " + format("%g", shortest_ms) + " ms a run)";
    }
    return format("%.2fx ", ms / yardstick_ms) + yardstick_name + " (a yardstick, not its floor)";
}

std::string floor_note(double floor_ms, double shortest_ms) {
    if (floor_ms >= shortest_ms) {
        return "";
    }
    return "; under " + format("%g", shortest_ms) +
           " ms a run at this count, too short to bound: not compared";
}

std::string bandwidth(std::size_t bytes, double ms, double shortest_ms) {
    if (!(ms >= shortest_ms)) {
        return "too short a run for a bandwidth (under " + format("%g", shortest_ms) + " ms)";
    }
    return format("%.1f GB/s", static_cast<double>(bytes) / (ms * 1e-3) / 1e9);
}

std::string program_backend(StepBackend backend) {
    return std::string("program: ") + step_backend_name(backend);
}

}  // namespace lumeth::bench
