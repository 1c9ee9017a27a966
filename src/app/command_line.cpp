// The command line of camlet32, read the same way on every system.

#include "app/app_main.h"
#include "common/decimal.h"

namespace app {

namespace {
constexpr std::size_t kCommandLineMax = 254;  // a 255-byte buffer with its NUL
}

std::string joinCommandLine(int argc, const char* const* argv) {
    std::string line;
    for (int i = 1; i < argc && argv && argv[i]; ++i) {
        if (i > 1)
            line += ' ';
        line += argv[i];
        if (line.size() >= kCommandLineMax)
            break;
    }
    if (line.size() > kCommandLineMax)
        line.resize(kCommandLineMax);
    return line;
}

int parseDeviceNumber(const std::string& commandLine) {
    return common::parseDecimal(commandLine.c_str());
}

}  // namespace app
