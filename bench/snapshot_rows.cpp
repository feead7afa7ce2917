// The snapshots' rows: lumeth-record's snapshot of the measured galaxy written and read back
// in full, each beside one fwrite or fread of as many bytes, in a temporary folder that is
// removed afterwards. Only where the build has lumeth-record's HDF5 snapshots.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "count_measurement.h"
#include "timing.h"

#if LUMETH_BENCH_SNAPSHOTS
#include <unistd.h>

#include <filesystem>

#include "record/file_commit.h"
#include "record/snapshot.h"
#include "record/snapshot_limits.h"
#include "sim/constants.h"
#endif

namespace lumeth::bench {

#if LUMETH_BENCH_SNAPSHOTS
namespace {

// Above this count a snapshot is gigabytes, written and read twice per run.
constexpr int kMaxSnapshotCount = 1000000;

// A folder of its own under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
  public:
    TemporaryFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "lumeth-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TemporaryFolder() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace

void add_snapshot_rows(CountMeasurement* m) {
    if (m->count > kMaxSnapshotCount) {
        m->rows.push_back(note_row(*m, "snapshot", "hdf5",
                                   "not timed above " + std::to_string(kMaxSnapshotCount) +
                                       " particles (a file of " +
                                       format("%.1f", 164e-9 * m->count) + " GB or more)"));
        return;
    }
    TemporaryFolder folder;
    if (folder.path().empty()) {
        m->rows.push_back(note_row(*m, "snapshot", "hdf5", "no temporary folder to write in"));
        return;
    }
    record::SnapshotInfo info;
    info.particle_count = m->count;
    info.step_count = 1;
    info.step_seconds = kTimeStep;
    info.step_myr = kTimeStep / kSecondsPerMegayear;
    info.sim_time = kTimeStep;
    info.seed = kSeed;
    const Particle* particles = m->integrated.data();
    const std::string path = folder.path() + "/" + record::snapshot_file_name(1);
    const std::string plain = folder.path() + "/plain.bin";
    record::FileBytes image;
    std::string error;
    bool ok = true;
    const std::vector<double> write = time_runs(
        label(*m, "snapshot write", "hdf5"), m->runs, NAN, [] {},
        [&] {
            ok = ok && record::snapshot_image(info, particles, &image, &error) &&
                 record::write_file_committed(path, image.data.get(), image.size, &error);
        });
    const std::vector<double> fwrite = time_runs(
        label(*m, "snapshot fwrite", "stdio"), m->runs, NAN, [] {},
        [&] {
            ok = ok && record::write_file_committed(plain, image.data.get(), image.size, &error);
        });
    record::Snapshot back;
    const std::vector<double> read = time_runs(
        label(*m, "snapshot read", "hdf5"), m->runs, NAN, [&] { back = record::Snapshot(); },
        [&] { ok = ok && record::read_snapshot(path, &back, &error); });
    record::FileBytes bytes;
    const std::vector<double> fread = time_runs(
        label(*m, "snapshot fread", "stdio"), m->runs, NAN, [&] { bytes = record::FileBytes(); },
        [&] {
            ok = ok && record::read_whole_file(plain, record::kMaxSnapshotBytes, &bytes, &error);
        });
    if (!ok) {
        m->rows.push_back(note_row(*m, "snapshot", "hdf5", "failed: " + error));
        return;
    }
    const double megabytes = static_cast<double>(image.size) / 1e6;
    Row w = timed_row(*m, "snapshot write", "hdf5", m->runs, write);
    Row fw = timed_row(*m, "snapshot fwrite", "stdio", m->runs, fwrite);
    Row r = timed_row(*m, "snapshot read", "hdf5", m->runs, read);
    Row fr = timed_row(*m, "snapshot fread", "stdio", m->runs, fread);
    w.threads = fw.threads = r.threads = fr.threads = 1;
    w.result = format("%.1f MB built and written (flush, sync, rename): ", megabytes) +
               format("%.2fx", w.ms / fw.ms) + " the fwrite of as many bytes below";
    fw.result = "one fwrite of the same bytes, same flush, sync and rename: the floor";
    r.result =
        "read back in full, every checksum and value checked: " + format("%.2fx", r.ms / fr.ms) +
        " the fread below";
    fr.result = "one read of the whole file from the page cache: the floor";
    m->rows.insert(m->rows.end(), {w, fw, r, fr});
}

#else

void add_snapshot_rows(CountMeasurement* m) {
    m->rows.push_back(note_row(*m, "snapshot", "hdf5", "not available (built without HDF5)"));
}

#endif

}  // namespace lumeth::bench
