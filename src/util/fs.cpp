#include "util/fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "util/ordered_map.hpp"
#include "util/signals.hpp"

namespace nuvek {

namespace {

// Drops separators and "." components from the end of a path.
std::string_view trim_end(std::string_view p) {
    while (true) {
        while (!p.empty() && p.back() == '/') p.remove_suffix(1);
        if (p.size() >= 2 && p.back() == '.' && p[p.size() - 2] == '/') {
            p.remove_suffix(1);
            continue;
        }
        return p;
    }
}

bool is_dir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The file a chain of symbolic links ends at (path itself when it is no
// link); nothing when the chain is too long to follow, left for open() to
// report.
std::optional<std::string> final_target(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(current.c_str(), link.data(), link.size());
        if (n < 0 || static_cast<std::size_t>(n) >= link.size()) return std::nullopt;
        link.resize(static_cast<std::size_t>(n));
        if (link.empty()) return std::nullopt;
        if (link[0] == '/') {
            current = std::move(link);
        } else {
            // Relative to the directory that holds the link.
            const std::optional<std::string> dir = parent_of(current);
            current = dir && !dir->empty() ? *dir + (dir->back() == '/' ? "" : "/") + link : link;
        }
    }
    return std::nullopt;
}

std::string directory_prefix(const std::string& file) {
    const std::optional<std::string> dir = parent_of(file);
    if (!dir || dir->empty()) return "";
    return dir->back() == '/' ? *dir : *dir + "/";
}

// A name for a temporary file in the directory prefix dir.
std::string temporary_name(const std::string& dir) {
    char name[40];
    std::snprintf(name, sizeof name, ".tophit-%016llx.tmp", static_cast<unsigned long long>(random_seed()));
    return dir + name;
}

}  // namespace

int Fd::close() noexcept {
    if (fd_ < 0) return 0;
    const int f = fd_;
    fd_ = -1;
    // The descriptor is gone even when close reports EINTR: never retry.
    return ::close(f) == 0 ? 0 : errno;
}

bool has_nul(std::string_view path) noexcept { return path.find('\0') != std::string_view::npos; }

std::optional<std::string> parent_of(std::string_view path) {
    if (path.empty()) return std::nullopt;
    const bool rooted = path[0] == '/';
    const std::string_view p = trim_end(path);
    if (p.empty()) return std::nullopt;  // only separators: the root
    const std::size_t slash = p.rfind('/');
    if (slash == std::string_view::npos) return std::string();
    const std::string_view parent = trim_end(p.substr(0, slash));
    if (parent.empty()) return std::string(rooted ? "/" : "");
    return std::string(parent);
}

int create_dir_all(const std::string& dir) {
    if (dir.empty()) return 0;
    if (::mkdir(dir.c_str(), 0777) == 0) return 0;
    int err = errno;
    if (err != ENOENT) return is_dir(dir) ? 0 : err;
    const std::optional<std::string> parent = parent_of(dir);
    if (!parent) return err;
    if (const int e = create_dir_all(*parent)) return e;
    if (::mkdir(dir.c_str(), 0777) == 0) return 0;
    err = errno;
    return is_dir(dir) ? 0 : err;
}

int open_file(const char* path, int flags, mode_t mode) {
    while (true) {
        const int fd = ::open(path, flags, mode);
        if (fd >= 0 || errno != EINTR) return fd;
        check_signals();
    }
}

int write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno != EINTR) return errno;
            check_signals();
            continue;
        }
        if (n == 0) return -1;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

ssize_t read_some(int fd, char* data, std::size_t size) {
    while (true) {
        const ssize_t n = ::read(fd, data, size);
        if (n >= 0 || errno != EINTR) return n;
        check_signals();
    }
}

// ---------------------------------------------------------------------------
// Replacing a file

FileReplacement::~FileReplacement() {
    fd_.close();
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

int FileReplacement::open(const std::string& path) {
    const std::optional<std::string> target = path.back() == '/' ? std::nullopt : final_target(path);
    struct stat old;
    bool existing = false, absent = false;
    if (target) {
        if (::lstat(target->c_str(), &old) == 0)
            existing = S_ISREG(old.st_mode);
        else
            absent = errno == ENOENT;
    }
    if (existing || absent) {
        target_ = *target;
        const std::string dir = directory_prefix(target_);
        int err = 0;
        if (open_unnamed(dir, err) || (err == 0 && open_named(dir, err)))
            return existing ? take_over_attributes(old) : 0;
        // A directory that takes no new file may still hold a file the
        // process may rewrite: in place, once its new size is reserved.
        if (err != EACCES && err != EPERM && err != EROFS) return err;
        if (existing) {
            mode_ = Mode::Reserved;
            fd_.reset(open_file(target_.c_str(), O_WRONLY | O_CLOEXEC));
            return fd_.valid() ? 0 : errno;
        }
    }
    // FIFOs, devices, directories (which fail here) and paths that cannot
    // be looked at: opened as they are, reporting whatever error open finds.
    mode_ = Mode::InPlace;
    fd_.reset(open_file(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    return fd_.valid() ? 0 : errno;
}

// A file without a name (O_TMPFILE), which a killed process cannot leave
// behind: it gets one only once complete. False with err 0 where the
// system or the file system offers none, or where it could not be named
// later through /proc.
bool FileReplacement::open_unnamed(const std::string& dir, int& err) {
#if defined(O_TMPFILE)
    const std::string where = dir.empty() ? "." : dir;
    // A new file gets 0666 less the umask, as an in-place create would.
    const int fd = open_file(where.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
        err = errno;
        if (err == EISDIR || err == EOPNOTSUPP || err == EINVAL) err = 0;  // not supported here
        return false;
    }
    fd_.reset(fd);
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    if (::access(proc.c_str(), F_OK) != 0) {
        fd_.close();
        return false;
    }
    mode_ = Mode::Unnamed;
    return true;
#else
    (void)dir;
    err = 0;
    return false;
#endif
}

bool FileReplacement::open_named(const std::string& dir, int& err) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string temp = temporary_name(dir);
        const int fd = open_file(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            err = errno;
            return false;
        }
        fd_.reset(fd);
        temp_ = std::move(temp);
        mode_ = Mode::Named;
        return true;
    }
    err = EEXIST;
    return false;
}

// The new file keeps the old one's owner and group where the process may
// set them (failures to do so are not errors) and its permission bits.
int FileReplacement::take_over_attributes(const struct stat& old) noexcept {
    struct stat now;
    if (::fstat(fd_.get(), &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid)) {
        // Both ids (the superuser), else at least a group the process is in.
        if (::fchown(fd_.get(), old.st_uid, old.st_gid) != 0 && ::fchown(fd_.get(), static_cast<uid_t>(-1), old.st_gid) != 0) {
        }
    }
    return ::fchmod(fd_.get(), old.st_mode & 0777) == 0 ? 0 : errno;
}

int FileReplacement::reserve(std::uint64_t size) {
#if defined(__APPLE__)
    (void)size;  // no posix_fallocate: nothing is reserved
    return 0;
#else
    if (size == 0) return 0;
    while (true) {
        const int err = ::posix_fallocate(fd_.get(), 0, static_cast<off_t>(size));
        if (err != EINTR) return err;
        check_signals();
    }
#endif
}

int FileReplacement::finish(std::uint64_t size) {
    switch (mode_) {
        case Mode::InPlace:
            fd_.close();  // the data reached the system already; a late error is ignored
            return 0;
        case Mode::Reserved: {
            const int err = ::ftruncate(fd_.get(), static_cast<off_t>(size)) == 0 ? 0 : errno;
            fd_.close();
            return err;
        }
        case Mode::Unnamed:
            // Stays open and nameless: replace() names it and renames it
            // in place at once, so that a process killed in between leaves
            // as little time as possible for a stray temporary file.
            return 0;
        case Mode::Named:
            return fd_.close();
    }
    return 0;
}

int FileReplacement::replace() {
    if (mode_ == Mode::Unnamed && fd_.valid()) {
        const std::string proc = "/proc/self/fd/" + std::to_string(fd_.get());
        const std::string dir = directory_prefix(target_);
        for (int attempt = 0;; ++attempt) {
            std::string temp = temporary_name(dir);
            if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                temp_ = std::move(temp);
                break;
            }
            if (errno != EEXIST || attempt == 15) return errno;
        }
        const int err = ::rename(temp_.c_str(), target_.c_str()) == 0 ? 0 : errno;
        if (err == 0) temp_.clear();
        fd_.close();  // a local file (the only kind without a name): nothing is reported late
        return err;
    }
    if (temp_.empty()) return 0;
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return errno;
    temp_.clear();
    return 0;
}

}  // namespace nuvek
