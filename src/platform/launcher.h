// Starting a program whose work lives in a shared library.
//
// A program linked against Qt spends its first tens of milliseconds in the dynamic loader, before
// any code of its own runs; a termination signal in that time would kill it outright. A small
// program that is linked against nothing big blocks the termination signals first and then loads
// the library that does the work, so that no signal is lost or fatal however early it comes.
#pragma once

namespace platform {

// Blocks SIGTERM, SIGINT and SIGHUP (one sent meanwhile stays pending), loads `library` (found
// along the program's run path), and returns what its C function `entry(argc, argv)` returns.
// The library takes the signals over with holdTerminationSignals, which unblocks them. When the
// library or its entry cannot be found, says why on stderr and returns -1.
int runLibraryEntry(const char* library, const char* entry, int argc, char** argv);

}  // namespace platform
