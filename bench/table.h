// lumeth-bench's table: one row per measured phase and backend, printed a group (one count's
// rows) at a time, in aligned columns with a free-text result at the end.
#pragma once

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

namespace lumeth::bench {

// One line of the table. Empty text and NaN or zero numbers print as "-".
struct Row {
    std::string phase;
    std::string backend;
    int count = 0;
    int runs = 0;
    double ms = NAN;
    double mpairs = NAN;  // million sampled pair evaluations per second
    int threads = 0;
    int simd = 0;
    std::string result;
};

// `value` printed with a printf pattern; "-" for NaN.
std::string format(const char* pattern, double value);

// Prints the table a group of rows at a time, as each is measured: the header and a rule with
// the first group, a rule before each later one. Each column is as wide as its header and the
// widest cell so far; the first group holds every kind of row at the largest count, so later
// groups normally keep its widths.
class TablePrinter {
  public:
    void print_group(const std::vector<Row>& rows);

  private:
    void print_line(const std::vector<std::string>& line) const;

    std::vector<std::size_t> width_;
    bool header_printed_ = false;
};

}  // namespace lumeth::bench
