// The snapshot reader against damaged files: a deterministic mutation harness (bit flips,
// byte runs, special values, truncations, insertions, deletions, most of them in the metadata
// at the file's start) over a small snapshot, run in-process. Every damaged file is refused
// with a reason (one whose bytes came out unchanged may be accepted), without a crash or a
// hang (the sanitizers and the test's time-out watch those), and the reader's largest block
// stays within the file's size and a fixed amount.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "record/snapshot.h"
#include "sim/constants.h"
#include "snapshot_test_support.h"

namespace {

constexpr int kCases = 5000;
constexpr std::size_t kFixedAllocation = 1 << 20;
// The metadata (superblock, object headers, chunk indexes) lies before the first chunk of
// values in a small snapshot; most mutations go there.
constexpr std::size_t kMetadataBytes = 4096;

// Every population and the black hole, after two steps.
std::string small_snapshot() {
    const double step = 100.0 * lumeth::kSecondsPerMegayear;
    return snapshot_bytes(10, 5, 2, step + step);
}

// One damaged copy of `bytes`: a mutation of a kind and place drawn from `random`.
std::string mutate(const std::string& bytes, std::mt19937_64& random, std::string* what) {
    std::string out = bytes;
    auto below = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    const std::size_t span = below(4) != 0 ? std::min(kMetadataBytes, out.size()) : out.size();
    const std::size_t at = below(span);
    switch (below(6)) {
        case 0: {
            out[at] = static_cast<char>(out[at] ^ (1 << below(8)));
            *what = "bit flip at " + std::to_string(at);
            break;
        }
        case 1: {
            const std::size_t n = std::min<std::size_t>(1 + below(16), out.size() - at);
            for (std::size_t i = 0; i < n; ++i) {
                out[at + i] = static_cast<char>(random());
            }
            *what = std::to_string(n) + " random bytes at " + std::to_string(at);
            break;
        }
        case 2: {
            // Values that size and count fields break on: 0, all ones, a large count.
            static const std::uint64_t kValues[] = {
                0, ~0ull, 0x7fffffffffffffffull, 0x00000000ffffffffull, 10000000, 1ull << 40};
            const std::uint64_t value = kValues[below(6)];
            const std::size_t width = std::size_t{1} << below(4);  // 1, 2, 4 or 8 bytes
            for (std::size_t i = 0; i < width && at + i < out.size(); ++i) {
                out[at + i] = static_cast<char>(value >> (8 * i));
            }
            *what = "value " + std::to_string(value) + " in " + std::to_string(width) +
                    " bytes at " + std::to_string(at);
            break;
        }
        case 3: {
            out.resize(at);
            *what = "truncated to " + std::to_string(at);
            break;
        }
        case 4: {
            const std::size_t n = 1 + below(64);
            std::string inserted(n, '\0');
            for (char& c : inserted) {
                c = static_cast<char>(random());
            }
            out.insert(at, inserted);
            *what = std::to_string(n) + " bytes inserted at " + std::to_string(at);
            break;
        }
        default: {
            const std::size_t n = std::min<std::size_t>(1 + below(64), out.size() - at);
            out.erase(at, n);
            *what = std::to_string(n) + " bytes deleted at " + std::to_string(at);
            break;
        }
    }
    return out;
}

TEST(SnapshotFuzz, EveryDamagedFileIsRefusedAtACostWithinItsSize) {
    const std::string good = small_snapshot();
    ASSERT_GT(good.size(), kMetadataBytes);
    lumeth::record::Snapshot back;
    std::string error;
    ASSERT_TRUE(lumeth::record::parse_snapshot(good.data(), good.size(), &back, &error)) << error;

    std::mt19937_64 random(29);
    const auto start = std::chrono::steady_clock::now();
    int unchanged = 0;
    std::size_t largest = 0;
    for (int i = 0; i < kCases; ++i) {
        std::string what;
        const std::string damaged = mutate(good, random, &what);
        SCOPED_TRACE("case " + std::to_string(i) + ": " + what);
        allocations::largest = 0;
        allocations::counting = true;
        const bool read =
            lumeth::record::parse_snapshot(damaged.data(), damaged.size(), &back, &error);
        allocations::counting = false;
        if (damaged == good) {
            ++unchanged;
        } else {
            EXPECT_FALSE(read);
            EXPECT_FALSE(error.empty());
        }
        largest = std::max(largest, allocations::largest.load());
        EXPECT_LE(allocations::largest.load(), damaged.size() + kFixedAllocation);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "snapshot fuzz: %d cases (%d left the bytes unchanged) on a %zu-byte snapshot "
        "in %.1f s; the reader's largest block %zu bytes\n",
        kCases, unchanged, good.size(), seconds, largest);
}

}  // namespace
