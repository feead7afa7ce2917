#include "record/snapshot_limits.h"

#include <cstdint>
#include <cstring>

namespace lumeth::record {
namespace {

constexpr unsigned char kSignature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
// Superblock versions 2 and 3: signature, version, sizes of offsets and lengths, flags, then
// the base, extension, end-of-file and root addresses and a checksum.
constexpr std::size_t kSuperblockBytes = 48;
constexpr std::size_t kBaseAddressAt = 12;
constexpr std::size_t kEndAddressAt = 28;

std::uint64_t little_endian_u64(const unsigned char* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// Where HDF5 would also look for a signature: after a user block of 512, 1024, 2048, ...
bool signature_after_user_block(const unsigned char* bytes, std::size_t size) {
    for (std::size_t at = 512; at + sizeof kSignature <= size && at != 0; at *= 2) {
        if (std::memcmp(bytes + at, kSignature, sizeof kSignature) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool check_superblock(const unsigned char* bytes, std::size_t size, std::string* error) {
    if (size == 0) {
        *error = "not an HDF5 file: it is empty";
        return false;
    }
    if (size < sizeof kSignature || std::memcmp(bytes, kSignature, sizeof kSignature) != 0) {
        *error = signature_after_user_block(bytes, size)
                     ? "not a lumeth snapshot: a user block comes before its HDF5 superblock"
                     : "not an HDF5 file";
        return false;
    }
    if (size < kSuperblockBytes) {
        *error = "truncated: " + std::to_string(size) + " bytes, less than an HDF5 superblock";
        return false;
    }
    const unsigned version = bytes[8];
    if (version < 2 || version > 3) {
        *error = "not a lumeth snapshot: its HDF5 format (superblock version " +
                 std::to_string(version) + ") has no checksums on its metadata";
        return false;
    }
    if (bytes[9] != 8 || bytes[10] != 8 || little_endian_u64(bytes + kBaseAddressAt) != 0) {
        *error = "not a lumeth snapshot: its HDF5 superblock is not laid out as lumeth writes it";
        return false;
    }
    const std::uint64_t end = little_endian_u64(bytes + kEndAddressAt);
    if (end > size) {
        *error = "truncated: " + std::to_string(size) + " bytes of the " + std::to_string(end) +
                 " that its HDF5 superblock announces";
        return false;
    }
    if (end < size) {
        *error = "inconsistent: " + std::to_string(size) + " bytes, of which its HDF5 superblock " +
                 "announces " + std::to_string(end);
        return false;
    }
    return true;
}

}  // namespace lumeth::record
