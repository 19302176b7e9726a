#include "fasta/gzip_inflate.hpp"

#include <climits>
#include <new>

#include "fasta/fasta_reader.hpp"

#if NUVEK_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

namespace nuvek {
namespace {

FastaError invalid_data() { return FastaError("invalid gzip data"); }

// Both libraries count in 32-bit unsigned; the buffers here are far smaller,
// but an output size is the caller's.
unsigned clamp32(std::size_t n) { return n > UINT_MAX ? UINT_MAX : static_cast<unsigned>(n); }

}  // namespace

void GzipInflater::check_fixed_header() {
    // ID1 ID2 CM FLG: the magic is checked by the caller; CM 8 is deflate;
    // FLG's top three bits are reserved and must be zero.
    const auto* p = reinterpret_cast<const unsigned char*>(next_);
    for (std::size_t i = 0; header_seen_ < 4 && i < avail_; ++i, ++header_seen_) {
        if (header_seen_ == 2 && p[i] != 8) throw invalid_data();
        if (header_seen_ == 3 && (p[i] & 0xe0) != 0) throw invalid_data();
    }
}

#if NUVEK_HAVE_ISAL

struct GzipInflater::State {
    inflate_state s;
};

GzipInflater::GzipInflater() : state_(new State), in_(new char[kInputSize]) {
    isal_inflate_init(&state_->s);
    state_->s.crc_flag = ISAL_GZIP;  // parse the header, check CRC-32 and length
}

GzipInflater::~GzipInflater() = default;

void GzipInflater::reset() {
    isal_inflate_reset(&state_->s);
    state_->s.crc_flag = ISAL_GZIP;
    header_seen_ = 0;
}

std::size_t GzipInflater::inflate(char* out, std::size_t cap, bool& member_end) {
    check_fixed_header();
    inflate_state& s = state_->s;
    s.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(next_));
    s.avail_in = clamp32(avail_);
    s.next_out = reinterpret_cast<std::uint8_t*>(out);
    s.avail_out = clamp32(cap);
    const unsigned out_cap = s.avail_out;
    const int ret = isal_inflate(&s);
    const std::size_t used = avail_ - s.avail_in;
    next_ += used;
    avail_ -= used;
    if (ret < 0 || ret == ISAL_NEED_DICT) throw invalid_data();
    member_end = s.block_state == ISAL_BLOCK_FINISH;
    return out_cap - s.avail_out;
}

#else  // zlib

struct GzipInflater::State {
    z_stream z{};
    bool open = false;
};

GzipInflater::GzipInflater() : state_(new State), in_(new char[kInputSize]) {
    // 16 + 15: a gzip wrapper around a deflate stream with a 32 KiB window.
    const int ret = inflateInit2(&state_->z, 16 + MAX_WBITS);
    if (ret == Z_MEM_ERROR) throw std::bad_alloc();
    if (ret != Z_OK) throw invalid_data();
    state_->open = true;
}

GzipInflater::~GzipInflater() {
    if (state_->open) inflateEnd(&state_->z);
}

void GzipInflater::reset() {
    inflateReset(&state_->z);
    header_seen_ = 0;
}

std::size_t GzipInflater::inflate(char* out, std::size_t cap, bool& member_end) {
    check_fixed_header();
    z_stream& z = state_->z;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(next_));
    z.avail_in = clamp32(avail_);
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = clamp32(cap);
    const unsigned out_cap = z.avail_out;
    const int ret = ::inflate(&z, Z_NO_FLUSH);
    const std::size_t used = avail_ - z.avail_in;
    next_ += used;
    avail_ -= used;
    if (ret == Z_MEM_ERROR) throw std::bad_alloc();
    if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR) throw invalid_data();
    member_end = ret == Z_STREAM_END;
    return out_cap - z.avail_out;
}

#endif

}  // namespace nuvek
