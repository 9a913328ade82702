// Size arithmetic that cannot wrap: every product used as an allocation size,
// a read length or an offset goes through these.
#pragma once

#include <cstddef>
#include <cstdint>

// a * b into *out; false when the product does not fit.
inline bool CheckedMul(uint64_t a, uint64_t b, uint64_t* out) {
    return !__builtin_mul_overflow(a, b, out);
}
inline bool CheckedAdd(uint64_t a, uint64_t b, uint64_t* out) {
    return !__builtin_add_overflow(a, b, out);
}
// a * b * c into *out; false when it does not fit.
inline bool CheckedMul3(uint64_t a, uint64_t b, uint64_t c, uint64_t* out) {
    uint64_t ab;
    return CheckedMul(a, b, &ab) && CheckedMul(ab, c, out);
}
// True when a * b * c fits and stays at or below limit.
inline bool ProductAtMost(uint64_t a, uint64_t b, uint64_t c, uint64_t limit) {
    uint64_t p;
    return CheckedMul3(a, b, c, &p) && p <= limit;
}
