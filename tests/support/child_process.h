// A child process for whole-process tests: argv and extra environment in, stdout and stderr read
// line by line with time limits, stdin writable. The destructor kills what still runs.
// child_process.cpp is the POSIX implementation, child_process_win32.cpp the Win32 one (there
// signal() ends the process with exit code 128 + sig, and stdout lines lose a trailing "\r").
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

class ChildProcess {
  public:
    using Env = std::map<std::string, std::string>;

    // Starts `argv[0]` (a path) with the current environment plus `env` (an empty value unsets).
    // With `outputPath`, stdout and stderr are appended to that file (made when missing) instead
    // of coming here, for children whose output is read afterwards or never: readLine then finds
    // nothing, and a child that writes much never waits for a reader.
    ChildProcess(const std::vector<std::string>& argv, const Env& env = {},
                 const std::string& outputPath = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Next line of stdout (without the newline); nullopt on time-out or end of output.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Reads stdout lines until one contains `needle`; returns that line, nullopt on time-out.
    std::optional<std::string> waitForLine(const std::string& needle,
                                           std::chrono::milliseconds timeout);
    // Every stdout line read so far (by readLine/waitForLine).
    const std::vector<std::string>& linesSeen() const { return seen_; }
    // Everything written to stderr so far (non-blocking read).
    std::string stderrText();

    void writeStdin(const std::string& text);
    void closeStdin();

    void signal(int sig);
    // Waits for exit; returns the exit code (128 + signal for a signal death), nullopt on time-out.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);

  private:
    bool fill(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
#ifdef _WIN32
    void* process_ = nullptr;  // HANDLEs
    void *in_ = nullptr, *out_ = nullptr, *err_ = nullptr;
#else
    int in_ = -1, out_ = -1, err_ = -1;
#endif
    std::string outBuf_, errBuf_;
    std::vector<std::string> seen_;
    std::optional<int> exitCode_;
};

// Runs a program to its end; returns its exit code, with stdout and stderr captured.
struct RunResult {
    int exitCode = -1;
    std::string out, err;
};
RunResult runProgram(const std::vector<std::string>& argv, const ChildProcess::Env& env = {},
                     std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace testing_support
