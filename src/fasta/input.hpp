// The byte source under the FASTA reader: a file (or FIFO, or device) opened
// for reading, decompressed on the fly when it is gzip data.
//
// gzip is recognised by its first two bytes (1f 8b), not by the file name.
// Concatenated members (as block-compressing tools write them, empty members
// included) are read one after the other; zero bytes after the last member
// are ignored. A damaged or cut-off stream is a read error.
//
// Blocking calls follow PEP 475: a system call interrupted by a signal runs
// the pending signal handlers (check_signals()) and is retried unless one of
// them raised, in which case Interrupted unwinds the call and the file is
// closed. Long reads also look for pending signals every few MB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace nuvek {

class GzipInflater;

class FastaInput {
public:
    // Opens path (UTF-8 bytes, relative to the working directory) for
    // reading. Throws the reader's open error, or Interrupted.
    explicit FastaInput(std::string_view path);
    ~FastaInput();
    FastaInput(const FastaInput&) = delete;
    FastaInput& operator=(const FastaInput&) = delete;

    // Fills up to cap bytes (cap >= 2) of out with the next bytes of the
    // (decompressed) stream and returns how many; 0 only at its end. Throws
    // the reader's read error, Interrupted, or std::bad_alloc.
    std::size_t read(char* out, std::size_t cap);

private:
    enum class Mode { Unknown, Plain, Gzip };

    // One read(2) of up to cap bytes, retried on EINTR; 0 at end of file.
    std::size_t read_raw(char* out, std::size_t cap);
    // Reads the first bytes into out and decides the mode.
    std::size_t start(char* out, std::size_t cap);
    std::size_t read_gzip(char* out, std::size_t cap);
    void count(std::size_t n);

    int fd_ = -1;
    Mode mode_ = Mode::Unknown;
    bool eof_ = false;        // read(2) has returned 0
    bool in_member_ = false;  // inside a gzip member
    std::uint64_t since_check_ = 0;  // bytes handed out since the last signal check
    std::unique_ptr<GzipInflater> gz_;
};

}  // namespace nuvek
