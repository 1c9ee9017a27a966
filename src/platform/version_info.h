// The version record of a program file, read back from the file (as the About box does).
//
// On Win32 (win32/version_info.cpp) the record is the file's VERSIONINFO resource, read with
// GetFileVersionInfoA and queried with VerQueryValueA. On Linux (linux/version_info.cpp) it is an
// ELF section ".kelp_version" that the build writes into the program. Its layout, all numbers
// little-endian:
//   "KELPVREC"                       8 bytes of magic
//   u16 count                        number of entries
//   count x { u16 keyLength, u16 valueLength, key bytes, value bytes }
// Keys are sub-block paths as a version query names them: "\VarFileInfo\Translation" (4 bytes:
// u16 language, u16 code page), "\StringFileInfo\080904B0\FileVersion" and so on.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The version record of the program file at `path`, as opaque bytes; empty when the file cannot
// be read or carries no record.
std::string readVersionRecord(const std::string& path);

// The path of this process's own program file (on Linux /proc/self/exe).
std::string programFilePath();

// The value stored under `subBlock` (matched without regard to case); nullopt when the record is
// malformed or has no such entry. A text value may end in NULs.
std::optional<std::string> queryVersionValue(std::string_view record, std::string_view subBlock);

}  // namespace platform
