#include "record/file_commit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lumeth::record {
namespace {

// The permissions open(..., 0666) would give under the process's umask (mkstemp gives 0600).
mode_t new_file_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool sync_path(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    errno = saved;
    return synced;
}

}  // namespace

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int create_temporary_beside(const std::string& path, std::string* temporary) {
    // A hidden name, which no one takes for the file itself: ".<name>.tmp-XXXXXX".
    const std::size_t slash = path.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    std::string name = path.substr(0, base) + "." + path.substr(base) + ".tmp-XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    fchmod(fd, new_file_mode());
    *temporary = name;
    return fd;
}

bool commit_temporary(const std::string& temporary, const std::string& path, std::string* error) {
    if (!sync_path(temporary, O_RDONLY)) {
        *error = "writing '" + path + "' failed: " + std::strerror(errno);
    } else if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot rename the finished file to '" + path + "': " + std::strerror(errno);
    } else {
        // The rename itself reaches the disk with the folder's sync; a failure there leaves
        // the complete file in place, which is all a later reader needs.
        sync_path(folder_of(path), O_RDONLY | O_DIRECTORY);
        return true;
    }
    std::remove(temporary.c_str());
    return false;
}

bool commit_temporary_as_new(const std::string& temporary, const std::vector<std::string>& names,
                             std::string* kept, std::string* error) {
    if (!sync_path(temporary, O_RDONLY)) {
        *error = "writing '" + temporary + "' failed: " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    for (const std::string& name : names) {
        // A rename that fails where the name is taken; a second link and the removal of the
        // first where the file system has no such rename.
        int moved =
            renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE);
        if (moved != 0 && (errno == EINVAL || errno == ENOSYS)) {
            moved = link(temporary.c_str(), name.c_str());
            if (moved == 0) {
                std::remove(temporary.c_str());
            }
        }
        if (moved == 0) {
            sync_path(folder_of(name), O_RDONLY | O_DIRECTORY);
            *kept = name;
            return true;
        }
        if (errno != EEXIST) {
            *error = "cannot rename the finished file to '" + name + "': " + std::strerror(errno);
            std::remove(temporary.c_str());
            return false;
        }
    }
    *error = "every name for the finished file is taken, the last '" +
             (names.empty() ? std::string() : names.back()) + "'";
    std::remove(temporary.c_str());
    return false;
}

bool write_file_committed(const std::string& path, const void* data, std::size_t size,
                          std::string* error) {
    std::string temporary;
    const int fd = create_temporary_beside(path, &temporary);
    if (fd < 0) {
        *error = "cannot create a file beside '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        *error = "cannot write '" + path + "': " + std::strerror(errno);
        close(fd);
        std::remove(temporary.c_str());
        return false;
    }
    const bool written = std::fwrite(data, 1, size, file) == size && std::fflush(file) == 0;
    const int saved = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        *error = "writing '" + path + "' failed: " + std::strerror(written ? errno : saved);
        std::remove(temporary.c_str());
        return false;
    }
    return commit_temporary(temporary, path, error);
}

bool read_whole_file(const std::string& path, std::size_t max_size, FileBytes* bytes,
                     std::string* error) {
    // Opened without blocking, so that a FIFO or a device is refused, not waited on.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = std::string("cannot read it: ") + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = S_ISDIR(info.st_mode) ? "it is a folder" : "it is not a regular file";
        close(fd);
        return false;
    }
    const std::size_t size = static_cast<std::size_t>(info.st_size);
    if (size > max_size) {
        *error = "it is " + std::to_string(size) + " bytes, more than the " +
                 std::to_string(max_size) + " it may have";
        close(fd);
        return false;
    }
    bytes->data.reset(static_cast<char*>(std::malloc(size > 0 ? size : 1)));
    if (bytes->data == nullptr) {
        close(fd);
        *error = "cannot read it: " + std::to_string(size) + " bytes do not fit in memory";
        return false;
    }
    bytes->capacity = size;
    bytes->size = 0;
    while (bytes->size < size) {
        const ssize_t n = read(fd, bytes->data.get() + bytes->size, size - bytes->size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // A file that shrank while read is short; the checks of its contents say so.
            if (n < 0) {
                *error = std::string("cannot read it: ") + std::strerror(errno);
                close(fd);
                return false;
            }
            break;
        }
        bytes->size += static_cast<std::size_t>(n);
    }
    close(fd);
    return true;
}

}  // namespace lumeth::record
