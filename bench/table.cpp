#include "table.h"

#include <algorithm>
#include <cstdio>

namespace lumeth::bench {
namespace {

const std::vector<std::string> kHeader = {"phase",    "backend", "count", "runs",  "median ms",
                                          "Mpairs/s", "threads", "simd",  "result"};
constexpr bool kRight[] = {false, false, true, true, true, true, true, true, false};

std::string number(int value) {
    return value > 0 ? std::to_string(value) : "-";
}

}  // namespace

std::string format(const char* pattern, double value) {
    if (std::isnan(value)) {
        return "-";
    }
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

void TablePrinter::print_group(const std::vector<Row>& rows) {
    if (width_.empty()) {
        width_.assign(kHeader.size(), 0);
    }
    std::vector<std::vector<std::string>> cells;
    for (const Row& r : rows) {
        cells.push_back({r.phase, r.backend, number(r.count), number(r.runs), format("%.3f", r.ms),
                         format("%.1f", r.mpairs), number(r.threads), number(r.simd),
                         r.result.empty() ? "-" : r.result});
    }
    for (std::size_t c = 0; c < kHeader.size(); ++c) {
        width_[c] = std::max(width_[c], kHeader[c].size());
        for (const auto& line : cells) {
            width_[c] = std::max(width_[c], line[c].size());
        }
    }
    // The rule spans the aligned columns; the free-text result column runs on past it.
    std::size_t total = 2 * (kHeader.size() - 1) + kHeader.back().size();
    for (std::size_t c = 0; c + 1 < width_.size(); ++c) {
        total += width_[c];
    }
    const std::string rule(total, '-');
    if (!header_printed_) {
        print_line(kHeader);
        header_printed_ = true;
    }
    std::printf("%s\n", rule.c_str());
    for (const auto& line : cells) {
        print_line(line);
    }
    std::fflush(stdout);
}

void TablePrinter::print_line(const std::vector<std::string>& line) const {
    std::string text;
    for (std::size_t c = 0; c < line.size(); ++c) {
        const std::string pad(width_[c] - line[c].size(), ' ');
        if (c + 1 == line.size() && !kRight[c]) {
            text += line[c];  // no trailing blanks
        } else {
            text += kRight[c] ? pad + line[c] : line[c] + pad;
        }
        if (c + 1 < line.size()) {
            text += "  ";
        }
    }
    std::printf("%s\n", text.c_str());
}

}  // namespace lumeth::bench
