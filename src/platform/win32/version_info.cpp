// The version record on Win32: the program file's VERSIONINFO resource.
#include "platform/version_info.h"

#include <windows.h>

#include <cstring>

namespace platform {

std::string readVersionRecord(const std::string& path) {
    DWORD unused = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &unused);
    if (size == 0)
        return {};
    std::string record(size, '\0');
    if (!GetFileVersionInfoA(path.c_str(), 0, size, record.data()))
        return {};
    return record;
}

std::string programFilePath() {
    // A path longer than MAX_PATH needs a larger buffer; the call cuts it and says so.
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768)
            return {};
        path.resize(path.size() * 2);
    }
}

std::optional<std::string> queryVersionValue(std::string_view record, std::string_view subBlock) {
    if (record.empty())
        return std::nullopt;
    // VerQueryValueA may rework the block it is given: it gets a copy of its own.
    std::string block(record);
    const std::string key(subBlock);
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), key.c_str(), &value, &length) || !value)
        return std::nullopt;
    // The value lies inside the copy; a text's length counts characters, a binary's bytes.
    const char* begin = static_cast<const char*>(value);
    const char* end = block.data() + block.size();
    if (begin < block.data() || begin > end)
        return std::nullopt;
    std::size_t n = length;
    if (n > static_cast<std::size_t>(end - begin))
        n = static_cast<std::size_t>(end - begin);
    return std::string(begin, n);
}

}  // namespace platform
