#include "platform/log_file.h"

#include <windows.h>

namespace platform {

bool appendToFile(const std::string& path, std::string_view record) {
    // FILE_APPEND_DATA alone: every write goes to the end of the file, whoever else appends.
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER start{};
    const bool sized = GetFileSizeEx(file, &start) != 0;
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(record.size());
    const bool ok = WriteFile(file, record.data(), size, &written, nullptr) != 0;
    const bool whole = ok && written == size;
    CloseHandle(file);
    if (!whole && written > 0 && sized) {
        // Cutting the file needs write access at a position; append-only handles have neither.
        HANDLE cut = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (cut != INVALID_HANDLE_VALUE) {
            if (SetFilePointerEx(cut, start, nullptr, FILE_BEGIN))
                SetEndOfFile(cut);
            CloseHandle(cut);
        }
    }
    return whole;
}

bool makeDirectory(const std::string& path) {
    return !path.empty() && CreateDirectoryA(path.c_str(), nullptr) != 0;
}

LocalTime localTimeNow() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    LocalTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    return t;
}

}  // namespace platform
