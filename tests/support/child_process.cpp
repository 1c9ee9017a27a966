#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;

void setNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Appends what is available on fd to buf; false at end of file.
bool drain(int fd, std::string& buf) {
    char tmp[4096];
    for (;;) {
        ssize_t n = read(fd, tmp, sizeof tmp);
        if (n > 0) {
            buf.append(tmp, static_cast<size_t>(n));
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        return true;  // EAGAIN
    }
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Env& env) {
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        for (const auto& [k, v] : env) {
            if (v.empty())
                unsetenv(k.c_str());
            else
                setenv(k.c_str(), v.c_str(), 1);
        }
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    in_ = inPipe[1];
    out_ = outPipe[0];
    err_ = errPipe[0];
    setNonBlocking(out_);
    setNonBlocking(err_);
}

ChildProcess::~ChildProcess() {
    if (!exitCode_) {
        kill(pid_, SIGKILL);
        waitExit(std::chrono::seconds(10));
    }
    for (int fd : {in_, out_, err_})
        if (fd >= 0)
            close(fd);
}

bool ChildProcess::fill(std::chrono::milliseconds timeout) {
    if (out_ < 0)
        return false;
    pollfd p{out_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(timeout.count()));
    if (r <= 0)
        return true;
    if (!drain(out_, outBuf_)) {
        close(out_);
        out_ = -1;
    }
    return true;
}

std::string ChildProcess::stderrText() {
    if (err_ >= 0 && !drain(err_, errBuf_)) {
        close(err_);
        err_ = -1;
    }
    return errBuf_;
}

void ChildProcess::writeStdin(const std::string& text) {
    size_t off = 0;
    while (in_ >= 0 && off < text.size()) {
        ssize_t n = write(in_, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        off += static_cast<size_t>(n);
    }
}

void ChildProcess::closeStdin() {
    if (in_ >= 0)
        close(in_);
    in_ = -1;
}

void ChildProcess::signal(int sig) {
    if (!exitCode_)
        kill(pid_, sig);
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    if (exitCode_)
        return exitCode_;
    auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitCode_;
        }
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace testing_support
