// A replacement interface library for the tests: entry 1 answers 4321, entry 2 reads every slot
// as "probe" and drops writes. Shows that another library can be dropped in without rebuilding.
#include <cstdint>
#include <cstring>

extern "C" {

__attribute__((visibility("default"))) std::int32_t kelpif_entry1(std::uint32_t, std::uintptr_t,
                                                                  std::intptr_t) {
    return 4321;
}

__attribute__((visibility("default"))) std::int32_t kelpif_entry2(std::uint32_t,
                                                                  std::uint32_t message,
                                                                  std::int32_t, char* buffer,
                                                                  std::int32_t,
                                                                  std::int32_t count) {
    if (message == 2727 && buffer && count >= 6)
        std::memcpy(buffer, "probe", 6);
    return 1;
}
}
