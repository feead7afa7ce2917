// The snapshot's layout, written once for both sides: what the writer (snapshot_write.cpp)
// puts where and the reader (snapshot_read.cpp) checks. Internal to the recorder.
#pragma once

#include <hdf5.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "record/snapshot.h"
#include "sim/constants.h"
#include "sim/particle.h"

namespace lumeth::record::snapshot_layout {

static_assert(sizeof(Particle) == 10 * sizeof(double), "a record is one row of ten doubles");

// Layout 2 added Backend and MathLibrary; a file of layout 1 reads with them empty.
constexpr int kLayoutVersion = 2;
constexpr int kEarliestLayoutVersion = 1;
constexpr std::size_t kMaxTextBytes = 64;
constexpr const char* kOwnGroup = "Lumeth";
constexpr int kTypes = 6;  // GADGET's particle types 0..5
constexpr int kBlackHoleType = 5;

// SI per internal unit, for the values of the GADGET datasets.
constexpr double kLengthUnit = kKiloparsec;                                        // m
constexpr double kVelocityUnit = kUnitVelocityInCmPerS / 100.0;                    // m/s
constexpr double kMassUnit = kUnitMassInG / 1000.0;                                // kg
constexpr double kAccelerationUnit = kVelocityUnit * kVelocityUnit / kLengthUnit;  // m/s^2

// A population's records in the array and its GADGET type.
struct Population {
    int type;
    int first;
    int count;
};

// The populations in the array's order: bulge, disk, halo (PartType3, 2, 1).
std::array<Population, 3> populations(int count);

// Records per type, the black hole included.
std::array<long long, kTypes> type_counts(int count);

// "PartType<type>".
std::string type_group(int type);

// Closes an HDF5 identifier when it goes out of scope.
class Id {
  public:
    Id(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    Id(const Id&) = delete;
    Id& operator=(const Id&) = delete;
    ~Id() {
        if (id_ >= 0) {
            close_(id_);
        }
    }
    operator hid_t() const { return id_; }
    bool ok() const { return id_ >= 0; }

  private:
    hid_t id_;
    herr_t (*close_)(hid_t);
};

// Turns HDF5's printing of its errors off, once.
void quiet_hdf5();

// The descriptions on HDF5's error stack, the innermost (where it was detected) first;
// the stack is cleared.
std::vector<std::string> hdf5_errors();

// The GADGET datasets of a type and how each value comes from a record.
enum class Field { coordinates, velocities, acceleration, masses, ids };

struct FieldLayout {
    Field field;
    const char* name;
    hid_t file_type;
    hsize_t columns;  // 0: one dimension
    std::size_t value_size;
};

inline const FieldLayout kFields[] = {
    {Field::coordinates, "Coordinates", H5T_IEEE_F64LE, 3, sizeof(double)},
    {Field::velocities, "Velocities", H5T_IEEE_F64LE, 3, sizeof(double)},
    {Field::acceleration, "Acceleration", H5T_IEEE_F64LE, 3, sizeof(double)},
    {Field::masses, "Masses", H5T_IEEE_F64LE, 0, sizeof(double)},
    {Field::ids, "ParticleIDs", H5T_STD_U32LE, 0, sizeof(std::uint32_t)},
};

// A type's records: `count` of them from `records`, the first with ID `first_id`.
struct TypeRecords {
    const Particle* records;
    std::size_t count;
    std::size_t first_id;
};

// The black hole as a record: at rest at the origin, with its mass.
inline const Particle kBlackHoleRecord = {
    {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, kBlackHoleSolarMasses* kSolarMass};

// Values of records [from, from + n) of a type in the internal units: each is the SI value
// divided by its unit (the ids: first_id + index).
void convert(Field field, const TypeRecords& type, std::size_t from, std::size_t n, void* out);

// Rows per chunk: about 512 KiB of values.
hsize_t chunk_rows(hsize_t rows, hsize_t columns);

// A chunk as the Fletcher32 filter stores it: its values, then their checksum as a
// little-endian uint32. A chunk is always stored whole, so the last one of a dataset whose
// rows it does not fill ends in zeros, as HDF5 fills the rows past the end.
constexpr std::size_t kChecksumBytes = 4;

// Stores, and checks, the checksum of a chunk's `value_bytes` bytes after them.
void put_checksum(unsigned char* chunk, std::size_t value_bytes);
bool has_checksum(const unsigned char* chunk, std::size_t value_bytes);

// Whether `name` is one of the layout's groups or datasets (which types a particle count
// has is checked where the types are read).
bool layout_has(const std::string& name);

}  // namespace lumeth::record::snapshot_layout
