// File-system helpers for writing and reading whole files: descriptors that
// close themselves, system calls that retry when a signal interrupts them,
// directory creation, and the replacement of a file by new contents such
// that a failed or interrupted write leaves the old file as it was.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nuvek {

// Closes a descriptor when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { close(); }

    int get() const noexcept { return fd_; }
    // Takes over fd, closing the descriptor held before.
    void reset(int fd) noexcept {
        close();
        fd_ = fd;
    }
    bool valid() const noexcept { return fd_ >= 0; }
    // Closes now; returns 0 or the error number the close reported.
    int close() noexcept;

private:
    int fd_ = -1;
};

bool has_nul(std::string_view path) noexcept;

// The path with its last component removed: empty for a bare name, nothing
// for the empty path and for the root directory alone.
std::optional<std::string> parent_of(std::string_view path);

// Creates dir and its missing ancestors (0777 less the umask); existing
// directories are accepted. Returns 0 or the error number.
int create_dir_all(const std::string& dir);

// open(2) that runs pending signal handlers and retries when a signal
// interrupts it (a FIFO blocks in open until the other end opens): the
// descriptor, or -1 with errno set. Throws Interrupted when a handler raised.
int open_file(const char* path, int flags, mode_t mode = 0);

// Writes all of data, retrying after signals as open_file does; returns 0,
// the error number, or -1 when the system accepted no bytes.
int write_all(int fd, const char* data, std::size_t size);

// One read(2), retried after signals as open_file does: the byte count, or
// -1 with errno set.
ssize_t read_some(int fd, char* data, std::size_t size);

// The destination of a file written anew. For a regular file (or a name
// not yet taken) the new contents go to a temporary file in the same
// directory, unnamed where the system allows it, and replace the old file
// in one rename once complete; the old file's permission bits, and its
// owner and group where the process may set them, carry over. A symbolic
// link is followed to its final target, which is replaced; the link stays.
// Where the directory refuses a new file, an existing regular file is
// rewritten in place, but only after room for the whole new contents was
// reserved. FIFOs, devices and anything else are written in place.
class FileReplacement {
public:
    FileReplacement() = default;
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;
    // An unfinished temporary file is removed.
    ~FileReplacement();

    // Opens the destination for path (whose directory exists); 0 or the
    // error number.
    int open(const std::string& path);
    int fd() const noexcept { return fd_.get(); }

    // True when the size of the new contents must be passed to reserve()
    // before anything is written.
    bool needs_reservation() const noexcept { return mode_ == Mode::Reserved; }
    // Makes room for size bytes without changing the old contents; 0 or
    // the error number.
    int reserve(std::uint64_t size);

    // Ends the data: a file rewritten in place is cut to size bytes and
    // closed; a named temporary file is closed (a nameless one stays open
    // for replace()). 0 or the error number (a late
    // error of a file opened in place is ignored, as the data reached the
    // system already).
    int finish(std::uint64_t size);
    // Puts a finished temporary file in place of the target (a nameless
    // one is named and renamed in one step); 0 or the error number. Nothing to do for a file written in place.
    int replace();

private:
    enum class Mode { InPlace, Reserved, Unnamed, Named };

    bool open_unnamed(const std::string& dir, int& err);
    bool open_named(const std::string& dir, int& err);
    int take_over_attributes(const struct stat& old) noexcept;

    Mode mode_ = Mode::InPlace;
    Fd fd_;
    std::string target_;  // the file replaced
    std::string temp_;    // the temporary file's name while one exists
};

}  // namespace nuvek
