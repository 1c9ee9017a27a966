// The message bus (being built): for now every window is local to its process.
#include "platform/bus_internal.h"

namespace platform::detail {

HWND busRegister(const std::string&, BusEntry&) {
    return 0;
}
void busUnregister(BusEntry&) {}
std::optional<RemoteWindow> busLookup(std::uint16_t) {
    return std::nullopt;
}
std::vector<std::uint16_t> busLiveWindows() {
    return {};
}
LRESULT busSend(const RemoteWindow&, UINT, WPARAM, LPARAM, const MessageBuffer*, bool& answered) {
    answered = false;
    return 0;
}
bool busPost(const RemoteWindow&, UINT, WPARAM, LPARAM) {
    return false;
}

}  // namespace platform::detail
