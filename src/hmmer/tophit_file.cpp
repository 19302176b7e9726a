// Writing and reading the top-hit file of a table.
#include "hmmer/tophit_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "hmmer/extended.hpp"
#include "hmmer/tophit.hpp"
#include "panic.hpp"
#include "util/memory.hpp"
#include "util/os_error.hpp"
#include "util/quote.hpp"
#include "util/utf8.hpp"

namespace nuvek {

namespace {

[[noreturn]] void fail(const char* what, const std::string& description) {
    throw Panic(std::string(what) + ": " + description);
}

[[noreturn]] void fail_os(const char* what, int code) { fail(what, os_error_description(code)); }

// ---------------------------------------------------------------------------
// Number grammar

[[noreturn]] void parse_error(const char* kind) {
    throw Panic(std::string(kUnwrapErr) + "ParseFloatError { kind: " + kind + " }");
}

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The first byte at or after q that is not '0': eight at a time, for the
// positional forms of small values.
inline const char* skip_zeros(const char* q, const char* end) {
    while (end - q >= 8) {
        std::uint64_t w;
        std::memcpy(&w, q, sizeof w);
        w ^= 0x3030303030303030ull;  // zero bytes where q holds '0'
        if (w == 0) {
            q += 8;
            continue;
        }
        if constexpr (std::endian::native == std::endian::little) q += __builtin_ctzll(w) >> 3;
        break;
    }
    while (q < end && *q == '0') ++q;
    return q;
}

constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// mantissa x 10^power (mantissa > 0) rounded to the nearest double, when a
// fast conversion can tell; false leaves it to from_chars.
inline bool convert_fast(std::uint64_t mantissa, long long power, const long double* pow10, double& out) {
    // Exact when the mantissa and the power of ten are both exact doubles:
    // one correctly rounded multiplication or division.
    if (mantissa <= (std::uint64_t{1} << 53) && power >= -22 && power <= 22) {
        const double m = static_cast<double>(mantissa);
        out = power < 0 ? m / kExactPow10[-power] : m * kExactPow10[power];
        return true;
    }
    // Otherwise the product in extended precision is within 3 units of its
    // last place of the exact value, so it rounds to the same double unless
    // its 11 bits below the double's last place lie next to the halfway point.
    if constexpr (extended::kX87) {
        if (pow10 && power >= extended::kPow10Min && power <= extended::kPow10Max) {
            const long double y = static_cast<long double>(mantissa) * extended::pow10(pow10, static_cast<int>(power));
            if (y >= 0x1p-1022L && y < 0x1p1023L) {  // a normal double, not in the top binade
                std::uint64_t significand;
                std::memcpy(&significand, &y, sizeof significand);
                const unsigned below = static_cast<unsigned>(significand & 0x7FF);
                if (below + 8 < 1024 || below > 1024 + 8) {
                    out = static_cast<double>(y);
                    return true;
                }
            }
        }
    }
    return false;
}

}  // namespace

double parse_number(std::string_view field) { return parse_number(field, fast_number_table()); }

double parse_number(std::string_view field, const long double* pow10) {
    if (field.empty()) parse_error("Empty");
    const char* p = field.data();
    const char* const end = p + field.size();
    const bool negative = *p == '-';
    if (negative || *p == '+') ++p;
    const double sign = negative ? -1.0 : 1.0;

    if (p < end && !is_digit(*p) && *p != '.') {
        const std::string_view word(p, static_cast<std::size_t>(end - p));
        if (equals_ignoring_case(word, "inf") || equals_ignoring_case(word, "infinity"))
            return sign * std::numeric_limits<double>::infinity();
        if (equals_ignoring_case(word, "nan")) return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);
        parse_error("Invalid");
    }

    // Decimal digits with at most one point and at least one digit. The
    // first 19 significant digits are gathered in mantissa, so that the
    // value is mantissa x 10^(scale + exponent) when nothing was dropped;
    // magnitude is the decimal position of the first nonzero digit.
    std::uint64_t mantissa = 0;
    int significant = 0;
    bool dropped = false, point = false;
    std::size_t digits = 0;
    long long scale = 0, magnitude = 0;
    bool gathered = false;

    // Most fields hold at most 19 significant digits: gather them in one
    // pass without the bookkeeping for dropped digits. Longer ones are read
    // again by the loop below.
    {
        const char* q = p;
        while (q < end && *q == '0') ++q;
        const char* const first = q;  // the integer part's first nonzero digit
        std::uint64_t m = 0;
        for (; q < end && is_digit(*q); ++q) m = m * 10 + static_cast<unsigned>(*q - '0');
        long long sig = q - first, sc = 0, mag = q - first;
        bool any = q > p;
        if (q < end && *q == '.') {
            const char* const f = ++q;
            if (m == 0) {
                // Positional forms of small values: the zeros after the
                // point, eight at a time.
                q = skip_zeros(q, end);
                mag = -(q - f);
            }
            const char* const g = q;
            for (; q < end && is_digit(*q); ++q) m = m * 10 + static_cast<unsigned>(*q - '0');
            sig += q - g;
            sc = -(q - f);
            any = any || q > f;
        }
        if (sig <= 19) {
            mantissa = m;
            scale = sc;
            magnitude = mag;
            digits = any ? 1 : 0;
            p = q;
            gathered = true;
        }
    }

    for (; !gathered && p < end; ++p) {
        const unsigned d = static_cast<unsigned char>(*p) - '0';
        if (d < 10) {
            ++digits;
            if (mantissa == 0 && d == 0) {
                if (point) {
                    --magnitude;
                    --scale;
                }
                continue;
            }
            if (!point) ++magnitude;
            if (significant < 19) {
                mantissa = mantissa * 10 + d;
                ++significant;
                if (point) --scale;
            } else {
                dropped = dropped || d != 0;
                if (!point) ++scale;
            }
        } else if (*p == '.' && !point) {
            point = true;
            if (mantissa == 0) {
                // Positional forms of small values: skip the run of zeros
                // after the point in one tight loop.
                const char* q = skip_zeros(p + 1, end);
                const auto zeros = static_cast<long long>(q - (p + 1));
                digits += static_cast<std::size_t>(zeros);
                magnitude -= zeros;
                scale -= zeros;
                p = q - 1;
            }
        } else {
            break;
        }
    }
    if (digits == 0) parse_error("Invalid");

    // An optional exponent: "e" or "E", an optional sign, at least one digit.
    long long exponent = 0;
    if (p < end) {
        if ((*p | 0x20) != 'e') parse_error("Invalid");
        ++p;
        bool exponent_negative = false;
        if (p < end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
        const char* first = p;
        for (; p < end && is_digit(*p); ++p)
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (*p - '0');
        if (p == first || p != end) parse_error("Invalid");
        if (exponent_negative) exponent = -exponent;
    }

    const long long power = scale + exponent;
    if (mantissa == 0) return sign * 0.0;
    double value;
    if (!dropped && convert_fast(mantissa, power, pow10, value)) return sign * value;

    // from_chars takes a leading "-" but not a "+".
    const char* begin = field.data() + (field[0] == '+' ? 1 : 0);
    value = 0;
    const auto res = std::from_chars(begin, end, value, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range)
        return magnitude + exponent > 0 ? sign * std::numeric_limits<double>::infinity() : sign * 0.0;
    if (res.ec != std::errc() || res.ptr != end) parse_error("Invalid");
    return value;
}

namespace {

// ---------------------------------------------------------------------------
// Paths and files

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    // Closes now and returns the error number of the close, or 0.
    int close() {
        const int f = fd;
        fd = -1;
        return ::close(f) == 0 ? 0 : errno;
    }
};

bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

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

// The path with its last component removed: empty for a bare name, nothing
// for the empty path and for the root directory alone.
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

bool is_dir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates dir and its missing ancestors (0777 less the umask); existing
// directories are accepted. Returns 0 or the error number.
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

// Writes all of data; returns 0, the error number, or -1 when the system
// accepted no bytes.
int write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return -1;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

std::string write_error_description(int code) {
    return code < 0 ? std::string(kWriteZeroDescription) : os_error_description(code);
}

// The file that write() fills: either a new temporary file beside path,
// renamed over path once complete, or path itself opened in place.
class Target {
public:
    Target(const std::string& path, const std::string& parent) : path_(path) {
        if (open_temporary(parent)) return;
        if (has_nul(path)) fail("Cannot create file!", kNulDescription);
        fd_.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_.fd < 0) fail_os("Cannot create file!", errno);
    }

    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    ~Target() {
        if (!temp_.empty()) {
            fd_.close();
            ::unlink(temp_.c_str());
        }
    }

    int fd() const { return fd_.fd; }

    // Closes the file and, for a temporary file, puts it in place of path.
    // what names the failure if the close reports an error.
    void commit(const char* what) {
        if (temp_.empty()) {
            fd_.close();  // the data reached the system already; a late error is ignored
            return;
        }
        if (const int err = fd_.close()) fail_os(what, err);
        if (::rename(temp_.c_str(), path_.c_str()) != 0) fail_os("Cannot create file!", errno);
        temp_.clear();
    }

private:
    // Opens a temporary file when path names a regular file or nothing;
    // false when path is to be written in place.
    bool open_temporary(const std::string& parent) {
        if (has_nul(path_) || path_.back() == '/') return false;
        struct stat st;
        bool existing = false;
        if (::lstat(path_.c_str(), &st) == 0) {
            if (!S_ISREG(st.st_mode)) return false;
            existing = true;
        } else if (errno != ENOENT) {
            return false;  // opening in place reports the error
        }
        const std::string dir = parent.empty() || parent.back() == '/' ? parent : parent + "/";
        for (int attempt = 0; attempt < 16; ++attempt) {
            char name[40];
            std::snprintf(name, sizeof name, ".tophit-%016llx.tmp",
                          static_cast<unsigned long long>(random_seed()));
            std::string temp = dir + name;
            // A new file gets 0666 less the umask, as an in-place create would.
            Fd file(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (file.fd < 0) {
                const int err = errno;
                if (err == EEXIST) continue;
                // A directory we may not add to may still hold a file we may
                // rewrite: fall back to writing in place.
                if (err == EACCES || err == EPERM || err == EROFS) return false;
                fail_os("Cannot create file!", err);
            }
            // The new contents keep the permission bits of the file they replace.
            if (existing && ::fchmod(file.fd, st.st_mode & 0777) != 0) {
                const int err = errno;
                file.close();
                ::unlink(temp.c_str());
                fail_os("Cannot create file!", err);
            }
            std::swap(fd_.fd, file.fd);
            temp_ = std::move(temp);
            return true;
        }
        fail_os("Cannot create file!", EEXIST);
    }

    const std::string& path_;
    std::string temp_;  // empty when writing in place or once committed
    Fd fd_;
};

// A hit of the gene being written with integer keys that order like its
// numbers: ascending bit score, then descending e-value, which is the order
// of score_lt for every value but NaN (-0 and 0 get the same key). A NaN
// gets some key too, so hits holding one land somewhere, each exactly once.
struct Ranked {
    std::uint64_t bit_key;
    std::uint64_t e_key;
    const FamilyMap::Entry* entry;
};

inline std::uint64_t order_key(double x) {
    if (x == 0) x = 0.0;
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return (b >> 63) ? ~b : b | (std::uint64_t{1} << 63);
}

inline Ranked rank(const FamilyMap::Entry& e) {
    return {order_key(e.value.bit_score), ~order_key(e.value.e_val), &e};
}

// One 128-bit comparison, which compiles without branches: the outcome is
// unpredictable for hits in random order.
inline bool ranks_below(const Ranked& a, const Ranked& b) {
    using U128 = unsigned __int128;
    return ((U128{a.bit_key} << 64) | a.e_key) < ((U128{b.bit_key} << 64) | b.e_key);
}

// Stable insertion sort of v[lo, hi).
void insertion_sort(std::vector<Ranked>& v, std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo + 1; i < hi; ++i) {
        const Ranked x = v[i];
        std::size_t j = i;
        while (j > lo && ranks_below(x, v[j - 1])) {
            v[j] = v[j - 1];
            --j;
        }
        v[j] = x;
    }
}

// Stable sort, ascending: insertion sort of short runs, then merging.
void merge_sort_hits(std::vector<Ranked>& v, std::vector<Ranked>& scratch) {
    const std::size_t n = v.size();
    constexpr std::size_t kRun = 16;
    for (std::size_t lo = 0; lo < n; lo += kRun) insertion_sort(v, lo, std::min(n, lo + kRun));
    if (n <= kRun) return;
    scratch.resize(n);
    for (std::size_t width = kRun; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            const std::size_t mid = std::min(n, lo + width), hi = std::min(n, lo + 2 * width);
            std::size_t a = lo, b = mid, o = lo;
            while (a < mid && b < hi) {
                const std::size_t take_b = ranks_below(v[b], v[a]);
                scratch[o++] = v[a + take_b * (b - a)];  // an index, not a branch
                b += take_b;
                a += 1 - take_b;
            }
            while (a < mid) scratch[o++] = v[a++];
            while (b < hi) scratch[o++] = v[b++];
        }
        v.swap(scratch);
    }
}

// Stable sort, ascending. Hits are first spread by bit score over about as
// many buckets as there are hits (a stable counting pass), which leaves
// only the few hits that share a bucket to an insertion sort. Bit scores
// that cannot be spread (NaN, infinities, all equal) or that crowd into a
// bucket go to the merge sort instead.
void sort_hits(std::vector<Ranked>& v, std::vector<Ranked>& scratch, std::vector<std::uint32_t>& counts) {
    const std::size_t n = v.size();
    constexpr std::size_t kMaxBuckets = 4096, kCrowded = 32;
    if (n <= 16 || n > kMaxBuckets) {
        if (n <= 16)
            insertion_sort(v, 0, n);
        else
            merge_sort_hits(v, scratch);
        return;
    }
    double lo = v[0].entry->value.bit_score, hi = lo;
    bool nan = false;
    for (const Ranked& r : v) {
        const double x = r.entry->value.bit_score;
        nan |= x != x;
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
    }
    const std::size_t buckets = std::bit_ceil(n);
    const double range = hi - lo;  // infinite when a bit score is
    const double per_unit = static_cast<double>(buckets) / range;
    if (nan || !(range > 0) || !std::isfinite(range) || !std::isfinite(per_unit)) return merge_sort_hits(v, scratch);
    // Monotone in the bit score: a smaller score never lands in a later
    // bucket, and every product is finite and at least 0.
    auto bucket_of = [&](const Ranked& r) {
        const double b = (r.entry->value.bit_score - lo) * per_unit;
        return b >= static_cast<double>(buckets - 1) ? buckets - 1 : static_cast<std::size_t>(b);
    };
    counts.assign(buckets + 1, 0);
    for (const Ranked& r : v) ++counts[bucket_of(r) + 1];
    std::uint32_t start = 0;
    for (std::size_t b = 1; b <= buckets; ++b) {
        if (counts[b] > kCrowded) return merge_sort_hits(v, scratch);
        start += counts[b];
        counts[b] = start;
    }
    scratch.resize(n);
    for (const Ranked& r : v) scratch[counts[bucket_of(r)]++] = r;
    v.swap(scratch);
    // Hits in different buckets are in order already.
    insertion_sort(v, 0, n);
}

// Refuses ids that would not read back as written.
void check_ids(const GeneMap& genes) {
    for (const auto& gene : genes) {
        if (unwritable_gene_id(gene.key))
            throw Panic("Cannot write gene id " + quote_str(gene.key) + ": it contains a tab or a line feed");
        for (const auto& family : gene.value) {
            if (unwritable_family_id(family.key))
                throw Panic("Cannot write family id " + quote_str(family.key) +
                            ": it contains a comma, a semicolon, a tab or a line feed");
        }
    }
}

constexpr std::size_t kBufferSize = 64 * 1024;

inline char* copy(char* p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// The writer's output buffer: text is rendered straight into it and sent
// to the file whenever it holds kBufferSize bytes or more.
class OutBuffer {
public:
    explicit OutBuffer(int fd) : fd_(fd), data_(kBufferSize + 4 * kMaxNumberChars) {}

    // Room for n more bytes at the end of the buffered text.
    char* room(std::size_t n) {
        if (size_ + n > data_.size()) data_.resize(size_ + n);
        return data_.data() + size_;
    }

    // Takes the text written up to end into the buffer.
    void commit(char* end) {
        size_ = static_cast<std::size_t>(end - data_.data());
        if (size_ >= kBufferSize) flush();
    }

    // Sends the buffered text; a failure is one of a gene line.
    void flush() {
        if (size_ == 0) return;
        if (const int err = write_all(fd_, data_.data(), size_))
            fail("TODO: panic message", write_error_description(err));
        size_ = 0;
    }

private:
    int fd_;
    std::vector<char> data_;
    std::size_t size_ = 0;
};

// Reads a file line by line through a buffer that grows only for lines
// longer than it.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd), buf_(kBufferSize) {}

    // The next line without its LF (and a CR before the LF); false at the
    // end of the file. A failed read ends with an internal failure.
    bool next(std::string_view& line) {
        std::size_t scan = start_;
        while (true) {
            const void* lf = scan < end_ ? std::memchr(buf_.data() + scan, '\n', end_ - scan) : nullptr;
            if (lf) {
                const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(lf) - buf_.data());
                std::size_t stop = at;
                if (stop > start_ && buf_[stop - 1] == '\r') --stop;
                line = std::string_view(buf_.data() + start_, stop - start_);
                start_ = at + 1;
                return true;
            }
            if (eof_) {
                if (start_ == end_) return false;
                line = std::string_view(buf_.data() + start_, end_ - start_);
                start_ = end_;
                return true;
            }
            if (start_ > 0) {
                std::memmove(buf_.data(), buf_.data() + start_, end_ - start_);
                end_ -= start_;
                start_ = 0;
            }
            scan = end_;
            if (end_ == buf_.size()) {
                require_fits(buf_.size(), 2);
                buf_.resize(buf_.size() * 2);
            }
            fill();
        }
    }

private:
    void fill() {
        while (true) {
            const ssize_t n = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
            if (n < 0) {
                if (errno == EINTR) continue;
                fail_os("Cannot read file!", errno);
            }
            if (n == 0) eof_ = true;
            end_ += static_cast<std::size_t>(n);
            return;
        }
    }

    int fd_;
    std::vector<char> buf_;
    std::size_t start_ = 0, end_ = 0;
    bool eof_ = false;
};

// The first "," or ";" in [p, end), or end: eight bytes at a time, since
// small numbers in positional form run to hundreds of zeros.
inline const char* find_separator(const char* p, const char* end) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    while (std::endian::native == std::endian::little && end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, sizeof w);
        const std::uint64_t comma = w ^ (kOnes * ','), semi = w ^ (kOnes * ';');
        // Nonzero when some byte of comma or of semi is zero.
        // The lowest marked byte is the first match (marks above it may be
        // false); memory order is little-endian.
        const std::uint64_t hit = ((comma - kOnes) & ~comma & kHighs) | ((semi - kOnes) & ~semi & kHighs);
        if (hit) return p + (__builtin_ctzll(hit) >> 3);
        p += 8;
    }
    while (p < end && *p != ',' && *p != ';') ++p;
    return p;
}

// Reads the number field that starts at p and ends at the first "," or
// ";" or at end; stop gets that end. Fields as the writer produces them (an
// optional "-", digits, and an optional point with more digits, 19
// significant digits at most) are converted here, inline, in the same pass
// that finds their end; all others go to parse_number.
inline double read_number(const char* p, const char* end, const long double* pow10, const char*& stop) {
    const char* const start = p;
    const bool negative = p < end && *p == '-';
    p += negative;
    const char* q = p;
    while (q < end && *q == '0') ++q;
    const char* const first = q;
    std::uint64_t m = 0;
    for (; q < end && is_digit(*q); ++q) m = m * 10 + static_cast<unsigned>(*q - '0');
    long long significant = q - first, power = 0;
    bool any = q > p;
    if (q < end && *q == '.') {
        const char* const f = ++q;
        if (m == 0) q = skip_zeros(q, end);
        const char* const g = q;
        for (; q < end && is_digit(*q); ++q) m = m * 10 + static_cast<unsigned>(*q - '0');
        significant += q - g;
        power = -(q - f);
        any = any || q > f;
    }
    // Only digits, a point and a sign were passed, none of them a separator.
    stop = q == end || *q == ',' || *q == ';' ? q : find_separator(q, end);
    if (q == stop && any && significant <= 19) {
        const double sign = negative ? -1.0 : 1.0;
        if (m == 0) return sign * 0.0;
        double value;
        if (convert_fast(m, power, pow10, value)) return sign * value;
    }
    return parse_number(std::string_view(start, static_cast<std::size_t>(stop - start)), pow10);
}

// The number of bytes c in [p, end).
inline std::size_t count_byte(const char* p, const char* end, char c) {
    std::size_t n = 0;
#if defined(__SSE2__)
    // Sixteen bytes a step: each match adds 1 to a byte lane, and the lanes
    // are summed into two 64-bit counters before they can overflow.
    const __m128i pattern = _mm_set1_epi8(c);
    while (end - p >= 16) {
        const std::size_t steps = std::min<std::size_t>(static_cast<std::size_t>(end - p) / 16, 255);
        __m128i lanes = _mm_setzero_si128();
        for (std::size_t i = 0; i < steps; ++i, p += 16)
            lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), pattern));
        const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
        n += static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
             static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
#endif
    constexpr std::uint64_t kLows = 0x7F7F7F7F7F7F7F7Full;
    const std::uint64_t pattern8 = 0x0101010101010101ull * static_cast<unsigned char>(c);
    for (; end - p >= 8; p += 8) {
        std::uint64_t w;
        std::memcpy(&w, p, sizeof w);
        w ^= pattern8;
        // The high bit of each byte that is zero, and of no other byte.
        const std::uint64_t zero = ~(((w & kLows) + kLows) | w | kLows);
        n += static_cast<std::size_t>(((zero >> 7) * 0x0101010101010101ull) >> 56);
    }
    for (; p < end; ++p) n += *p == c;
    return n;
}

// Text up to the first c (or the end) and the rest after it (nothing when
// c is absent).
inline std::string_view field_before(std::string_view s, char c, std::size_t& at) {
    at = s.find(c);
    return at == std::string_view::npos ? s : s.substr(0, at);
}

}  // namespace

// ---------------------------------------------------------------------------
// Writer

void TopHitFile::write() const {
    const std::optional<std::string> parent = parent_of(path);
    if (!parent) throw Panic(kUnwrapNone);
    if (unwritable_ids) check_ids(hits);

    if (has_nul(*parent)) fail("Cannot create directory!", kNulDescription);
    if (const int err = create_dir_all(*parent)) fail_os("Cannot create directory!", err);

    Target target(path, *parent);
    if (const int err = write_all(target.fd(), kTopHitHeader.data(), kTopHitHeader.size()))
        fail("Cannot write to file!", write_error_description(err));

    OutBuffer out(target.fd());
    const long double* const fast = fast_number_table();
    std::vector<Ranked> order, scratch;
    std::vector<std::uint32_t> counts;
    const auto& genes = hits.entries();
    for (std::size_t g = 0; g < genes.size(); ++g) {
        const auto& gene = genes[g];
        // The next gene's hits live in a block of their own: start loading
        // it, a hit for each hit of this gene, while this gene is ranked.
        const auto& next = g + 1 < genes.size() ? genes[g + 1].value.entries() : gene.value.entries();
        const auto& entries = gene.value.entries();
        order.clear();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i < next.size()) __builtin_prefetch(&next[i]);
            order.push_back(rank(entries[i]));
        }
        // The rest of a larger next gene.
        for (std::size_t i = entries.size(); i < next.size(); ++i) __builtin_prefetch(&next[i]);
        sort_hits(order, scratch, counts);
        char* p = out.room(gene.key.size() + 1);
        p = copy(p, gene.key);
        *p++ = '\t';
        out.commit(p);
        for (std::size_t i = order.size(); i-- > 0;) {
            const FamilyMap::Entry& hit = *order[i].entry;
            p = out.room(hit.key.size() + 2 * kMaxNumberChars + 3);
            p = copy(p, hit.key);
            *p++ = ',';
            p = write_number(p, hit.value.e_val, fast);
            *p++ = ',';
            p = write_number(p, hit.value.bit_score, fast);
            *p++ = i > 0 ? ';' : '\n';
            out.commit(p);
        }
    }
    out.flush();
    target.commit(hits.empty() ? "Cannot write to file!" : "TODO: panic message");
}

// ---------------------------------------------------------------------------
// Reader

void TopHitFile::read() {
    if (has_nul(path)) fail("Cannot read file!", kNulDescription);
    Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0) fail_os("Cannot read file!", errno);

    LineReader reader(file.fd);
    const long double* const fast = fast_number_table();
    std::string_view line;
    bool header = true;
    while (reader.next(line)) {
        if (!utf8::is_valid(line)) continue;
        if (header) {
            header = false;
            continue;
        }
        std::size_t at;
        const std::string_view gene_id = field_before(line, '\t', at);
        if (at == std::string_view::npos) throw Panic(kUnwrapNone);
        const std::string_view field = field_before(line.substr(at + 1), '\t', at);

        // The gene's family map, looked up once the first hit is in.
        FamilyMap* families = nullptr;
        // Each piece of the hits field is scanned once, left to right: the
        // family id up to its ",", each number up to its "," or the ";"
        // that ends the piece, converted as it is scanned.
        const char* p = field.data();
        const char* const end = p + field.size();
        while (true) {
            const char* q = find_separator(p, end);
            if (q == end || *q == ';') throw Panic(kUnwrapNone);
            const std::string_view hmm_id(p, static_cast<std::size_t>(q - p));
            const double e_val = read_number(q + 1, end, fast, q);
            if (q == end || *q == ';') throw Panic(kUnwrapNone);
            const double bit_score = read_number(q + 1, end, fast, q);
            // Fields after a third "," are ignored.
            while (q < end && *q != ';') ++q;

            if (!families) {
                add_hit(gene_id, hmm_id, e_val, bit_score);
                families = hits.find(gene_id);
                // Room for the line's hits at once (within a bound: the
                // pieces may repeat families).
                families->reserve(families->size() + std::min<std::size_t>(count_byte(q, end, ';'), 4096));
            } else {
                // Ids read from a file end at their separators, so cannot
                // hold one: no need to note unwritable ids.
                offer(*families, hmm_id, Score{e_val, bit_score});
            }

            if (q == end) break;
            p = q + 1;
        }
    }
    file.close();
}

}  // namespace nuvek
