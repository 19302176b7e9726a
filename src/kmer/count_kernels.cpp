#include "kmer/count_kernels.hpp"

#include "kmer/count_loops.hpp"
#include "util/platform.hpp"

#if !defined(NUVEK_KMER_VARIANT_BASELINE) && !defined(NUVEK_KMER_VARIANT_AVX512) && \
    !defined(NUVEK_KMER_VARIANT_AUTO)
#define NUVEK_KMER_VARIANT_AUTO 1
#endif


namespace nuvek {
namespace {

using Byte = unsigned char;
namespace loops = kmer_loops;

// One set of the loops, compiled with the target attribute ATTR.
#define NUVEK_COUNT_KERNELS(NS, ATTR, NAME)                                                                      \
    namespace NS {                                                                                             \
    ATTR Byte dense_add(const Byte* p, std::size_t n, const Byte* lut, std::uint32_t* t, std::uint64_t m,        \
                        std::uint64_t& x) {                                                                    \
        return loops::count_dense<1>(p, n, lut, t, m, x);                                                      \
    }                                                                                                          \
    ATTR Byte dense_take_back(const Byte* p, std::size_t n, const Byte* lut, std::uint32_t* t, std::uint64_t m,  \
                              std::uint64_t& x) {                                                              \
        return loops::count_dense<-1>(p, n, lut, t, m, x);                                                     \
    }                                                                                                          \
    ATTR Byte dense_clean(const Byte* p, std::size_t n, const Byte* lut, std::uint32_t* t, std::uint64_t m,      \
                          std::uint64_t& x) {                                                                  \
        loops::count_clean(p, n, lut, t, m, x);                                                                \
        return 0;                                                                                              \
    }                                                                                                          \
    ATTR Byte wide2_add(const Byte* p, std::size_t n, const Byte* lut, std::uint32_t* t, std::uint64_t m,        \
                        std::uint64_t& x) {                                                                    \
        return loops::count_wide<2, 1>(p, n, lut, t, m, x);                                                    \
    }                                                                                                          \
    ATTR Byte wide2_take_back(const Byte* p, std::size_t n, const Byte* lut, std::uint32_t* t, std::uint64_t m,  \
                              std::uint64_t& x) {                                                              \
        return loops::count_wide<2, -1>(p, n, lut, t, m, x);                                                   \
    }                                                                                                          \
    ATTR Byte wide3_add(const Byte* p, std::size_t n, const Byte* lut, std::uint32_t* t, std::uint64_t m,        \
                        std::uint64_t& x) {                                                                    \
        return loops::count_wide<3, 1>(p, n, lut, t, m, x);                                                    \
    }                                                                                                          \
    ATTR Byte wide3_take_back(const Byte* p, std::size_t n, const Byte* lut, std::uint32_t* t, std::uint64_t m,  \
                              std::uint64_t& x) {                                                              \
        return loops::count_wide<3, -1>(p, n, lut, t, m, x);                                                   \
    }                                                                                                          \
    ATTR Byte sparse(const Byte* p, std::size_t n, const Byte* lut, std::uint32_t* t, std::uint64_t m,           \
                     std::uint64_t& x, std::uint64_t*& touched) {                                              \
        return loops::count_sparse(p, n, lut, t, m, x, touched);                                               \
    }                                                                                                          \
    ATTR Byte codes(const Byte* p, std::size_t n, const Byte* lut, std::uint64_t m, std::uint64_t& x,            \
                    std::uint64_t* out) {                                                                      \
        return loops::collect_codes(p, n, lut, m, x, out);                                                     \
    }                                                                                                          \
    constexpr CountKernels kKernels{dense_add, dense_take_back, dense_clean, wide2_add, wide2_take_back,       \
                                    wide3_add, wide3_take_back, sparse,      codes,     NAME};                 \
    }

#if !defined(NUVEK_KMER_VARIANT_AVX512) || !NUVEK_X86_FAST_PATHS
NUVEK_COUNT_KERNELS(baseline, , "baseline")
#endif
#if NUVEK_X86_FAST_PATHS && !defined(NUVEK_KMER_VARIANT_BASELINE)
NUVEK_COUNT_KERNELS(avx512, __attribute__((target("avx512f,avx512bw,avx512vl,bmi2"))), "avx512")
#endif
#if NUVEK_X86_FAST_PATHS && !defined(NUVEK_KMER_VARIANT_BASELINE) && !defined(NUVEK_KMER_VARIANT_AVX512)
bool has_avx512() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("bmi2");
}
#endif

}  // namespace

const CountKernels& count_kernels() noexcept {
#if NUVEK_X86_FAST_PATHS && defined(NUVEK_KMER_VARIANT_AVX512)
    return avx512::kKernels;
#elif NUVEK_X86_FAST_PATHS && !defined(NUVEK_KMER_VARIANT_BASELINE)
    static const CountKernels& chosen = has_avx512() ? avx512::kKernels : baseline::kKernels;
    return chosen;
#else
    return baseline::kKernels;
#endif
}

}  // namespace nuvek
