// libFuzzer entry point for the snapshot reader, for runs longer than the suite's fuzz test
// (scripts/fuzz-snapshot.sh builds and runs it with clang). Every input must be refused or
// read without a crash, a leak or undefined behaviour; the sanitizers watch.
#include <cstddef>
#include <cstdint>
#include <string>

#include "record/snapshot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumeth::record::Snapshot snapshot;
    std::string error;
    lumeth::record::parse_snapshot(reinterpret_cast<const char*>(data), size, &snapshot, &error);
    return 0;
}
