// Paths on Win32: the real Windows directory; paths are used as given; COMn is the device
// namespace name "\\.\COMn".
#include "platform/prefix.h"

#include <windows.h>

#include <cstdio>

namespace platform {

std::string windowsDir() {
    char dir[MAX_PATH + 1];
    UINT n = GetWindowsDirectoryA(dir, sizeof dir);
    return n > 0 && n < sizeof dir ? std::string(dir, n) : std::string("C:\\WINDOWS");
}

std::string translatePath(std::string_view path) {
    return std::string(path);
}

std::string serialDevicePath(int n) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\COM%d", n);
    return path;
}

}  // namespace platform
