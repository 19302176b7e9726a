// An output buffer that text is rendered straight into, sent to a file in
// large writes, or only counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "util/fs.hpp"
#include "util/signals.hpp"

namespace nuvek {

// A failed write of buffered text: the error number, or -1 when the system
// accepted no bytes.
struct WriteFailed {
    int code;
};

class OutBuffer {
public:
    static constexpr std::size_t kSize = 64 * 1024;

    // Writes to fd, or only counts the bytes for fd -1.
    explicit OutBuffer(int fd) : fd_(fd), data_(2 * kSize) {}

    // Room for n more bytes at the end of the buffered text.
    char* room(std::size_t n) {
        if (size_ + n > data_.size()) data_.resize(size_ + n);
        return data_.data() + size_;
    }

    // Takes the text written up to end into the buffer, sending it once
    // the buffer holds kSize bytes or more.
    void commit(char* end) {
        size_ = static_cast<std::size_t>(end - data_.data());
        if (size_ >= kSize) flush();
    }

    // Sends the buffered text (throws WriteFailed); runs pending signal
    // handlers every few MB.
    void flush() {
        if (size_ == 0) return;
        if (fd_ >= 0) {
            if (const int err = write_all(fd_, data_.data(), size_)) throw WriteFailed{err};
        }
        total_ += size_;
        unchecked_ += size_;
        size_ = 0;
        if (unchecked_ >= kSignalCheckBytes) {
            unchecked_ = 0;
            check_signals();
        }
    }

    // Bytes sent (or counted) so far.
    std::uint64_t total() const noexcept { return total_; }

private:
    static constexpr std::size_t kSignalCheckBytes = 4 << 20;

    int fd_;
    std::vector<char> data_;
    std::size_t size_ = 0, unchecked_ = 0;
    std::uint64_t total_ = 0;
};

}  // namespace nuvek
