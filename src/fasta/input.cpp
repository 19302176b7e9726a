#include "fasta/input.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fasta/fasta_reader.hpp"
#include "fasta/gzip_inflate.hpp"
#include "util/os_error.hpp"
#include "util/quote.hpp"
#include "util/signals.hpp"

namespace nuvek {
namespace {

// Pending signals are looked for after this many bytes read or handed out:
// a few milliseconds of work.
constexpr std::uint64_t kSignalCheckBytes = 4 << 20;

bool is_gzip(const char* p, std::size_t n) {
    return n >= 2 && static_cast<unsigned char>(p[0]) == 0x1f && static_cast<unsigned char>(p[1]) == 0x8b;
}

}  // namespace

FastaInput::FastaInput(std::string_view path) {
    const std::string p(path);
    std::string cause;
    if (p.find('\0') != std::string::npos) {
        cause = "data provided contains a nul byte";
    } else {
        // Opening a FIFO blocks until a writer comes; a signal ends the wait
        // with EINTR, and the open is retried only when no handler raised.
        while ((fd_ = ::open(p.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) check_signals();
        if (fd_ < 0) cause = os_error_message(errno);
    }
    if (fd_ < 0) throw FastaError("Failed to read fasta from " + quote_str(path), cause);
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

FastaInput::~FastaInput() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t FastaInput::read_raw(char* out, std::size_t cap) {
    ssize_t n;
    while ((n = ::read(fd_, out, cap)) < 0) {
        if (errno != EINTR) throw FastaError(os_error_message(errno));
        check_signals();
    }
    count(static_cast<std::size_t>(n));
    return static_cast<std::size_t>(n);
}

void FastaInput::count(std::size_t n) {
    since_check_ += n;
    if (since_check_ >= kSignalCheckBytes) {
        since_check_ = 0;
        check_signals();
    }
}

// The first bytes decide: the gzip magic moves them into the inflater's
// input, anything else is handed out as it is. A pipe may deliver a single
// byte at first, so at least two are read unless the stream ends.
std::size_t FastaInput::start(char* out, std::size_t cap) {
    // Never more than the inflater's input holds, should the stream be gzip.
    const std::size_t limit = cap < GzipInflater::kInputSize ? cap : GzipInflater::kInputSize;
    std::size_t n = 0;
    while (n < 2) {
        const std::size_t got = read_raw(out + n, limit - n);
        if (got == 0) break;
        n += got;
    }
    if (!is_gzip(out, n)) {
        mode_ = Mode::Plain;
        return n;
    }
    mode_ = Mode::Gzip;
    gz_ = std::make_unique<GzipInflater>();
    std::memcpy(gz_->input_space(), out, n);
    gz_->supply(n);
    return read_gzip(out, cap);
}

std::size_t FastaInput::read(char* out, std::size_t cap) {
    if (mode_ == Mode::Plain) return read_raw(out, cap);
    if (mode_ == Mode::Gzip) return read_gzip(out, cap);
    return start(out, cap);
}

// Inflates member after member. Between members, zero bytes (padding) are
// skipped; the stream ends where the file ends outside a member. The file
// ending inside a member means the stream was cut short.
std::size_t FastaInput::read_gzip(char* out, std::size_t cap) {
    GzipInflater& gz = *gz_;
    for (;;) {
        if (gz.pending() == 0 && !eof_) {
            const std::size_t n = read_raw(gz.input_space(), GzipInflater::kInputSize);
            gz.supply(n);
            eof_ = n == 0;
        }
        if (!in_member_) {
            std::size_t zeros = 0;
            while (zeros < gz.pending() && gz.pending_data()[zeros] == 0) ++zeros;
            gz.skip(zeros);
            if (gz.pending() == 0) {
                if (eof_) return 0;
                continue;
            }
            // Anything but another member's magic after a member is damage
            // (a lone 1f at the very end is caught as a cut-off member).
            const auto* p = reinterpret_cast<const unsigned char*>(gz.pending_data());
            if (p[0] != 0x1f || (gz.pending() >= 2 && p[1] != 0x8b))
                throw FastaError("invalid gzip data");
            gz.reset();
            in_member_ = true;
        }
        const std::size_t before = gz.pending();
        bool member_end = false;
        const std::size_t produced = gz.inflate(out, cap, member_end);
        if (member_end) in_member_ = false;
        if (produced > 0) {
            count(produced);
            return produced;
        }
        if (member_end) continue;
        if (gz.pending() == 0) {
            if (eof_) throw FastaError("unexpected end of gzip stream");
            continue;
        }
        // Input left, no output, member not ended: the data makes no sense.
        if (gz.pending() == before) throw FastaError("invalid gzip data");
    }
}

}  // namespace nuvek
