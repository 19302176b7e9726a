#include "util/line_reader.hpp"

#include <cerrno>
#include <cstring>

#include "util/fs.hpp"
#include "util/memory.hpp"
#include "util/signals.hpp"

namespace nuvek {

namespace {

constexpr std::size_t kSignalCheckBytes = 4 << 20;

}  // namespace

LineReader::LineReader(int fd, std::size_t buffer_size) : fd_(fd), buf_(buffer_size) {}

bool LineReader::next(std::string_view& line) {
    std::size_t scan = start_;
    while (true) {
        const void* lf = scan < end_ ? std::memchr(buf_.data() + scan, '\n', end_ - scan) : nullptr;
        if (lf) {
            const auto at = static_cast<std::size_t>(static_cast<const char*>(lf) - buf_.data());
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
        if (!fill()) return false;
    }
}

bool LineReader::fill() {
    if (unchecked_ >= kSignalCheckBytes) {
        unchecked_ = 0;
        check_signals();
    }
    const ssize_t n = read_some(fd_, buf_.data() + end_, buf_.size() - end_);
    if (n < 0) {
        error_ = errno;
        return false;
    }
    if (n == 0) eof_ = true;
    end_ += static_cast<std::size_t>(n);
    unchecked_ += static_cast<std::size_t>(n);
    return true;
}

}  // namespace nuvek
