// Millisecond tick of the machine: CLOCK_MONOTONIC, cut to 32 bits, wrapping like GetTickCount.
#pragma once

#include <cstdint>

namespace platform {

std::uint32_t tickCount();

}  // namespace platform
