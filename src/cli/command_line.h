// Reading the command lines of the tools (lumeth-bench, lumeth-record): options are written
// "--name value" or "--name=value".
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace lumeth {

// The option at argv[*index]: its name, and its value when asked for.
class OptionReader {
  public:
    OptionReader(int argc, char** argv, int* index) : argc_(argc), argv_(argv), index_(index) {
        name_ = argv[*index];
        const std::size_t equals = name_.find('=');
        if (name_.rfind("--", 0) == 0 && equals != std::string::npos) {
            inline_value_ = argv[*index] + equals + 1;
            name_.resize(equals);
        }
    }

    // "--count" for both "--count 5" and "--count=5".
    const std::string& name() const { return name_; }

    // Whether a value was written with '=' (a flag given one is unknown).
    bool has_inline_value() const { return inline_value_ != nullptr; }

    // The text after '=', or else the next argument unless that is an option itself (then
    // nullptr, as at the end of the line). A next argument taken is consumed.
    const char* take_value() {
        if (inline_value_ != nullptr) {
            return inline_value_;
        }
        if (*index_ + 1 < argc_ && std::strncmp(argv_[*index_ + 1], "--", 2) != 0) {
            return argv_[++*index_];
        }
        return nullptr;
    }

  private:
    int argc_;
    char** argv_;
    int* index_;
    std::string name_;
    const char* inline_value_ = nullptr;
};

// A whole decimal number from low to high, nothing else in the text.
inline bool parse_whole_number(const char* text, long long low, long long high, long long* value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) {
        return false;
    }
    *value = v;
    return true;
}

}  // namespace lumeth
