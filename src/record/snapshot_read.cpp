#include <hdf5.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "record/file_commit.h"
#include "record/options.h"
#include "record/snapshot.h"
#include "record/snapshot_layout.h"
#include "record/snapshot_limits.h"
#include "sim/constants.h"

namespace lumeth::record {
namespace {

using namespace snapshot_layout;

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

    // Opens an attribute that the layout needs (`what` names it); -1 once the problem is
    // noted.
    hid_t open_attribute(hid_t location, const std::string& what, const char* name) {
        const htri_t exists = H5Aexists(location, name);
        if (exists <= 0) {
            exists < 0 ? hdf5_failed(what) : fail("not a lumeth snapshot: no " + what);
            return -1;
        }
        const hid_t id = H5Aopen(location, name, H5P_DEFAULT);
        if (id < 0) {
            hdf5_failed(what);
        }
        return id;
    }

    // An attribute of `length` values (0: a single value), converted to `type`.
    bool attribute(hid_t location, const std::string& where, const char* name, hid_t type,
                   void* data, hsize_t length = 0) {
        const std::string what = "attribute '" + where + "/" + name + "'";
        Id attribute(open_attribute(location, what, name), H5Aclose);
        if (!attribute.ok()) {
            return false;
        }
        Id space(H5Aget_space(attribute), H5Sclose);
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
        Id attribute(open_attribute(location, what, name), H5Aclose);
        if (!attribute.ok()) {
            return false;
        }
        Id type(H5Aget_type(attribute), H5Tclose);
        Id space(H5Aget_space(attribute), H5Sclose);
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
