#include "app/counters.h"

namespace app {

std::int32_t infoRxCount = 0;
std::int32_t infoTxCount = 0;
std::int32_t serialRxCount = 0;
std::int32_t serialTxCount = 0;

}  // namespace app
