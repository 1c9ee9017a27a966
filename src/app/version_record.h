// The program file's own version record, and the texts the About box makes from it.
//
// The record itself is read through the platform layer (platform/version_info.h): on Win32 the
// VERSIONINFO resource, on Linux an ELF section that the build writes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/version_info.h"

namespace app {

inline constexpr std::size_t kVersionValueMax = 255;

using platform::queryVersionValue;
using platform::readVersionRecord;

// The About box's version line "Version <FileVersion>  (<ProductVersion>)" worked out from a
// record; empty when the record is empty. Each value is cut to 255 characters.
std::string versionLineFromRecord(std::string_view record);

// "Mmm dd yyyy - hh:mm:ss" from the compiler's __DATE__ ("Oct  8 2013") and __TIME__; a blank
// padded day becomes two digits.
std::string buildStamp(const char* date, const char* time);

}  // namespace app
