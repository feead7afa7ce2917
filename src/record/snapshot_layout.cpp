#include "record/snapshot_layout.h"

#include <algorithm>

#include "record/fletcher32.h"
#include "sim/initial_conditions.h"

namespace lumeth::record::snapshot_layout {
namespace {

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

}  // namespace

std::array<Population, 3> populations(int count) {
    const PopulationCounts n = population_counts(count);
    // Bulge, disk, halo: PartType3, 2, 1.
    return {{{3, 0, n.bulge}, {2, n.bulge, n.disk}, {1, n.bulge + n.disk, n.halo}}};
}

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

void quiet_hdf5() {
    static const bool silenced = [] {
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
        return true;
    }();
    (void)silenced;
}

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

hsize_t chunk_rows(hsize_t rows, hsize_t columns) {
    return std::min<hsize_t>(rows, std::max<hsize_t>(1, 65536 / std::max<hsize_t>(columns, 1)));
}

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

}  // namespace lumeth::record::snapshot_layout
