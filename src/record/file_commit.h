// Files that appear under their final name only when complete: each is written to a
// temporary file in the same folder, synced, and renamed over the final name, so that a
// crash, a kill or a full disk leaves either the earlier file or the complete new one.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace lumeth::record {

// Creates an empty temporary file beside `path` (".<name>.tmp-XXXXXX" in its folder), with the
// permissions a newly created file gets. Returns its descriptor and sets *temporary, or -1 with
// errno set.
int create_temporary_beside(const std::string& path, std::string* temporary);

// Syncs the complete `temporary` to disk, renames it over `path` and syncs the folder. On
// failure the temporary file is removed, `path` is as it was, and *error says why.
bool commit_temporary(const std::string& temporary, const std::string& path, std::string* error);

// As commit_temporary, but to the first of `names` that no file has, replacing none; *kept
// is the name taken. When every name is taken, or on failure, the temporary file is removed.
bool commit_temporary_as_new(const std::string& temporary, const std::vector<std::string>& names,
                             std::string* kept, std::string* error);

// `size` bytes written to `path` that way: one fwrite into the temporary file, fflush, then
// commit_temporary. On failure nothing is left but what was there before.
bool write_file_committed(const std::string& path, const void* data, std::size_t size,
                          std::string* error);

// A file's bytes in one block from malloc.
struct FileBytes {
    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char, Free> data;
    std::size_t size = 0;
    std::size_t capacity = 0;  // bytes in the block, size or more
};

// Reads the whole regular file into *bytes (a new block). Opens without blocking and refuses
// anything but a regular file, and a file of more than `max_size` bytes, before allocating.
// False with *error in a user's words.
bool read_whole_file(const std::string& path, std::size_t max_size, FileBytes* bytes,
                     std::string* error);

// The folder a path lies in ("." for a bare name).
std::string folder_of(const std::string& path);

}  // namespace lumeth::record
