// Paths of the machine: the Windows directory, the path of serial port n, the path separator.
//
// On Win32 these are the real ones (win32/prefix.cpp): GetWindowsDirectoryA, paths used as given,
// serial port n is "\\.\COMn". On Linux a prefix stands in for the machine:
//
// The prefix: one directory that plays the machine for a driver and its peers.
//
//   $KELP_PREFIX (default $XDG_DATA_HOME/kelp, else ~/.local/share/kelp)
//     drive_c/            stands for C:\ ; drive_c/windows is the Windows directory
//     dosdevices/comN     symlink naming the device of serial port N (else /dev/ttyS<N-1>)
//
// Named objects and the message bus of one prefix live in its runtime folder, private to the
// user: $XDG_RUNTIME_DIR/kelp-<hash> when that variable is set, else /tmp/kelp-<uid>-<hash>.
// The prefix follows the environment as it is at each call; the runtime folder is made and checked
// once per process, so a process that points the environment at another prefix (tests do) says so
// with prefixChanged().
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Joins a folder and a file name.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

#ifndef _WIN32
// Absolute path of the prefix directory (not created).
std::string prefixDir();
#endif

// prefix/drive_c/windows, created (with its parents) when missing. Stands for GetWindowsDirectory.
std::string windowsDir();

// Translates a path in Windows form into a path in the prefix: "C:\a\b" -> prefix/drive_c/a/b,
// any drive letter X: -> prefix/drive_x, backslashes -> slashes. Other paths come back with
// backslashes turned into slashes.
std::string translatePath(std::string_view path);

// The device that stands for serial port n: prefix/dosdevices/comN when that link exists (even
// when it dangles), else /dev/ttyS<n-1>.
std::string serialDevicePath(int n);

#ifndef _WIN32
// The prefix's runtime folder (created mode 0700 on first use). Returns an empty string, and
// prints why on stderr once, when it cannot be made safe: not a directory, owned by another user,
// or reachable by others.
std::string runtimeDir();

// Makes the next runtimeDir() of every thread follow the environment as it is then: to be called
// after KELP_PREFIX, XDG_DATA_HOME, HOME or XDG_RUNTIME_DIR changed within the process.
void prefixChanged();
#endif

}  // namespace platform
