// Line output of the stand-in tools: one printf-style line on stdout, flushed at once, so that a
// process reading the tool's output sees every event as soon as it happens.
#pragma once

#include <cstdarg>
#include <cstdio>

inline void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
