#include "division_choice.h"

#include <algorithm>
#include <cstring>

namespace lumeth {
namespace {

// The mean of the faster half of the slices (the faster one of an odd count's middle slice
// included).
double faster_half_mean(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const size_t half = (ms.size() + 1) / 2;
    double sum = 0.0;
    for (size_t k = 0; k < half; ++k) {
        sum += ms[k];
    }
    return half == 0 ? 0.0 : sum / static_cast<double>(half);
}

void keep_last(std::vector<double>* ms, size_t n) {
    if (ms->size() > n) {
        ms->erase(ms->begin(), ms->end() - static_cast<std::ptrdiff_t>(n));
    }
}

}  // namespace

CpuDivisionChoice choose_cpu_division(const CpuDivisionTiming& timing, const char* in_use) {
    CpuDivisionChoice choice;
    choice.hardware_ms = faster_half_mean(timing.hardware_ms);
    choice.fma_ms = faster_half_mean(timing.fma_ms);
    choice.slices = static_cast<int>(std::min(timing.hardware_ms.size(), timing.fma_ms.size()));
    const bool fma_in_use = std::strcmp(in_use, "fma") == 0;
    const double in_use_ms = fma_in_use ? choice.fma_ms : choice.hardware_ms;
    const double other_ms = fma_in_use ? choice.hardware_ms : choice.fma_ms;
    const bool timed = choice.slices >= kFewestDivisionSlices && other_ms > 0.0;
    const bool switch_over = timed && other_ms * (1.0 + kDivisionSwitchMargin) < in_use_ms;
    choice.division = fma_in_use != switch_over ? "fma" : "hardware";
    return choice;
}

const CpuDivisionChoice& record_division_slices(CpuDivisionRecord* record,
                                                const CpuDivisionTiming& slices) {
    CpuDivisionTiming& recent = record->recent;
    recent.hardware_ms.insert(recent.hardware_ms.end(), slices.hardware_ms.begin(),
                              slices.hardware_ms.end());
    recent.fma_ms.insert(recent.fma_ms.end(), slices.fma_ms.begin(), slices.fma_ms.end());
    keep_last(&recent.hardware_ms, kKeptDivisionRounds);
    keep_last(&recent.fma_ms, kKeptDivisionRounds);
    record->rounds += static_cast<int>(std::min(slices.hardware_ms.size(), slices.fma_ms.size()));
    record->passes_since_check = 0;
    record->choice = choose_cpu_division(recent, record->choice.division);
    record->choice.rounds = record->rounds;
    return record->choice;
}

bool division_recheck_due(CpuDivisionRecord* record) {
    record->passes_since_check += 1;
    return record->passes_since_check >= kDivisionRecheckPasses;
}

}  // namespace lumeth
