#include "config/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/decimal.h"
#include "platform/prefix.h"
#include "platform/profile.h"

namespace config {

namespace {

ConfigPaths g_paths;
DeviceSettings g_settings;
char g_value[kMaxSettingText + 1];  // the shared result of readSetting

std::string cut(std::string s) {
    if (s.size() > kMaxSettingText)
        s.resize(kMaxSettingText);
    return s;
}

// An environment variable that is set and not empty.
const char* envValue(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? v : nullptr;
}

// Path of a settings file: configDir/file. A path longer than the 255 characters that the
// settings buffers hold is not cut (that would name another file): it yields an empty path, which
// reads the default and refuses writes.
std::string settingsPath(const char* file) {
    resolveConfigPaths();
    std::string name(file);
    std::string path;
    if (g_paths.configDir.empty())
        path = platform::windowsDir() + platform::kPathSeparator + name;
    else
        path = g_paths.configDir + platform::kPathSeparator + name;
    if (path.size() > kMaxSettingText || name.empty())
        return {};
    return path;
}

bool equalNoCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char x = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 'a' + 'A') : *a;
        char y = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 'a' + 'A') : *b;
        if (x != y)
            return false;
    }
    return *a == *b;
}

}  // namespace

const std::string& resolveConfigPaths() {
    const char* root = envValue("CC_ROOT");
    const char* system = envValue("CC_SYSTEM");
    // Read on every call, also when the environment decides.
    std::string configPath = platform::readProfileString(
        platform::translatePath("C:\\kelp_config.ini"), "Config", "ConfigPath", "");
    std::string windows = platform::windowsDir();
    if (root && system) {
        std::string base = std::string(root) + "\\" + system;
        g_paths.configDir = cut(platform::translatePath(base + "\\config\\system"));
        g_paths.logDir = cut(platform::translatePath(base + "\\logs"));
    } else {
        g_paths.configDir = cut(configPath.empty() ? windows : platform::translatePath(configPath));
        g_paths.logDir = cut(platform::translatePath("C:\\kelplogs"));
    }
    return g_paths.configDir;
}

const ConfigPaths& configPaths() {
    return g_paths;
}

const char* readSetting(const char* file, const char* section, const char* key,
                        const char* defaultValue, bool writeBack) {
    const char* def = defaultValue ? defaultValue : "";
    std::string value;
    if (!file || !section || !key) {
        value = def;
    } else {
        std::string path = settingsPath(file);
        value =
            path.empty() ? std::string(def) : platform::readProfileString(path, section, key, def);
    }
    std::size_t n = std::min(value.size(), kMaxSettingText);
    std::memcpy(g_value, value.data(), n);
    g_value[n] = '\0';
    if (writeBack && file && section && key) {
        std::string copy(g_value);
        writeSetting(file, section, key, copy.c_str());
    }
    return g_value;
}

void writeSetting(const char* file, const char* section, const char* key, const char* value) {
    if (!file || !section)
        return;
    std::string path = settingsPath(file);
    if (path.empty())
        return;
    if (!key)
        platform::removeProfileSection(path, section);
    else if (!value)
        platform::writeProfileString(path, section, key, std::nullopt);
    else
        platform::writeProfileString(path, section, key, std::string_view(value));
}

DeviceSettings& deviceSettings() {
    return g_settings;
}

std::string deviceSettingsFileName(int deviceNumber) {
    char name[32];
    std::snprintf(name, sizeof name, "DEV_%03d.ini", deviceNumber);
    return name;
}

void loadDeviceSettings(int deviceNumber, const char* section) {
    resolveConfigPaths();
    std::string fileName = deviceSettingsFileName(deviceNumber);
    const char* file = fileName.c_str();
    DeviceSettings& s = g_settings;

    s.debugMode = common::parseDecimal(readSetting(file, section, "DebugMode", "1", true));
    s.hideMode = (s.debugMode == 0) ? 1 : 0;
    s.logMode = common::parseDecimal(readSetting(file, section, "LogMode", "0", true));
    s.portNumber = common::parseDecimal(readSetting(file, section, "Port", "1", true));
    s.speed = common::parseDecimal(readSetting(file, section, "Speed", "9600", true));
    s.dataBits = common::parseDecimal(readSetting(file, section, "DataBits", "8", true));

    // Only 2 means two stop bits; 1, 1.5 and everything else is one stop bit.
    s.stopBitsCode =
        (common::parseDecimal(readSetting(file, section, "StopBits", "1", true)) == 2) ? 2 : 0;

    // The whole value, in this order; anything else leaves the code as it was.
    const char* parity = readSetting(file, section, "Parity", "N", true);
    if (equalNoCase(parity, "E"))
        s.parityCode = 2;
    else if (equalNoCase(parity, "M"))
        s.parityCode = 3;
    else if (equalNoCase(parity, "N"))
        s.parityCode = 0;
    else if (equalNoCase(parity, "O"))
        s.parityCode = 1;
}

}  // namespace config
