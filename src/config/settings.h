// Where the driver's configuration and log files live, and the device's settings.
//
// The configuration directory comes from CC_ROOT and CC_SYSTEM when both are set, else from
// "ConfigPath" in section "Config" of C:\kelp_config.ini, else it is the Windows directory. The
// log directory follows the same choice (CC_ROOT\CC_SYSTEM\logs, else C:\kelplogs). Paths in
// Windows form are translated into the prefix (platform::translatePath).
//
// Everything here runs on the UI thread; the shared result buffer of readSetting is not
// thread-safe by design (callers convert or copy the value at once).
#pragma once

#include <cstdint>
#include <string>

namespace config {

// Longest text of a path or a setting value, as the 256-byte buffers of the settings allow.
inline constexpr std::size_t kMaxSettingText = 255;

struct ConfigPaths {
    std::string configDir;  // at most 255 characters
    std::string logDir;     // at most 255 characters
};

// Recomputes configDir and logDir from the environment and C:\kelp_config.ini (nothing is
// cached between calls) and returns configDir.
const std::string& resolveConfigPaths();

// The paths of the last resolveConfigPaths call.
const ConfigPaths& configPaths();

// Reads `key` of `section` from `file` (a name relative to the configuration directory), with
// `defaultValue` when the file, section or key is missing. With `writeBack`, the value read is
// written straight back, so a missing key is stored with its default. The result lives in one
// process-wide 256-byte buffer that the next call overwrites. Null arguments read the default
// (or an empty text when the default is null too).
const char* readSetting(const char* file, const char* section, const char* key,
                        const char* defaultValue, bool writeBack);

// Writes `value` as the value of `key` in `section` of `file` (relative to the configuration
// directory). A failed write (read-only file, missing directory) is ignored. A null value removes
// the key, a null key removes the section.
void writeSetting(const char* file, const char* section, const char* key, const char* value);

// The device's settings, loaded once at start-up. Stop bits and parity are the serial line's
// codes: stop bits 0 one, 2 two; parity 0 none, 1 odd, 2 even, 3 mark.
struct DeviceSettings {
    int debugMode = 0;
    int hideMode = 0;  // 1 when debugMode is 0; not stored
    int logMode = 0;
    int portNumber = 0;
    std::int32_t speed = 0;
    int dataBits = 0;
    int stopBitsCode = 0;
    int parityCode = 0;
};

// Process-wide settings; all 0 before loadDeviceSettings.
DeviceSettings& deviceSettings();

// Reads DebugMode, LogMode, Port, Speed, DataBits, StopBits and Parity, in that order, from
// "DEV_%03d.ini" in the configuration directory, writing each straight back (a new file is
// thus filled with the defaults).
void loadDeviceSettings(int deviceNumber, const char* section);

// "DEV_%03d.ini" for a device number.
std::string deviceSettingsFileName(int deviceNumber);

}  // namespace config
