#include "record/snapshot_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "record/file_commit.h"

namespace lumeth::record {
namespace {

bool starts_with(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What a killed run leaves: its temporary files (".snapshot_NNNNNN.hdf5.tmp-XXXXXX" and the
// folder's probe), and those of earlier versions of the recorder, which had no leading dot,
// and their timing copies (".fwrite").
bool is_leftover(const std::string& name) {
    const std::size_t tmp = name.rfind(".tmp-");
    const bool temporary = tmp != std::string::npos && name.size() == tmp + 11 &&
                           (starts_with(name, ".snapshot") || starts_with(name, "snapshot"));
    return temporary || (starts_with(name, "snapshot_") && ends_with(name, ".hdf5.fwrite"));
}

// The process that holds the flock on the file `fd`, from the system's list of locks; 0 when
// it cannot be told.
long lock_holder(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return 0;
    }
    char inode[96];
    std::snprintf(inode, sizeof inode, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, where;
        fields >> number >> kind >> mode >> access >> pid >> where;
        if (kind == "FLOCK" && where == inode) {
            return std::atol(pid.c_str());
        }
    }
    return 0;
}

// Whether the snapshot at `path` belongs to the run resumed from `resumed`.
bool of_the_run(const std::string& path, const SnapshotInfo& resumed, std::string* why) {
    Snapshot held;
    if (!read_snapshot(path, &held, why)) {
        return false;
    }
    const SnapshotInfo& h = held.info;
    if (h.seed != resumed.seed || h.particle_count != resumed.particle_count ||
        h.step_myr != resumed.step_myr) {
        *why = "it is a snapshot of another run (seed " + std::to_string(h.seed) + ", " +
               std::to_string(h.particle_count) + " particles)";
        return false;
    }
    return true;
}

}  // namespace

bool is_snapshot_name(const std::string& name) {
    constexpr std::size_t kPrefix = sizeof "snapshot_" - 1;
    constexpr std::size_t kSuffix = sizeof ".hdf5" - 1;
    if (!starts_with(name, "snapshot_") || !ends_with(name, ".hdf5") ||
        name.size() < kPrefix + 6 + kSuffix) {
        return false;
    }
    return std::all_of(name.begin() + kPrefix, name.end() - kSuffix,
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

bool take_snapshot_folder(const std::string& folder, const SnapshotInfo* resumed, bool replace,
                          SnapshotFolder* taken, std::string* problem) {
    *taken = SnapshotFolder();
    taken->created = mkdir(folder.c_str(), 0777) == 0;
    if (!taken->created && errno != EEXIST) {
        *problem = std::strerror(errno);
        return false;
    }
    auto refuse = [&](const std::string& why) {
        release_snapshot_folder(folder, taken, true);
        *problem = why;
        return false;
    };
    taken->lock = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (taken->lock < 0) {
        return refuse(errno == ENOTDIR ? "it is not a folder" : std::strerror(errno));
    }
    if (flock(taken->lock, LOCK_EX | LOCK_NB) != 0) {
        const long holder = lock_holder(taken->lock);
        return refuse(errno != EWOULDBLOCK ? std::string(std::strerror(errno))
                      : holder > 0
                          ? "another run (process " + std::to_string(holder) + ") is writing there"
                          : "another run is writing there");
    }
    // A file can be created in it.
    std::string probe;
    const int fd = create_temporary_beside(folder + "/snapshot", &probe);
    if (fd < 0) {
        return refuse(std::strerror(errno));
    }
    close(fd);
    std::remove(probe.c_str());

    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) {
        return refuse(std::strerror(errno));
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing)) {
        names.push_back(entry->d_name);
    }
    closedir(listing);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        if (is_leftover(name)) {
            taken->to_remove.push_back(path);
            continue;
        }
        if (!is_snapshot_name(name)) {
            continue;
        }
        struct stat info {};
        const bool file = lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
        std::string why = "it is not a regular file";
        if (file && resumed != nullptr && of_the_run(path, *resumed, &why)) {
            continue;
        }
        if (resumed == nullptr) {
            why = "another run's snapshot";
        }
        if (!replace || !file) {
            return refuse(
                "it holds '" + name + "' (" + why + ")" +
                (file ? "; --replace-snapshots removes the snapshots of another run" : ""));
        }
        taken->to_remove.push_back(path);
    }
    return true;
}

void clear_snapshot_folder(SnapshotFolder* taken) {
    for (const std::string& path : taken->to_remove) {
        std::remove(path.c_str());
    }
    taken->to_remove.clear();
}

void release_snapshot_folder(const std::string& folder, SnapshotFolder* taken,
                             bool remove_if_empty) {
    if (taken->created && remove_if_empty) {
        rmdir(folder.c_str());
    }
    if (taken->lock >= 0) {
        close(taken->lock);
    }
    *taken = SnapshotFolder();
}

}  // namespace lumeth::record
