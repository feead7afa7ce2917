// The Fletcher32 checksum that HDF5's Fletcher32 filter stores after every chunk, computed
// several times as fast as HDF5's own loop, so that a snapshot's chunks can be written and
// checked without passing through the filter.
#pragma once

#include <cstddef>
#include <cstdint>

// A function whose loops the compiler vectorizes, built twice with GCC on x86-64: for AVX2
// (x86-64-v3) and for any x86-64, the processor's own picked when the program loads. Both
// give the same results: integer sums, and IEEE operations that round each value alike.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define LUMETH_ALSO_FOR_AVX2 __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define LUMETH_ALSO_FOR_AVX2
#endif

namespace lumeth::record {

// The checksum of `size` bytes, bit for bit HDF5's H5_checksum_fletcher32: the bytes taken
// as big-endian 16-bit words (an odd last byte as the high byte of a word), sum1 the sum of
// the words and sum2 the sum of the running sum1, both modulo 65535, returned as
// sum2 << 16 | sum1. The filter stores it after the chunk as a little-endian uint32.
std::uint32_t fletcher32(const void* data, std::size_t size);

}  // namespace lumeth::record
