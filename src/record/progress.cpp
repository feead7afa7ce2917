#include "record/progress.h"

#include <cmath>

namespace lumeth::record {
namespace {

constexpr int kBarWidth = 30;

// Whole seconds as "1h02m03s", "2m03s" or "3s".
void format_duration(double seconds, char* text, int size) {
    const long s = std::lround(seconds);
    if (s >= 3600) {
        std::snprintf(text, size, "%ldh%02ldm%02lds", s / 3600, s / 60 % 60, s % 60);
    } else if (s >= 60) {
        std::snprintf(text, size, "%ldm%02lds", s / 60, s % 60);
    } else {
        std::snprintf(text, size, "%lds", s);
    }
}

}  // namespace

Progress::Progress(std::FILE* stream, int total_frames, bool terminal)
    : stream_(stream), total_(total_frames), terminal_(terminal) {}

void Progress::update(int done, double elapsed) {
    const bool last = done >= total_;
    if (elapsed - last_ < (terminal_ ? kBarInterval : kPlainInterval) && !(terminal_ && last)) {
        return;
    }
    last_ = elapsed;
    const double rate = elapsed > 0.0 ? done / elapsed : 0.0;
    char left[32] = "?";
    if (rate > 0.0) {
        format_duration((total_ - done) / rate, left, sizeof left);
    }
    if (!terminal_) {
        std::fprintf(stream_, "lumeth-record: %d/%d frames, %.1f frames/s, %s left\n", done, total_,
                     rate, left);
        std::fflush(stream_);
        return;
    }
    const int filled = static_cast<int>(static_cast<long long>(kBarWidth) * done / total_);
    char bar[kBarWidth + 1];
    for (int i = 0; i < kBarWidth; ++i) {
        bar[i] = i < filled ? '#' : '-';
    }
    bar[kBarWidth] = '\0';
    // \r back to the line's start, \033[K clears what a longer earlier line left.
    std::fprintf(stream_, "\r[%s] %d/%d frames  %.1f frames/s  %s left\033[K", bar, done, total_,
                 rate, left);
    std::fflush(stream_);
    drawn_ = true;
}

void Progress::end() {
    if (drawn_) {
        std::fputc('\n', stream_);
        std::fflush(stream_);
        drawn_ = false;
    }
}

}  // namespace lumeth::record
