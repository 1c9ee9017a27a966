// Small text helpers shared by the subsystems, free of any system or toolkit.
//
// parseDecimal: the one reading of a decimal number used for command lines, INI values and slot
// values alike.
#pragma once

#include <cstdint>

namespace common {

// Reads `text` the way atoi does: leading white space (space, \t, \n, \v, \f, \r) skipped, one
// optional sign, then digits up to the first other character; no digits read as 0, and so does a
// null `text`. A number beyond the 32-bit range saturates to INT32_MIN or INT32_MAX instead of
// wrapping, so it is refused wherever a small range is asked for.
std::int32_t parseDecimal(const char* text);

}  // namespace common
