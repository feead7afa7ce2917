// The largest block asked of operator new while `counting` is set: what code under test
// allocates for itself, counted by the test (under the address sanitizer the process's own
// memory figures mean nothing). HDF5's blocks come from malloc and are not counted.
#pragma once

#include <atomic>
#include <cstddef>

namespace allocations {
extern std::atomic<bool> counting;
extern std::atomic<std::size_t> largest;
}  // namespace allocations
