#include "hmmer/extended.hpp"

#include <cstdio>
#include <cstdlib>

namespace nuvek::extended {

namespace {

struct Pow10Table {
    long double values[kPow10Max - kPow10Min + 1];

    Pow10Table() {
        // The C library converts decimal text with correct rounding.
        char text[16];
        for (int j = kPow10Min; j <= kPow10Max; ++j) {
            std::snprintf(text, sizeof text, "1e%d", j);
            values[j - kPow10Min] = std::strtold(text, nullptr);
        }
    }
};

}  // namespace

const long double* pow10_table() noexcept {
    static const Pow10Table table;
    return table.values;
}

}  // namespace nuvek::extended
