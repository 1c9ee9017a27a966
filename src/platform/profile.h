// Settings files (INI) with the semantics of the private-profile functions of Win32.
//
// On Win32 (win32/profile.cpp) these are GetPrivateProfileStringA and WritePrivateProfileStringA
// themselves. On Linux (linux/profile.cpp) an INI engine of our own reproduces them:
//
// A read gives the default when the file, the section or the key is missing. Section and key
// names match without regard to case; the value is the text after the first "=" without
// surrounding blanks, cut to 255 characters; the first of duplicate keys wins. LF and CRLF files
// both read, and bytes that are neither make no difference to the lines around them.
//
// A write replaces the value of the key in place, else adds the key at the end of its section,
// else adds the section at the end of the file, else creates the file (its directory must exist).
// Every other byte of the file stays as it was; added lines take the file's line-end style. The
// file is replaced atomically (temporary file in the same folder, then rename) with its mode
// kept; a symlinked file is written at its target. A file we may not write (by its mode bits,
// also for root) is left alone and the write is refused.
//
// The last component of a path matches an existing file without regard to case (DEV_007.ini and
// dev_007.ini are one file), the exact spelling first.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

inline constexpr std::size_t kMaxProfileValue = 255;

// Value of `key` in `section` of the file at `path`, or `defaultValue`.
std::string readProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view defaultValue);

// Sets `key` in `section` to `value`; with no value, removes the key. True when the file now
// holds what was asked (also when it held it already), false when the write was refused.
bool writeProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::optional<std::string_view> value);

// Removes `section` with all its lines. True when the file no longer holds it.
bool removeProfileSection(const std::string& path, std::string_view section);

#ifndef _WIN32
// The existing file that `path` names, its last component matched without regard to case, or
// `path` itself when no such file exists.
std::string findFileNoCase(const std::string& path);
#endif

}  // namespace platform
