// The command line of camlet32, read the same way on every system.
#include <cctype>
#include <climits>

#include "app/app_main.h"

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
    std::size_t i = 0;
    const std::size_t n = commandLine.size();
    while (i < n && std::isspace(static_cast<unsigned char>(commandLine[i])))
        ++i;
    bool negative = false;
    if (i < n && (commandLine[i] == '+' || commandLine[i] == '-')) {
        negative = commandLine[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < n && commandLine[i] >= '0' && commandLine[i] <= '9'; ++i) {
        value = value * 10 + (commandLine[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        value = INT_MAX;
    if (value < INT_MIN)
        value = INT_MIN;
    return static_cast<int>(value);
}

}  // namespace app
