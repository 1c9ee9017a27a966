// The system-independent part of ChildProcess: stdout split into lines, whole runs.
#include "child_process.h"

namespace testing_support {

using Clock = std::chrono::steady_clock;

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto nl = outBuf_.find('\n');
        if (nl != std::string::npos) {
            std::string line = outBuf_.substr(0, nl);
            outBuf_.erase(0, nl + 1);
            seen_.push_back(line);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !fill(left))
            return std::nullopt;
    }
}

std::optional<std::string> ChildProcess::waitForLine(const std::string& needle,
                                                     std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0)
            return std::nullopt;
        auto line = readLine(left);
        if (!line)
            return std::nullopt;
        if (line->find(needle) != std::string::npos)
            return line;
    }
}

RunResult runProgram(const std::vector<std::string>& argv, const ChildProcess::Env& env,
                     std::chrono::milliseconds timeout) {
    ChildProcess child(argv, env);
    child.closeStdin();
    RunResult result;
    auto deadline = Clock::now() + timeout;
    while (child.readLine(std::chrono::milliseconds(50)) || !child.waitExit({})) {
        if (Clock::now() >= deadline)
            break;
    }
    while (child.readLine(std::chrono::milliseconds(0))) {
    }
    for (const auto& l : child.linesSeen())
        result.out += l + "\n";
    auto code = child.waitExit(std::chrono::seconds(1));
    result.exitCode = code ? *code : -1;
    result.err = child.stderrText();
    return result;
}

}  // namespace testing_support
