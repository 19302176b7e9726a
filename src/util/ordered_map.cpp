#include "util/ordered_map.hpp"

#include <chrono>
#include <random>

namespace nuvek {

namespace {

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t load64(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline std::uint64_t load32(const unsigned char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

constexpr std::uint64_t kP0 = 0xa0761d6478bd642full;
constexpr std::uint64_t kP1 = 0xe7037ed1a0b428dbull;
constexpr std::uint64_t kP2 = 0x8ebc6af09c88c6e3ull;

std::uint64_t process_key() noexcept {
    const auto clock = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::uint64_t key = clock ^ reinterpret_cast<std::uintptr_t>(&key);
    // The system's random source; where the library has none (it throws),
    // the clock and an address above still differ between runs.
    try {
        std::random_device source;
        key ^= (std::uint64_t{source()} << 32) ^ source();
    } catch (...) {
    }
    return key;
}

}  // namespace

std::uint64_t random_seed() {
    // Maps are created under the interpreter lock, so plain statics suffice.
    static const std::uint64_t key = process_key();
    static std::uint64_t counter = 0;
    ++counter;
    return mix(key ^ kP0, counter ^ kP1);
}

std::uint64_t hash_bytes(std::string_view key, std::uint64_t seed) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(key.data());
    std::size_t n = key.size();
    std::uint64_t h = seed ^ kP0;
    std::uint64_t a = 0, b = 0;
    if (n <= 16) {
        if (n >= 8) {
            a = load64(p);
            b = load64(p + n - 8);
        } else if (n >= 4) {
            a = load32(p);
            b = load32(p + n - 4);
        } else if (n > 0) {
            a = (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[n >> 1]} << 8) | p[n - 1];
        }
    } else {
        while (n > 16) {
            h = mix(load64(p) ^ kP1, load64(p + 8) ^ h);
            p += 16;
            n -= 16;
        }
        a = load64(p + n - 16);
        b = load64(p + n - 8);
    }
    return mix(kP1 ^ key.size(), mix(a ^ kP1, b ^ h) ^ kP2);
}

}  // namespace nuvek
