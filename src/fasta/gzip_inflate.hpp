// Streaming inflate of gzip members, one member at a time, over a
// compressed-input buffer of its own.
//
// Built on ISA-L's inflate where the build found it (about twice as fast as
// zlib on DNA), on the system's zlib otherwise; both check each member's
// CRC-32 and length.
#pragma once

#include <cstddef>
#include <memory>

namespace nuvek {

class GzipInflater {
public:
    // Compressed bytes per read of the file.
    static constexpr std::size_t kInputSize = 256 * 1024;

    // Throws std::bad_alloc.
    GzipInflater();
    ~GzipInflater();
    GzipInflater(const GzipInflater&) = delete;
    GzipInflater& operator=(const GzipInflater&) = delete;

    // Where the caller puts up to kInputSize fresh compressed bytes, once the
    // pending ones are used up; supply(n) then makes them pending.
    char* input_space() noexcept { return in_.get(); }
    void supply(std::size_t n) noexcept {
        next_ = in_.get();
        avail_ = n;
    }
    std::size_t pending() const noexcept { return avail_; }
    const char* pending_data() const noexcept { return next_; }
    void skip(std::size_t n) noexcept {
        next_ += n;
        avail_ -= n;
    }

    // Starts a new member at the pending bytes.
    void reset();

    // Inflates pending bytes into out (cap bytes) and returns how many were
    // written. Sets member_end once the member's trailer has been read and
    // checked; the bytes after it stay pending. Returns with output, at the
    // member's end, or with every pending byte used. Throws
    // FastaError("invalid gzip data") on damaged data, std::bad_alloc.
    std::size_t inflate(char* out, std::size_t cap, bool& member_end);

private:
    // Refuses a member whose fixed header announces what no reader may
    // accept: a method other than deflate, or reserved flag bits set (which
    // one library rejects and the other ignores). Looks at the first four
    // bytes of the member, wherever reads split them.
    void check_fixed_header();

    struct State;
    std::unique_ptr<State> state_;
    std::unique_ptr<char[]> in_;
    const char* next_ = nullptr;
    std::size_t avail_ = 0;
    std::size_t header_seen_ = 0;  // bytes of the member's fixed header checked
};

}  // namespace nuvek
