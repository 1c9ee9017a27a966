// Settings files on Win32: the private-profile functions themselves.
#include "platform/profile.h"

#include <windows.h>

namespace platform {

std::string readProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view defaultValue) {
    char value[kMaxProfileValue + 1];
    const std::string s(section), k(key), d(defaultValue);
    DWORD n = GetPrivateProfileStringA(s.c_str(), k.c_str(), d.c_str(), value, sizeof value,
                                       path.c_str());
    return std::string(value, n);
}

bool writeProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::optional<std::string_view> value) {
    const std::string s(section), k(key);
    const std::string v(value.value_or(""));
    return WritePrivateProfileStringA(s.c_str(), k.c_str(), value ? v.c_str() : nullptr,
                                      path.c_str()) != 0;
}

bool removeProfileSection(const std::string& path, std::string_view section) {
    const std::string s(section);
    return WritePrivateProfileStringA(s.c_str(), nullptr, nullptr, path.c_str()) != 0;
}

}  // namespace platform
