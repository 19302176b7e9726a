#include "util/memory.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <string>
#include <string_view>
#include <vector>

namespace nuvek {
namespace {

constexpr std::uint64_t kUnlimited = ~std::uint64_t{0};

// The whole of a small file (proc and cgroup files), or nothing.
std::optional<std::string> read_file(const std::string& path) {
    int fd;
    while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
    }
    if (fd < 0) return std::nullopt;
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > (1 << 20)) break;
    }
    ::close(fd);
    return text;
}

std::optional<std::uint64_t> parse_u64(std::string_view s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.remove_suffix(1);
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

// The value of the line "key value" of a stat file, 0 when absent.
std::uint64_t stat_field(std::string_view text, std::string_view key) {
    for (std::size_t at = 0; at < text.size();) {
        std::size_t eol = text.find('\n', at);
        if (eol == std::string_view::npos) eol = text.size();
        const std::string_view line = text.substr(at, eol - at);
        if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ' ')
            return parse_u64(line.substr(key.size() + 1)).value_or(0);
        at = eol + 1;
    }
    return 0;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (std::size_t at = 0;;) {
        const std::size_t end = s.find(sep, at);
        parts.push_back(s.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (end == std::string_view::npos) return parts;
        at = end + 1;
    }
}

// The directories of this process's memory cgroup and its ancestors up to
// the hierarchy's mount point, with the hierarchy's version. Found once:
// a process does not move between groups on its own.
struct Cgroup {
    bool v2 = false;
    std::vector<std::string> dirs;
};

Cgroup find_cgroup() {
    const auto self = read_file("/proc/self/cgroup");
    const auto mounts = read_file("/proc/self/mountinfo");
    if (!self || !mounts) return {};
    // The group's path in the v1 memory hierarchy, else in the v2 one.
    std::string_view v1_path, v2_path;
    bool have_v1 = false, have_v2 = false;
    for (const std::string_view line : split(*self, '\n')) {
        const auto f = split(line, ':');
        if (f.size() < 3) continue;
        const std::string_view path = line.substr(f[0].size() + f[1].size() + 2);
        if (f[0] == "0" && f[1].empty()) {
            v2_path = path;
            have_v2 = true;
        }
        for (const std::string_view c : split(f[1], ','))
            if (c == "memory") {
                v1_path = path;
                have_v1 = true;
            }
    }
    Cgroup found;
    for (const std::string_view line : split(*mounts, '\n')) {
        // id parent dev root mount-point options [optional...] - type source super-options
        const std::size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        const auto f = split(line.substr(0, dash), ' ');
        const auto t = split(line.substr(dash + 3), ' ');
        if (f.size() < 5 || t.size() < 3) continue;
        bool v2 = t[0] == "cgroup2";
        bool v1 = false;
        if (t[0] == "cgroup")
            for (const std::string_view o : split(t[2], ','))
                if (o == "memory") v1 = true;
        if (!((v1 && have_v1) || (v2 && have_v2))) continue;
        std::string_view path = v1 ? v1_path : v2_path;
        const std::string_view root = f[3];
        if (root != "/" && path.substr(0, root.size()) == root) path.remove_prefix(root.size());
        const std::string mount(f[4]);
        std::string dir = mount + (path == "/" ? "" : std::string(path));
        // v2 groups hold the memory files only where the controller is on.
        if (v2 && !read_file(dir + "/memory.max")) continue;
        Cgroup g;
        g.v2 = v2;
        for (;;) {
            g.dirs.push_back(dir);
            if (dir.size() <= mount.size()) break;
            dir.resize(dir.rfind('/'));
        }
        if (v1) return g;  // the memory controller's own hierarchy wins
        found = std::move(g);
    }
    return found;
}

// What the cgroup lets this process still take.
std::uint64_t cgroup_headroom() {
    static const Cgroup group = find_cgroup();
    std::uint64_t room = kUnlimited;
    for (const std::string& dir : group.dirs) {
        const auto limit_text = read_file(dir + (group.v2 ? "/memory.max" : "/memory.limit_in_bytes"));
        const auto limit = limit_text ? parse_u64(*limit_text) : std::nullopt;  // "max": none
        if (!limit) continue;
        const auto stat = read_file(dir + "/memory.stat");
        std::uint64_t used = 0;
        if (stat)
            used = group.v2 ? stat_field(*stat, "anon") + stat_field(*stat, "shmem")
                            : stat_field(*stat, "total_rss") + stat_field(*stat, "total_shmem");
        room = std::min(room, *limit > used ? *limit - used : 0);
    }
    return room;
}

// What RLIMIT_AS and RLIMIT_DATA let this process still map.
std::uint64_t rlimit_headroom() {
    rlimit as{}, data{};
    const bool as_set = getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY;
    const bool data_set = getrlimit(RLIMIT_DATA, &data) == 0 && data.rlim_cur != RLIM_INFINITY;
    if (!as_set && !data_set) return kUnlimited;
    // /proc/self/statm: total size, resident, shared, text, lib, data, dirty (pages).
    std::uint64_t size = 0, data_used = 0;
    if (const auto statm = read_file("/proc/self/statm")) {
        const auto f = split(*statm, ' ');
        const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGE_SIZE));
        if (f.size() >= 6) {
            size = parse_u64(f[0]).value_or(0) * page;
            data_used = parse_u64(f[5]).value_or(0) * page;
        }
    }
    std::uint64_t room = kUnlimited;
    if (as_set) room = std::min<std::uint64_t>(room, as.rlim_cur > size ? as.rlim_cur - size : 0);
    if (data_set) room = std::min<std::uint64_t>(room, data.rlim_cur > data_used ? data.rlim_cur - data_used : 0);
    return room;
}

}  // namespace

std::uint64_t physical_memory_bytes() noexcept {
    static const std::uint64_t bytes = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGE_SIZE);
        if (pages <= 0 || page_size <= 0) return std::uint64_t{1} << 32;
        return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
    }();
    return bytes;
}

namespace {

std::array<std::atomic<KeptMemoryRelease>, 4> releases{};

}  // namespace

void on_memory_short(KeptMemoryRelease release) noexcept {
    for (auto& slot : releases) {
        KeptMemoryRelease empty = nullptr;
        if (slot.compare_exchange_strong(empty, release) || empty == release) return;
    }
}

void release_kept_memory() noexcept {
    for (auto& slot : releases)
        if (const KeptMemoryRelease release = slot.load()) release();
}

std::uint64_t allocatable_bytes() noexcept {
    try {
        return std::min({physical_memory_bytes(), cgroup_headroom(), rlimit_headroom()});
    } catch (...) {  // no memory left even for reading the limits
        return 0;
    }
}

}  // namespace nuvek
