// Reading the command lines of the tools (lumeth-bench, lumeth-record): options are written
// "--name value" or "--name=value", and each may be given once.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace lumeth {

// The option at argv[*index]: its name, and its value when asked for.
class OptionReader {
  public:
    OptionReader(int argc, char** argv, int* index)
        : argc_(argc), argv_(argv), index_(index), name_(name_of(argv[*index])) {
        if (name_ != argv[*index]) {
            inline_value_ = argv[*index] + name_.size() + 1;
        }
    }

    // "--count" for both "--count 5" and "--count=5".
    const std::string& name() const { return name_; }

    // Each option may be given once: true, after "<program>: <name> given twice" on standard
    // error, when an earlier argument was this option, however either was written. Every
    // earlier argument that starts with "--" was read as an option, since take_value never
    // takes one as a value.
    bool refuse_repeat(const char* program) const {
        for (int i = 1; i < *index_; ++i) {
            if (std::strncmp(argv_[i], "--", 2) == 0 && name_of(argv_[i]) == name_) {
                std::fprintf(stderr, "%s: %s given twice\n", program, name_.c_str());
                return true;
            }
        }
        return false;
    }

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
    // The option's name: an argument starting with "--" up to its '=', else all of it.
    static std::string name_of(const char* argument) {
        std::string name = argument;
        const std::size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            name.resize(equals);
        }
        return name;
    }

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
