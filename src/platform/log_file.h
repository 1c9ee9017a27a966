// Log files: lines appended to a text file that is opened and closed for each line.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Appends `record` to the file at `path`, creating the file when it is missing, with one write
// of the whole record: it reaches the file whole or not at all. A write cut short (full disk,
// file size limit) is undone by cutting the file back to where the record began, so the next
// record never lands after a fragment. Never waits: a pipe without a reader in place of the file
// fails at once. True when the whole record was written. A file size limit counts as a full
// disk: from the first call on, the process ignores SIGXFSZ.
bool appendToFile(const std::string& path, std::string_view record);

// Creates one directory level (the parent must exist). True when the directory was made.
bool makeDirectory(const std::string& path);

// The local time with milliseconds, as a log line is stamped with it.
struct LocalTime {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};
LocalTime localTimeNow();

}  // namespace platform
