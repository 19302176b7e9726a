#include "kmer/base_runs.hpp"

#include "util/platform.hpp"
#if NUVEK_X86_FAST_PATHS
#include <immintrin.h>
#endif

namespace nuvek {
namespace {

using Byte = unsigned char;

#if NUVEK_X86_FAST_PATHS
// The length of the prefix of p[0..n), in whole 64-byte chunks, that holds
// bases only, tested 32 bytes to a register where the processor can.
template <bool Lower>
__attribute__((target("avx2"))) inline __m256i bases_mask_avx2(const Byte* p) noexcept {
    constexpr char fold = Lower ? 0x20 : 0;
    const __m256i v = _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), _mm256_set1_epi8(fold));
    return _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>('A' | fold))),
                        _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>('C' | fold)))),
        _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>('G' | fold))),
                        _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>('T' | fold)))));
}

template <bool Lower>
__attribute__((target("avx2"))) std::size_t bases_prefix_avx2(const Byte* p, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m256i both = _mm256_and_si256(bases_mask_avx2<Lower>(p + i), bases_mask_avx2<Lower>(p + i + 32));
        if (_mm256_movemask_epi8(both) != -1) break;
    }
    return i;
}

bool has_avx2() noexcept {
    static const bool avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return avx2;
}
#endif

// Offset of the first byte in p[0..n) that is not a base (Lower: in either
// case), or n. Whole chunks are tested with comparisons in vector registers,
// so that clean runs cost a fraction of counting them.
template <bool Lower>
std::size_t first_outside(const Byte* p, std::size_t n) noexcept {
    constexpr Byte fold = Lower ? 0x20 : 0;
    std::size_t i = 0;
#if NUVEK_X86_FAST_PATHS
    if (n >= 64 && has_avx2()) i = bases_prefix_avx2<Lower>(p, n);
    const __m128i f = _mm_set1_epi8(static_cast<char>(fold));
    const __m128i a = _mm_set1_epi8(static_cast<char>('A' | fold));
    const __m128i c = _mm_set1_epi8(static_cast<char>('C' | fold));
    const __m128i g = _mm_set1_epi8(static_cast<char>('G' | fold));
    const __m128i t = _mm_set1_epi8(static_cast<char>('T' | fold));
    const auto bases = [&](std::size_t at) {
        const __m128i v = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)), f);
        return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, a), _mm_cmpeq_epi8(v, c)),
                            _mm_or_si128(_mm_cmpeq_epi8(v, g), _mm_cmpeq_epi8(v, t)));
    };
    for (; i + 32 <= n; i += 32) {
        if (_mm_movemask_epi8(_mm_and_si128(bases(i), bases(i + 16))) != 0xFFFF) break;
    }
#else
    constexpr std::size_t kChunk = 64;
    for (; i + kChunk <= n; i += kChunk) {
        // Masks rather than a test per byte, which the compiler would turn
        // back into a bit test and a branch.
        Byte valid = 0xFF;
        for (std::size_t j = 0; j < kChunk; ++j) {
            const Byte b = p[i + j] | fold;
            valid &= static_cast<Byte>(-(b == ('A' | fold))) | static_cast<Byte>(-(b == ('C' | fold))) |
                     static_cast<Byte>(-(b == ('G' | fold))) | static_cast<Byte>(-(b == ('T' | fold)));
        }
        if (valid != 0xFF) break;
    }
#endif
    for (; i < n; ++i) {
        const Byte b = p[i] | fold;
        if (b != ('A' | fold) && b != ('C' | fold) && b != ('G' | fold) && b != ('T' | fold)) return i;
    }
    return n;
}

}  // namespace

std::size_t first_outside_bases(const unsigned char* p, std::size_t n, bool lower) noexcept {
    return lower ? first_outside<true>(p, n) : first_outside<false>(p, n);
}

}  // namespace nuvek
