#include "common/decimal.h"

namespace common {

namespace {

bool isBlank(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::int32_t parseDecimal(const char* text) {
    if (!text)
        return 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (isBlank(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // The magnitude grows in 64 bits and stops growing once it is past the 32-bit range; the
    // remaining digits are still read but cannot overflow anything.
    std::int64_t magnitude = 0;
    constexpr std::int64_t kCap = static_cast<std::int64_t>(INT32_MAX) + 1;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (magnitude <= kCap)
            magnitude = magnitude * 10 + (*p - '0');
    }
    if (negative)
        return magnitude >= kCap ? INT32_MIN : static_cast<std::int32_t>(-magnitude);
    return magnitude > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(magnitude);
}

}  // namespace common
