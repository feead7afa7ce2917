#include <hdf5.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "record/file_commit.h"
#include "record/snapshot.h"
#include "record/snapshot_layout.h"
#include "sim/constants.h"

namespace lumeth::record {
namespace {

using namespace snapshot_layout;

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

}  // namespace lumeth::record
