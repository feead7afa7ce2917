// The folder a run writes its snapshots into, taken for that run alone.
#pragma once

#include <string>
#include <vector>

#include "record/snapshot.h"

namespace lumeth::record {

struct SnapshotFolder {
    int lock = -1;                       // the folder, open and locked; -1: not taken
    bool created = false;                // made by this run
    std::vector<std::string> to_remove;  // what clear_snapshot_folder removes
};

// Whether `name` is a snapshot's: "snapshot_" and six or more digits, then ".hdf5".
bool is_snapshot_name(const std::string& name);

// Makes `folder` (one level) if it is missing and takes it: locks it for this process (the
// system releases the lock when the process ends, however it ends) and checks what it holds.
// A folder may hold snapshots only of the run resumed from `resumed` (its seed, particle
// count and step; nullptr for a new galaxy: none); others are refused, or listed for removal
// with `replace`. What a killed run left behind (temporary files) is listed for removal.
// False with *problem in a user's words, nothing changed and nothing held.
bool take_snapshot_folder(const std::string& folder, const SnapshotInfo* resumed, bool replace,
                          SnapshotFolder* taken, std::string* problem);

// Removes the files take_snapshot_folder listed.
void clear_snapshot_folder(SnapshotFolder* taken);

// Gives the folder up (the folder made by this run is removed where it is still empty, with
// `remove_if_empty`).
void release_snapshot_folder(const std::string& folder, SnapshotFolder* taken,
                             bool remove_if_empty);

}  // namespace lumeth::record
