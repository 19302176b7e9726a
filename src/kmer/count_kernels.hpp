// The counting loops of count_loops.hpp, compiled once per instruction set
// and picked once, at the first count, for the processor at hand.
//
// Only the variants that measurably pay are built: on a 5 Mbp sequence the
// AVX-512 build of the loops counts about 9 % faster at k <= 4 (same speed
// from k = 8, where the table's cache misses dominate); an AVX2 build gave
// nothing over the baseline and is not kept. Builds with NUVEK_PORTABLE and
// non-x86 builds have the baseline only. The CMake option
// NUVEK_KMER_VARIANT pins one variant (for tests of each).
#pragma once

#include <cstddef>
#include <cstdint>

namespace nuvek {

struct CountKernels {
    using Byte = unsigned char;
    using Table = Byte (*)(const Byte*, std::size_t, const Byte*, std::uint32_t*, std::uint64_t, std::uint64_t&);

    Table dense_add;
    Table dense_take_back;
    Table dense_clean;  // bytes known to be bases; returns 0
    Table wide2_add;
    Table wide2_take_back;
    Table wide3_add;
    Table wide3_take_back;
    Byte (*sparse)(const Byte*, std::size_t, const Byte*, std::uint32_t*, std::uint64_t, std::uint64_t&,
                   std::uint64_t*&);
    Byte (*codes)(const Byte*, std::size_t, const Byte*, std::uint64_t, std::uint64_t&, std::uint64_t*);
    const char* name;  // "baseline" or "avx512"
};

// The variant for this processor, chosen on the first call.
const CountKernels& count_kernels() noexcept;

}  // namespace nuvek
