// libFuzzer target: the bus frame decoder must stay in bounds on any input, and what it decodes
// must encode back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/linux/bus_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace platform::bus;
    std::size_t pos = 0;
    while (pos < size) {
        Frame f;
        std::size_t used = 0;
        if (decodeFrame(data + pos, size - pos, f, used) != DecodeStatus::Ok)
            break;
        std::vector<std::uint8_t> again;
        if (!encodeFrame(f, again) || again.size() != used ||
            !std::equal(again.begin(), again.end(), data + pos))
            std::abort();
        pos += used;
    }
    return 0;
}
