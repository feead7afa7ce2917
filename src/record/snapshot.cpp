#include "record/snapshot.h"

#include <hdf5.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "record/file_commit.h"
#include "record/fletcher32.h"
#include "record/options.h"
#include "record/snapshot_limits.h"
#include "sim/constants.h"
#include "sim/initial_conditions.h"

namespace lumeth::record {
namespace {

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

std::array<Population, 3> populations(int count) {
    const PopulationCounts n = population_counts(count);
    // Bulge, disk, halo: PartType3, 2, 1.
    return {{{3, 0, n.bulge}, {2, n.bulge, n.disk}, {1, n.bulge + n.disk, n.halo}}};
}

// Records per type, the black hole included.
std::array<long long, kTypes> type_counts(int count) {
    std::array<long long, kTypes> counts{};
    for (const Population& p : populations(count)) {
        counts[p.type] = std::max(p.count, 0);
    }
    counts[kBlackHoleType] = 1;
    return counts;
}

std::string type_group(int type) {
    return "PartType" + std::to_string(type);
}

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

void quiet_hdf5() {
    static const bool silenced = [] {
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
        return true;
    }();
    (void)silenced;
}

// The descriptions on HDF5's error stack, the innermost (where it was detected) first;
// the stack is cleared.
std::vector<std::string> hdf5_errors() {
    std::vector<std::string> texts;
    H5Ewalk2(
        H5E_DEFAULT, H5E_WALK_UPWARD,
        [](unsigned, const H5E_error2_t* e, void* data) -> herr_t {
            static_cast<std::vector<std::string>*>(data)->push_back(e->desc ? e->desc : "");
            return 0;
        },
        &texts);
    H5Eclear2(H5E_DEFAULT);
    return texts;
}

// --- Writing ---------------------------------------------------------------------------------

// Creation properties shared by groups and datasets: no time stamps (the same state gives
// the same bytes), and attributes kept in the object header, which carries a checksum.
void set_object_properties(hid_t plist) {
    H5Pset_obj_track_times(plist, 0);
    H5Pset_attr_phase_change(plist, 64, 48);
}

bool put_attribute(hid_t location, const char* name, hid_t type, const void* data,
                   hsize_t length = 0) {
    Id space(length == 0 ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &length, nullptr), H5Sclose);
    Id attribute(H5Acreate2(location, name, type, space, H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    return space.ok() && attribute.ok() && H5Awrite(attribute, type, data) >= 0;
}

bool put_double(hid_t location, const char* name, double value) {
    return put_attribute(location, name, H5T_NATIVE_DOUBLE, &value);
}

bool put_int(hid_t location, const char* name, int value) {
    return put_attribute(location, name, H5T_NATIVE_INT, &value);
}

// A text as a fixed-length, NUL-padded string (one byte at least).
bool put_text(hid_t location, const char* name, const std::string& text) {
    Id type(H5Tcopy(H5T_C_S1), H5Tclose);
    std::string padded = text.substr(0, kMaxTextBytes);
    padded.resize(std::max<std::size_t>(padded.size(), 1), '\0');
    return type.ok() && H5Tset_size(type, padded.size()) >= 0 &&
           H5Tset_strpad(type, H5T_STR_NULLPAD) >= 0 &&
           put_attribute(location, name, type, padded.data());
}

// The GADGET datasets of a type and how each value comes from a record.
enum class Field { coordinates, velocities, acceleration, masses, ids };

struct FieldLayout {
    Field field;
    const char* name;
    hid_t file_type;
    hsize_t columns;  // 0: one dimension
    std::size_t value_size;
};

const FieldLayout kFields[] = {
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
const Particle kBlackHoleRecord = {
    {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, kBlackHoleSolarMasses* kSolarMass};

// values[i] / unit for each of n values, in place. A loop of its own over contiguous
// values, so that the compiler divides several at once: each quotient is still the one
// correctly rounded IEEE division, the same bits as one at a time.
LUMETH_ALSO_FOR_AVX2 void divide(double* values, std::size_t n, double unit) {
    for (std::size_t i = 0; i < n; ++i) {
        values[i] /= unit;
    }
}

// The values of a record's vector (position, velocity or acceleration), record after
// record, each divided by `unit`.
void divide_vector(const Particle* records, std::size_t n, const double (Particle::*vector)[3],
                   double unit, double* out) {
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < 3; ++k) {
            out[3 * i + k] = (records[i].*vector)[k];
        }
    }
    divide(out, 3 * n, unit);
}

// Values of records [from, from + n) of a type in the internal units: each is the SI value
// divided by its unit. One loop per field, so that the divisions are done side by side.
void convert(Field field, const TypeRecords& type, std::size_t from, std::size_t n, void* out) {
    const Particle* records = type.records + from;
    double* values = static_cast<double*>(out);
    switch (field) {
        case Field::coordinates:
            return divide_vector(records, n, &Particle::position, kLengthUnit, values);
        case Field::velocities:
            return divide_vector(records, n, &Particle::velocity, kVelocityUnit, values);
        case Field::acceleration:
            return divide_vector(records, n, &Particle::acceleration, kAccelerationUnit, values);
        case Field::masses:
            for (std::size_t i = 0; i < n; ++i) {
                values[i] = records[i].mass;
            }
            return divide(values, n, kMassUnit);
        case Field::ids:
            for (std::size_t i = 0; i < n; ++i) {
                static_cast<std::uint32_t*>(out)[i] =
                    static_cast<std::uint32_t>(type.first_id + from + i);
            }
            return;
    }
}

// Rows per chunk: about 512 KiB of doubles.
hsize_t chunk_rows(hsize_t rows, hsize_t columns) {
    return std::min<hsize_t>(rows, std::max<hsize_t>(1, 65536 / std::max<hsize_t>(columns, 1)));
}

// A chunk as the Fletcher32 filter stores it: its values, then their checksum as a
// little-endian uint32. A chunk is always stored whole, so the last one of a dataset whose
// rows it does not fill ends in zeros, as HDF5 fills the rows past the end.
constexpr std::size_t kChecksumBytes = 4;

void put_checksum(unsigned char* chunk, std::size_t value_bytes) {
    const std::uint32_t sum = fletcher32(chunk, value_bytes);
    for (std::size_t i = 0; i < kChecksumBytes; ++i) {
        chunk[value_bytes + i] = static_cast<unsigned char>(sum >> (8 * i));
    }
}

bool has_checksum(const unsigned char* chunk, std::size_t value_bytes) {
    std::uint32_t stored = 0;
    for (std::size_t i = 0; i < kChecksumBytes; ++i) {
        stored |= static_cast<std::uint32_t>(chunk[value_bytes + i]) << (8 * i);
    }
    return stored == fletcher32(chunk, value_bytes);
}

// The values are written as the file's types, little-endian IEEE doubles and uint32, as
// they are in memory.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the chunks hold the bytes in memory");

// A rows x columns dataset (columns 0: one dimension), chunked, with a Fletcher32 checksum.
// Each chunk is built in one block that stays in the cache, fill(first, n, out) giving rows
// [first, first + n), and handed to HDF5 as the filter would have made it: the same bytes
// in the file, without the filter's own copies and its slower checksum.
bool put_dataset(hid_t location, const char* name, hid_t file_type, std::size_t value_size,
                 hsize_t rows, hsize_t columns,
                 const std::function<void(hsize_t, hsize_t, void*)>& fill) {
    const int rank = columns == 0 ? 1 : 2;
    const hsize_t dims[2] = {rows, columns};
    const hsize_t chunk[2] = {chunk_rows(rows, columns), columns};
    Id space(H5Screate_simple(rank, dims, nullptr), H5Sclose);
    Id dcpl(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    set_object_properties(dcpl);
    H5Pset_chunk(dcpl, rank, chunk);
    H5Pset_fletcher32(dcpl);
    Id dataset(H5Dcreate2(location, name, file_type, space, H5P_DEFAULT, dcpl, H5P_DEFAULT),
               H5Dclose);
    if (!dataset.ok()) {
        return false;
    }
    const std::size_t row_bytes = std::max<hsize_t>(columns, 1) * value_size;
    const std::size_t value_bytes = chunk[0] * row_bytes;
    std::vector<unsigned char> block(value_bytes + kChecksumBytes);
    for (hsize_t first = 0; first < rows; first += chunk[0]) {
        const hsize_t n = std::min(chunk[0], rows - first);
        fill(first, n, block.data());
        std::memset(block.data() + n * row_bytes, 0, value_bytes - n * row_bytes);
        put_checksum(block.data(), value_bytes);
        const hsize_t start[2] = {first, 0};
        if (H5Dwrite_chunk(dataset, H5P_DEFAULT, 0, start, block.size(), block.data()) < 0) {
            return false;
        }
    }
    return true;
}

bool put_type(hid_t file, hid_t gcpl, int type, const TypeRecords& records) {
    Id group(H5Gcreate2(file, type_group(type).c_str(), H5P_DEFAULT, gcpl, H5P_DEFAULT), H5Gclose);
    bool ok = group.ok();
    for (const FieldLayout& f : kFields) {
        ok = ok && put_dataset(group, f.name, f.file_type, f.value_size, records.count, f.columns,
                               [&](hsize_t first, hsize_t n, void* out) {
                                   convert(f.field, records, first, n, out);
                               });
    }
    return ok;
}

// The unit attributes, in the Units group and again in Parameters.
bool put_units(hid_t group) {
    return put_double(group, "UnitLength_in_cm", kUnitLengthInCm) &&
           put_double(group, "UnitMass_in_g", kUnitMassInG) &&
           put_double(group, "UnitVelocity_in_cm_per_s", kUnitVelocityInCmPerS) &&
           put_double(group, "UnitTime_in_s", kUnitTimeInS);
}

// A non-cosmological run: no expansion, no box.
bool put_cosmology(hid_t group) {
    return put_double(group, "Omega0", 0.0) && put_double(group, "OmegaLambda", 0.0) &&
           put_double(group, "HubbleParam", 1.0) && put_double(group, "BoxSize", 0.0);
}

bool put_header(hid_t group, const SnapshotInfo& info) {
    const std::array<long long, kTypes> counts = type_counts(info.particle_count);
    int this_file[kTypes];
    unsigned total[kTypes];
    unsigned high_word[kTypes] = {};
    double mass_table[kTypes] = {};
    for (int t = 0; t < kTypes; ++t) {
        this_file[t] = static_cast<int>(counts[t]);
        total[t] = static_cast<unsigned>(counts[t]);
    }
    bool ok = put_attribute(group, "NumPart_ThisFile", H5T_NATIVE_INT, this_file, kTypes) &&
              put_attribute(group, "NumPart_Total", H5T_NATIVE_UINT, total, kTypes) &&
              put_attribute(group, "NumPart_Total_HighWord", H5T_NATIVE_UINT, high_word, kTypes) &&
              put_attribute(group, "MassTable", H5T_NATIVE_DOUBLE, mass_table, kTypes) &&
              put_double(group, "Time", info.sim_time / kUnitTimeInS) &&
              put_double(group, "Redshift", 0.0) && put_int(group, "NumFilesPerSnapshot", 1) &&
              put_cosmology(group);
    for (const char* flag :
         {"Flag_Sfr", "Flag_Cooling", "Flag_StellarAge", "Flag_Metals", "Flag_Feedback"}) {
        ok = ok && put_int(group, flag, 0);
    }
    return ok && put_int(group, "Flag_DoublePrecision", 1);
}

bool put_own_group(hid_t file, hid_t gcpl, const SnapshotInfo& info, const Particle* particles) {
    Id group(H5Gcreate2(file, kOwnGroup, H5P_DEFAULT, gcpl, H5P_DEFAULT), H5Gclose);
    const long long steps = info.step_count;
    return group.ok() && put_int(group, "LayoutVersion", kLayoutVersion) &&
           put_int(group, "ParticleCount", info.particle_count) &&
           put_attribute(group, "StepCount", H5T_NATIVE_LLONG, &steps) &&
           put_double(group, "Time_s", info.sim_time) &&
           put_double(group, "StepLength_s", info.step_seconds) &&
           put_double(group, "StepLength_Myr", info.step_myr) &&
           put_attribute(group, "Seed", H5T_NATIVE_UINT32, &info.seed) &&
           put_text(group, "Backend", info.backend) &&
           put_text(group, "MathLibrary", info.math_library) &&
           put_dataset(group, "Particles", H5T_IEEE_F64LE, sizeof(Particle) / 10,
                       static_cast<hsize_t>(info.particle_count), 10,
                       [&](hsize_t first, hsize_t n, void* out) {
                           std::memcpy(out, particles + first, n * sizeof(Particle));
                       });
}

// The core driver's memory, allocated through these callbacks so that the image is ours
// when HDF5 closes the file instead of freed. An earlier image's block, when large enough,
// is used again: a new one of as many megabytes would be touched page by page again, each
// first touch a page fault.
struct ClosedImage {
    void* memory = nullptr;
    std::size_t size = 0;   // bytes in the block
    void* spare = nullptr;  // the earlier block, until it is used
    std::size_t spare_size = 0;
};

// `memory` grown or shrunk to `size` bytes, or a first block: the spare one if it is large
// enough.
void* image_block(ClosedImage* image, void* memory, std::size_t size) {
    if (memory == nullptr && image->spare != nullptr && image->spare_size >= size) {
        std::swap(memory, image->spare);
        image->size = image->spare_size;
        return memory;
    }
    image->size = size;
    return std::realloc(memory, size);
}

H5FD_file_image_callbacks_t image_callbacks(ClosedImage* closed) {
    H5FD_file_image_callbacks_t c{};
    c.image_malloc = [](std::size_t size, H5FD_file_image_op_t, void* data) -> void* {
        return image_block(static_cast<ClosedImage*>(data), nullptr, size);
    };
    c.image_memcpy = [](void* to, const void* from, std::size_t size, H5FD_file_image_op_t,
                        void*) -> void* { return std::memcpy(to, from, size); };
    c.image_realloc = [](void* memory, std::size_t size, H5FD_file_image_op_t,
                         void* data) -> void* {
        return image_block(static_cast<ClosedImage*>(data), memory, size);
    };
    c.image_free = [](void* memory, H5FD_file_image_op_t op, void* data) -> herr_t {
        if (op == H5FD_FILE_IMAGE_OP_FILE_CLOSE) {
            static_cast<ClosedImage*>(data)->memory = memory;
        } else {
            std::free(memory);
        }
        return 0;
    };
    c.udata_copy = [](void* data) -> void* { return data; };
    c.udata_free = [](void*) -> herr_t { return 0; };
    c.udata = closed;
    return c;
}

// Opens bytes in memory read-only, where they are: the core driver's memory callbacks hand
// it the caller's block instead of a copy, and never free it.
hid_t open_image(const char* bytes, std::size_t size) {
    H5FD_file_image_callbacks_t c{};
    c.image_malloc = [](std::size_t, H5FD_file_image_op_t, void* data) -> void* { return data; };
    c.image_memcpy = [](void* to, const void* from, std::size_t size, H5FD_file_image_op_t,
                        void*) -> void* { return to == from ? to : std::memcpy(to, from, size); };
    c.image_realloc = [](void*, std::size_t, H5FD_file_image_op_t, void*) -> void* {
        return nullptr;
    };
    c.image_free = [](void*, H5FD_file_image_op_t, void*) -> herr_t { return 0; };
    c.udata_copy = [](void* data) -> void* { return data; };
    c.udata_free = [](void*) -> herr_t { return 0; };
    c.udata = const_cast<char*>(bytes);
    Id fapl(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    // Closing the file closes whatever a failed read left open.
    H5Pset_fclose_degree(fapl, H5F_CLOSE_STRONG);
    if (H5Pset_fapl_core(fapl, 65536, 0) < 0 || H5Pset_file_image_callbacks(fapl, &c) < 0 ||
        H5Pset_file_image(fapl, const_cast<char*>(bytes), size) < 0) {
        return -1;
    }
    return H5Fopen("snapshot-in-memory", H5F_ACC_RDONLY, fapl);
}

// --- Reading ---------------------------------------------------------------------------------

// One reading of a snapshot: the first problem found ends it.
class Reader {
  public:
    explicit Reader(std::string* error) : error_(error) {}

    // The bytes of the file opened, where the chunks are read in place: HDF5's address 0 is
    // at bytes + base (after a user block, if there is one).
    void set_file(const char* bytes, std::size_t size, std::size_t base) {
        file_ = reinterpret_cast<const unsigned char*>(bytes) + base;
        file_size_ = size - base;
    }
    std::size_t file_size() const { return file_size_; }

    // A problem of HDF5's: a failed checksum is corruption, anything else is said as is.
    bool hdf5_failed(const std::string& what) {
        const std::vector<std::string> texts = hdf5_errors();
        for (const std::string& t : texts) {
            if (t.find("checksum") != std::string::npos) {
                return fail("corrupted: " + what + " fails its checksum");
            }
        }
        return fail(what + " cannot be read: " + (texts.empty() ? "HDF5 failed" : texts.front()));
    }

    bool fail(const std::string& problem) {
        if (error_->empty()) {
            *error_ = problem;
        }
        return false;
    }

    // Opens a group that the layout needs.
    hid_t group(hid_t file, const std::string& name) {
        const htri_t exists = H5Lexists(file, name.c_str(), H5P_DEFAULT);
        if (exists < 0) {
            hdf5_failed("the file's group list");
            return -1;
        }
        if (exists == 0) {
            fail("not a lumeth snapshot: it has no group '" + name + "'");
            return -1;
        }
        const hid_t id = H5Gopen2(file, name.c_str(), H5P_DEFAULT);
        if (id < 0) {
            hdf5_failed("group '" + name + "'");
        }
        return id;
    }

    // An attribute of `length` values (0: a single value), converted to `type`.
    bool attribute(hid_t location, const std::string& where, const char* name, hid_t type,
                   void* data, hsize_t length = 0) {
        const std::string what = "attribute '" + where + "/" + name + "'";
        const htri_t exists = H5Aexists(location, name);
        if (exists <= 0) {
            return exists < 0 ? hdf5_failed(what) : fail("not a lumeth snapshot: no " + what);
        }
        Id attribute(H5Aopen(location, name, H5P_DEFAULT), H5Aclose);
        Id space(attribute.ok() ? H5Aget_space(attribute) : -1, H5Sclose);
        if (!space.ok()) {
            return hdf5_failed(what);
        }
        const hssize_t points = H5Sget_simple_extent_npoints(space);
        if (points != static_cast<hssize_t>(std::max<hsize_t>(length, 1))) {
            return fail("not a lumeth snapshot: " + what + " holds " + std::to_string(points) +
                        " values, not " + std::to_string(std::max<hsize_t>(length, 1)));
        }
        return H5Aread(attribute, type, data) >= 0 || hdf5_failed(what);
    }

    // A scalar text attribute of at most kMaxTextBytes bytes, as put_text stores it.
    bool text(hid_t location, const std::string& where, const char* name, std::string* out) {
        const std::string what = "attribute '" + where + "/" + name + "'";
        const htri_t exists = H5Aexists(location, name);
        if (exists <= 0) {
            return exists < 0 ? hdf5_failed(what) : fail("not a lumeth snapshot: no " + what);
        }
        Id attribute(H5Aopen(location, name, H5P_DEFAULT), H5Aclose);
        Id type(attribute.ok() ? H5Aget_type(attribute) : -1, H5Tclose);
        Id space(attribute.ok() ? H5Aget_space(attribute) : -1, H5Sclose);
        if (!type.ok() || !space.ok()) {
            return hdf5_failed(what);
        }
        const std::size_t size = H5Tget_size(type);
        if (H5Tget_class(type) != H5T_STRING || H5Tis_variable_str(type) != 0 || size == 0 ||
            size > kMaxTextBytes || H5Sget_simple_extent_npoints(space) != 1) {
            return fail("not a lumeth snapshot: " + what + " is not a text of at most " +
                        std::to_string(kMaxTextBytes) + " bytes");
        }
        char buffer[kMaxTextBytes] = {};
        Id memory(H5Tcopy(H5T_C_S1), H5Tclose);
        if (!memory.ok() || H5Tset_size(memory, size) < 0 ||
            H5Tset_strpad(memory, H5T_STR_NULLPAD) < 0 || H5Aread(attribute, memory, buffer) < 0) {
            return hdf5_failed(what);
        }
        out->assign(buffer, strnlen(buffer, size));
        return true;
    }

    // A whole dataset of exactly rows x columns (columns 0: one dimension) of `file_type`,
    // stored as put_dataset stores it: chunked, with the Fletcher32 checksum as its only
    // filter. Every chunk is found in the file's bytes and its checksum checked here, without
    // copying it; then take(first, n, values) gets its rows [first, first + n), and may refuse
    // them.
    bool dataset(hid_t location, const std::string& where, const char* name, hid_t file_type,
                 std::size_t value_size, hsize_t rows, hsize_t columns,
                 const std::function<bool(hsize_t, hsize_t, const unsigned char*)>& take) {
        const std::string what = "dataset '" + where + "/" + name + "'";
        const htri_t exists = H5Lexists(location, name, H5P_DEFAULT);
        if (exists <= 0) {
            return exists < 0 ? hdf5_failed(what) : fail("not a lumeth snapshot: no " + what);
        }
        Id dataset(H5Dopen2(location, name, H5P_DEFAULT), H5Dclose);
        Id space(dataset.ok() ? H5Dget_space(dataset) : -1, H5Sclose);
        Id type(dataset.ok() ? H5Dget_type(dataset) : -1, H5Tclose);
        Id dcpl(dataset.ok() ? H5Dget_create_plist(dataset) : -1, H5Pclose);
        if (!space.ok() || !type.ok() || !dcpl.ok()) {
            return hdf5_failed(what);
        }
        const int rank = columns == 0 ? 1 : 2;
        hsize_t dims[2] = {0, 0};
        if (H5Sget_simple_extent_ndims(space) != rank ||
            H5Sget_simple_extent_dims(space, dims, nullptr) != rank || dims[0] != rows ||
            (rank == 2 && dims[1] != columns)) {
            return fail("inconsistent: " + what + " is not " + std::to_string(rows) +
                        (rank == 2 ? " x " + std::to_string(columns) : std::string()) +
                        " values, as the header's counts say");
        }
        hsize_t chunk[2] = {0, 0};
        unsigned flags = 0;
        std::size_t parameters = 0;
        if (H5Tequal(type, file_type) <= 0 || H5Pget_layout(dcpl) != H5D_CHUNKED ||
            H5Pget_chunk(dcpl, rank, chunk) != rank || chunk[0] == 0 || chunk[0] > rows ||
            (rank == 2 && chunk[1] != columns) || H5Pget_nfilters(dcpl) != 1 ||
            H5Pget_filter2(dcpl, 0, &flags, &parameters, nullptr, 0, nullptr, nullptr) !=
                H5Z_FILTER_FLETCHER32) {
            return fail("not a lumeth snapshot: " + what +
                        " is not stored as lumeth stores it (its type, chunked, with a "
                        "Fletcher32 checksum alone)");
        }
        // The version 1 B-tree, HDF5's earliest chunk index, has no checksum.
        H5D_chunk_index_t index = H5D_CHUNK_IDX_BTREE;
        if (H5Dget_chunk_index_type(dataset, &index) < 0 || index == H5D_CHUNK_IDX_BTREE) {
            return fail("not a lumeth snapshot: " + what +
                        " has a chunk index without checksums (HDF5's earliest format)");
        }
        const std::size_t row_bytes = std::max<hsize_t>(columns, 1) * value_size;
        const std::size_t value_bytes = chunk[0] * row_bytes;
        const std::size_t chunk_bytes = value_bytes + kChecksumBytes;
        for (hsize_t first = 0; first < rows; first += chunk[0]) {
            const hsize_t start[2] = {first, 0};
            unsigned skipped_filters = 0;
            haddr_t address = HADDR_UNDEF;
            hsize_t stored = 0;
            if (H5Dget_chunk_info_by_coord(dataset, start, &skipped_filters, &address, &stored) <
                0) {
                return hdf5_failed(what);
            }
            if (stored != chunk_bytes || address > file_size_ || file_size_ - address < stored) {
                return fail("corrupted: " + what + " has no chunk of " +
                            std::to_string(chunk_bytes) + " bytes within the file at row " +
                            std::to_string(first));
            }
            const unsigned char* values = file_ + address;
            if (skipped_filters != 0 || !has_checksum(values, value_bytes)) {
                return fail("corrupted: " + what + " fails its checksum");
            }
            if (!take(first, std::min(chunk[0], rows - first), values)) {
                return false;
            }
        }
        return true;
    }

  private:
    std::string* error_;
    const unsigned char* file_ = nullptr;
    std::size_t file_size_ = 0;
};

// The version of an object's header: 2 and later carry a checksum.
int object_header_version(hid_t location, const char* name) {
#if H5_VERSION_GE(1, 12, 0)
    H5O_native_info_t info{};
    if (H5Oget_native_info_by_name(location, name, &info, H5O_NATIVE_INFO_HDR, H5P_DEFAULT) < 0) {
        return -1;
    }
#else
    H5O_info_t info{};
    if (H5Oget_info_by_name2(location, name, &info, H5O_INFO_HDR, H5P_DEFAULT) < 0) {
        return -1;
    }
#endif
    return static_cast<int>(info.hdr.version);
}

// Every name the layout has: its groups and their datasets. Which types a particle count
// has is checked where the types are read.
bool layout_has(const std::string& name) {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all = {"Header", "Units", "Parameters", kOwnGroup,
                                        std::string(kOwnGroup) + "/Particles"};
        for (int type : {1, 2, 3, kBlackHoleType}) {
            all.push_back(type_group(type));
            for (const FieldLayout& f : kFields) {
                all.push_back(type_group(type) + "/" + f.name);
            }
        }
        return all;
    }();
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Before anything is read from it: the file holds hard links to objects of the layout only,
// each with a checksummed header. HDF5 lists the links without following them, so that a
// soft or external link (to another file, a FIFO, a device) is refused, never opened.
bool only_objects_of_the_layout(Reader& r, hid_t file) {
    struct Walk {
        Reader* reader;
        bool ok = true;
    } walk{&r};
    const int root_version = object_header_version(file, ".");
    if (root_version < 2) {
        return root_version < 0
                   ? r.hdf5_failed("the root group")
                   : r.fail("not a lumeth snapshot: its root group's header has no checksum");
    }
    const herr_t visited = H5Lvisit(
        file, H5_INDEX_NAME, H5_ITER_NATIVE,
        [](hid_t group, const char* name, const H5L_info_t* info, void* data) -> herr_t {
            Walk& w = *static_cast<Walk*>(data);
            const std::string where = std::string("'") + name + "'";
            if (info->type == H5L_TYPE_SOFT || info->type == H5L_TYPE_EXTERNAL) {
                w.ok = w.reader->fail("not a lumeth snapshot: " + where + " is a" +
                                      (info->type == H5L_TYPE_SOFT ? " soft" : "n external") +
                                      " link, which lumeth-record never writes");
            } else if (info->type != H5L_TYPE_HARD || !layout_has(name)) {
                w.ok = w.reader->fail("not a lumeth snapshot: it holds " + where +
                                      ", which lumeth-record never writes");
            } else if (const int version = object_header_version(group, name); version < 0) {
                w.ok = w.reader->hdf5_failed("object " + where);
            } else if (version < 2) {
                w.ok = w.reader->fail("not a lumeth snapshot: the header of " + where +
                                      " has no checksum");
            }
            return w.ok ? 0 : 1;
        },
        &walk);
    return walk.ok && (visited >= 0 || r.hdf5_failed("the file's group list"));
}

bool same_bits(const void* a, const void* b, std::size_t bytes) {
    return std::memcmp(a, b, bytes) == 0;
}

bool read_units(Reader& r, hid_t file, const char* name) {
    Id group(r.group(file, name), H5Gclose);
    if (!group.ok()) {
        return false;
    }
    const std::pair<const char*, double> units[] = {
        {"UnitLength_in_cm", kUnitLengthInCm},
        {"UnitMass_in_g", kUnitMassInG},
        {"UnitVelocity_in_cm_per_s", kUnitVelocityInCmPerS},
        {"UnitTime_in_s", kUnitTimeInS}};
    for (const auto& [unit, expected] : units) {
        double value = 0.0;
        if (!r.attribute(group, name, unit, H5T_NATIVE_DOUBLE, &value)) {
            return false;
        }
        if (value != expected) {
            return r.fail(std::string("not a lumeth snapshot: ") + name + "/" + unit + " is " +
                          std::to_string(value) + ", not lumeth's unit");
        }
    }
    return true;
}

bool read_own_group(Reader& r, hid_t file, Snapshot* s) {
    Id group(r.group(file, kOwnGroup), H5Gclose);
    if (!group.ok()) {
        return false;
    }
    int version = 0;
    SnapshotInfo& info = s->info;
    if (!r.attribute(group, kOwnGroup, "LayoutVersion", H5T_NATIVE_INT, &version)) {
        return false;
    }
    if (version < kEarliestLayoutVersion || version > kLayoutVersion) {
        return r.fail("not a lumeth snapshot of this version: layout " + std::to_string(version) +
                      ", this lumeth-record reads layouts " +
                      std::to_string(kEarliestLayoutVersion) + " to " +
                      std::to_string(kLayoutVersion));
    }
    info.layout_version = version;
    if (version >= 2 && (!r.text(group, kOwnGroup, "Backend", &info.backend) ||
                         !r.text(group, kOwnGroup, "MathLibrary", &info.math_library))) {
        return false;
    }
    if (!r.attribute(group, kOwnGroup, "ParticleCount", H5T_NATIVE_INT, &info.particle_count) ||
        !r.attribute(group, kOwnGroup, "StepCount", H5T_NATIVE_LLONG, &info.step_count) ||
        !r.attribute(group, kOwnGroup, "Time_s", H5T_NATIVE_DOUBLE, &info.sim_time) ||
        !r.attribute(group, kOwnGroup, "StepLength_s", H5T_NATIVE_DOUBLE, &info.step_seconds) ||
        !r.attribute(group, kOwnGroup, "StepLength_Myr", H5T_NATIVE_DOUBLE, &info.step_myr) ||
        !r.attribute(group, kOwnGroup, "Seed", H5T_NATIVE_UINT32, &info.seed)) {
        return false;
    }
    if (info.particle_count < 1 || info.particle_count > kMaxParticles) {
        return r.fail("inconsistent: it holds " + std::to_string(info.particle_count) +
                      " particles; lumeth-record runs 1 to " + std::to_string(kMaxParticles));
    }
    // Nothing is allocated for the records before their array is known to fit in the file.
    if (static_cast<std::size_t>(info.particle_count) * kSnapshotBytesPerParticle > r.file_size()) {
        return r.fail("inconsistent: " + std::to_string(info.particle_count) +
                      " particles cannot fit in its " + std::to_string(r.file_size()) + " bytes");
    }
    if (info.step_count < 0 || info.step_count > kMaxStepCount) {
        return r.fail("inconsistent: its step count of " + std::to_string(info.step_count) +
                      " is outside 0 to " + std::to_string(kMaxStepCount));
    }
    if (!(std::isfinite(info.step_myr) && info.step_myr > 0.0) ||
        info.step_seconds != info.step_myr * kSecondsPerMegayear) {
        return r.fail("inconsistent: its step of " + std::to_string(info.step_seconds) +
                      " s is not its StepLength_Myr of " + std::to_string(info.step_myr));
    }
    // The simulated time is step_count additions of the step; checked exactly where that
    // takes at most a fraction of a second.
    // Past that, it is at least one step and at most twice the steps' product.
    bool time_matches = std::isfinite(info.sim_time) && info.sim_time >= 0.0;
    if (info.step_count > 100000000) {
        time_matches = time_matches && info.sim_time >= info.step_seconds &&
                       info.sim_time <= 2.0 * info.step_seconds * info.step_count;
    } else {
        double t = 0.0;
        for (long long i = 0; i < info.step_count; ++i) {
            t += info.step_seconds;
        }
        time_matches = time_matches && t == info.sim_time;
    }
    if (!time_matches) {
        return r.fail("inconsistent: its time of " + std::to_string(info.sim_time) + " s is not " +
                      std::to_string(info.step_count) + " steps of " +
                      std::to_string(info.step_seconds) + " s");
    }
    s->particles.resize(static_cast<std::size_t>(info.particle_count));
    Particle* particles = s->particles.data();
    return r.dataset(group, kOwnGroup, "Particles", H5T_IEEE_F64LE, sizeof(double),
                     static_cast<hsize_t>(info.particle_count), 10,
                     [&](hsize_t first, hsize_t n, const unsigned char* values) {
                         std::memcpy(particles + first, values, n * sizeof(Particle));
                         return true;
                     });
}

bool read_header(Reader& r, hid_t file, const SnapshotInfo& info) {
    Id group(r.group(file, "Header"), H5Gclose);
    if (!group.ok()) {
        return false;
    }
    long long this_file[kTypes], total[kTypes], high_word[kTypes];
    double mass_table[kTypes];
    double time = 0.0, redshift = 0.0, omega0 = 0.0, lambda = 0.0, hubble = 0.0, box = 0.0;
    int files = 0, double_precision = 0;
    if (!r.attribute(group, "Header", "NumPart_ThisFile", H5T_NATIVE_LLONG, this_file, kTypes) ||
        !r.attribute(group, "Header", "NumPart_Total", H5T_NATIVE_LLONG, total, kTypes) ||
        !r.attribute(group, "Header", "NumPart_Total_HighWord", H5T_NATIVE_LLONG, high_word,
                     kTypes) ||
        !r.attribute(group, "Header", "MassTable", H5T_NATIVE_DOUBLE, mass_table, kTypes) ||
        !r.attribute(group, "Header", "Time", H5T_NATIVE_DOUBLE, &time) ||
        !r.attribute(group, "Header", "Redshift", H5T_NATIVE_DOUBLE, &redshift) ||
        !r.attribute(group, "Header", "BoxSize", H5T_NATIVE_DOUBLE, &box) ||
        !r.attribute(group, "Header", "Omega0", H5T_NATIVE_DOUBLE, &omega0) ||
        !r.attribute(group, "Header", "OmegaLambda", H5T_NATIVE_DOUBLE, &lambda) ||
        !r.attribute(group, "Header", "HubbleParam", H5T_NATIVE_DOUBLE, &hubble) ||
        !r.attribute(group, "Header", "NumFilesPerSnapshot", H5T_NATIVE_INT, &files) ||
        !r.attribute(group, "Header", "Flag_DoublePrecision", H5T_NATIVE_INT, &double_precision)) {
        return false;
    }
    const std::array<long long, kTypes> expected = type_counts(info.particle_count);
    for (int t = 0; t < kTypes; ++t) {
        if (this_file[t] != expected[t] || total[t] != expected[t] || high_word[t] != 0) {
            return r.fail("inconsistent: the header counts " + std::to_string(total[t]) +
                          " particles of type " + std::to_string(t) + ", " +
                          std::to_string(info.particle_count) + " particles have " +
                          std::to_string(expected[t]));
        }
        if (mass_table[t] != 0.0) {
            return r.fail("inconsistent: the header's MassTable is not all 0");
        }
    }
    if (time != info.sim_time / kUnitTimeInS) {
        return r.fail("inconsistent: the header's Time is not the simulated time of " +
                      std::string(kOwnGroup) + "/Time_s");
    }
    if (redshift != 0.0 || box != 0.0 || omega0 != 0.0 || lambda != 0.0 || hubble != 1.0 ||
        files != 1 || double_precision != 1) {
        return r.fail("not a lumeth snapshot: its header describes another kind of run");
    }
    return true;
}

// Every type's datasets in full, each equal to what the records give.
bool read_types(Reader& r, hid_t file, const Snapshot& s) {
    const int count = s.info.particle_count;
    std::vector<unsigned char> expected;
    for (int t = 0; t < kTypes; ++t) {
        const std::string name = type_group(t);
        const htri_t exists = H5Lexists(file, name.c_str(), H5P_DEFAULT);
        if (exists < 0) {
            return r.hdf5_failed("the file's group list");
        }
        if (type_counts(count)[t] == 0) {
            if (exists > 0) {
                return r.fail("inconsistent: it has a group '" + name +
                              "' for a type without particles");
            }
            continue;
        }
        TypeRecords records = {&kBlackHoleRecord, 1, static_cast<std::size_t>(count)};
        for (const Population& p : populations(count)) {
            if (p.type == t) {
                records = {s.particles.data() + p.first, static_cast<std::size_t>(p.count),
                           static_cast<std::size_t>(p.first)};
            }
        }
        Id group(r.group(file, name), H5Gclose);
        if (!group.ok()) {
            return false;
        }
        // Each chunk of each dataset is compared with what the records give.
        for (const FieldLayout& f : kFields) {
            const std::size_t row_bytes = std::max<hsize_t>(f.columns, 1) * f.value_size;
            auto same_as_records = [&](hsize_t first, hsize_t n, const unsigned char* values) {
                expected.resize(n * row_bytes);
                convert(f.field, records, first, n, expected.data());
                return same_bits(values, expected.data(), expected.size()) ||
                       r.fail("inconsistent: " + name + "/" + f.name + " is not what " + kOwnGroup +
                              "/Particles gives");
            };
            if (!r.dataset(group, name, f.name, f.file_type, f.value_size, records.count, f.columns,
                           same_as_records)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

std::string snapshot_file_name(long long step_count) {
    char name[64];
    std::snprintf(name, sizeof name, "snapshot_%06lld.hdf5", step_count);
    return name;
}

bool snapshot_image(const SnapshotInfo& info, const Particle* particles, FileBytes* image,
                    std::string* error) {
    quiet_hdf5();
    // Built in memory (the core driver, no backing file), so that it reaches the disk as one
    // write whose failure is the system's own. The memory is taken over when HDF5 closes
    // the file, with the superblock in its final state. The core driver zeroes the memory it
    // extends the file into, so that a block used again leaves nothing of its earlier image.
    ClosedImage closed;
    closed.spare = image->data.release();
    closed.spare_size = image->capacity;
    H5FD_file_image_callbacks_t callbacks = image_callbacks(&closed);
    const std::size_t estimate = static_cast<std::size_t>(info.particle_count) * 200 + 65536;
    Id fapl(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    H5Pset_fapl_core(fapl, estimate, 0);
    H5Pset_file_image_callbacks(fapl, &callbacks);
    // The 1.10 format: checksums on the object headers and the chunk indexes.
    H5Pset_libver_bounds(fapl, H5F_LIBVER_V110, H5F_LIBVER_V110);
    H5Pset_meta_block_size(fapl, 0);
    H5Pset_small_data_block_size(fapl, 0);
    Id fcpl(H5Pcreate(H5P_FILE_CREATE), H5Pclose);
    set_object_properties(fcpl);
    H5Pset_link_phase_change(fcpl, 16, 12);
    Id gcpl(H5Pcreate(H5P_GROUP_CREATE), H5Pclose);
    set_object_properties(gcpl);

    bool ok = false;
    const hid_t file = H5Fcreate("snapshot-in-memory", H5F_ACC_TRUNC, fcpl, fapl);
    if (file >= 0) {
        Id header(H5Gcreate2(file, "Header", H5P_DEFAULT, gcpl, H5P_DEFAULT), H5Gclose);
        Id units(H5Gcreate2(file, "Units", H5P_DEFAULT, gcpl, H5P_DEFAULT), H5Gclose);
        Id parameters(H5Gcreate2(file, "Parameters", H5P_DEFAULT, gcpl, H5P_DEFAULT), H5Gclose);
        ok = header.ok() && units.ok() && parameters.ok() && put_header(header, info) &&
             put_units(units) && put_units(parameters) && put_cosmology(parameters) &&
             put_int(parameters, "ComovingIntegrationOn", 0) &&
             put_int(parameters, "PeriodicBoundariesOn", 0);
        for (const Population& p : populations(info.particle_count)) {
            if (ok && p.count > 0) {
                ok = put_type(file, gcpl, p.type,
                              {particles + p.first, static_cast<std::size_t>(p.count),
                               static_cast<std::size_t>(p.first)});
            }
        }
        ok = ok &&
             put_type(file, gcpl, kBlackHoleType,
                      {&kBlackHoleRecord, 1, static_cast<std::size_t>(info.particle_count)}) &&
             put_own_group(file, gcpl, info, particles);
    }
    ok = file >= 0 && H5Fclose(file) >= 0 && ok;
    // The file ends where its superblock (version 2 or 3, 8-byte addresses) says.
    std::uint64_t end = 0;
    if (ok && closed.memory != nullptr && closed.size >= 48 &&
        static_cast<const unsigned char*>(closed.memory)[9] == 8) {
        std::memcpy(&end, static_cast<const char*>(closed.memory) + 28, sizeof end);
    }
    ok = ok && end > 0 && end <= closed.size;
    std::free(closed.spare);
    image->size = 0;
    image->capacity = 0;
    if (ok) {
        image->data.reset(static_cast<char*>(closed.memory));
        image->size = static_cast<std::size_t>(end);
        image->capacity = closed.size;
    } else {
        std::free(closed.memory);
    }
    if (!ok) {
        const std::vector<std::string> texts = hdf5_errors();
        *error = "HDF5 cannot build the snapshot: " +
                 (texts.empty() ? std::string("unknown failure") : texts.front());
    }
    return ok;
}

bool parse_snapshot(const char* bytes, std::size_t size, Snapshot* snapshot, std::string* error) {
    quiet_hdf5();
    error->clear();
    Reader r(error);
    std::string problem;
    if (!check_superblock(reinterpret_cast<const unsigned char*>(bytes), size, &problem)) {
        return r.fail(problem);
    }
    // HDF5 reads the bytes in place and never writes them.
    Id file(open_image(bytes, size), H5Fclose);
    if (!file.ok()) {
        const std::vector<std::string> texts = hdf5_errors();
        for (const std::string& t : texts) {
            if (t.find("truncated") != std::string::npos) {
                return r.fail("truncated: " + t);
            }
            if (t.find("checksum") != std::string::npos) {
                return r.fail("corrupted: its HDF5 superblock fails its checksum");
            }
        }
        return r.fail("corrupted: HDF5 cannot open it" +
                      (texts.empty() ? std::string() : " (" + texts.front() + ")"));
    }
    r.set_file(bytes, size, 0);
    return only_objects_of_the_layout(r, file) && read_own_group(r, file, snapshot) &&
           read_header(r, file, snapshot->info) && read_units(r, file, "Units") &&
           read_units(r, file, "Parameters") && read_types(r, file, *snapshot);
}

bool read_snapshot(const std::string& path, Snapshot* snapshot, std::string* error) {
    FileBytes bytes;
    return read_whole_file(path, kMaxSnapshotBytes, &bytes, error) &&
           parse_snapshot(bytes.data.get(), bytes.size, snapshot, error);
}

}  // namespace lumeth::record
