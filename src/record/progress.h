// lumeth-record's progress on standard error: a bar redrawn in place on a terminal, a plain
// line every few seconds anywhere else (a log file, a CI runner).
#pragma once

#include <cstdio>

namespace lumeth::record {

class Progress {
  public:
    // `terminal`: redraw one line in place; otherwise print a line every kPlainInterval s.
    Progress(std::FILE* stream, int total_frames, bool terminal);

    // `done` frames recorded `elapsed` seconds after the first frame began.
    void update(int done, double elapsed);

    // Ends the bar's line, so that later output starts on a fresh one.
    void end();

    static constexpr double kPlainInterval = 5.0;
    // A terminal line is redrawn at most this often (s), and at the last frame.
    static constexpr double kBarInterval = 0.1;

  private:
    std::FILE* stream_;
    int total_;
    bool terminal_;
    bool drawn_ = false;
    double last_ = -1e300;
};

}  // namespace lumeth::record
