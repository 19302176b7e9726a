#include "util/utf8.hpp"

#include "util/word_scan.hpp"

namespace nuvek::utf8 {

std::size_t valid_prefix(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        i += first_non_ascii(p + i, n - i);
        if (i == n) break;
        const unsigned char b = p[i];
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0) lo = 0xA0;       // no overlong forms
            else if (b == 0xED) hi = 0x9F;  // no surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0) lo = 0x90;       // no overlong forms
            else if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
        } else {
            return i;
        }
        if (i + len > n) return i;
        if (p[i + 1] < lo || p[i + 1] > hi) return i;
        for (std::size_t j = 2; j < len; ++j)
            if (!is_continuation(p[i + j])) return i;
        i += len;
    }
    return n;
}

}  // namespace nuvek::utf8
