// The four traffic counters of the driver, shown by the status panel as "%08d".
//
// Process-wide 32-bit counts that start at 0 and are never reset. They live here, free of Qt, so
// that the camera and infodriver code can be handed pointers to them. Only the UI thread touches
// them.
#pragma once

#include <cstdint>

namespace app {

extern std::int32_t infoRxCount;    // infodriver messages received (slot changes)
extern std::int32_t infoTxCount;    // infodriver messages sent (slot writes)
extern std::int32_t serialRxCount;  // serial notifications handled
extern std::int32_t serialTxCount;  // VISCA packets sent

}  // namespace app
