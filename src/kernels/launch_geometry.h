// How the CUDA kernels are launched: one thread per record, in blocks of kThreadsPerBlock.
#pragma once

#include <algorithm>
#include <cstdint>

namespace lumeth {

constexpr int kThreadsPerBlock = 256;

// Blocks of kThreadsPerBlock threads covering records 0..count-1: (count + 255) / 256, formed
// in 64 bits so that no count near INT_MAX overflows it. At least one block, so that a launch
// for no record is still a valid launch (whose threads then do nothing).
inline int launch_blocks(int count) {
    const std::int64_t blocks =
        (static_cast<std::int64_t>(count) + kThreadsPerBlock - 1) / kThreadsPerBlock;
    return static_cast<int>(std::max<std::int64_t>(blocks, 1));
}

}  // namespace lumeth
