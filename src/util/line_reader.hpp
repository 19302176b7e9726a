// Reads a file line by line through a buffer that grows only for lines
// longer than it; each line is handed out in place, valid until the next
// call.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace nuvek {

class LineReader {
public:
    explicit LineReader(int fd, std::size_t buffer_size = 64 * 1024);

    // The next line without its LF (and a CR before the LF); the last line
    // may lack its LF. False at the end of the file, and on a failed read,
    // after which error() gives the error number. Runs pending signal
    // handlers when a read is interrupted and every few MB (throwing
    // Interrupted when one raised); a line too long for memory throws
    // std::bad_alloc.
    bool next(std::string_view& line);

    int error() const noexcept { return error_; }

private:
    bool fill();

    int fd_;
    std::vector<char> buf_;
    std::size_t start_ = 0, end_ = 0;
    std::size_t unchecked_ = 0;  // bytes read since signals were last looked at
    bool eof_ = false;
    int error_ = 0;
};

}  // namespace nuvek
