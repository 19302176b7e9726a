// Finding the runs of bases in a sequence, so that they can go through the
// counting loops whole.
#pragma once

#include <cstddef>

namespace nuvek {

// Offset of the first byte in p[0..n) that is not A, C, G or T (with lower,
// in either case), or n.
std::size_t first_outside_bases(const unsigned char* p, std::size_t n, bool lower) noexcept;

}  // namespace nuvek
