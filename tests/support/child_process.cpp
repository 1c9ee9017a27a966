#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// The current environment with `changes` applied (an empty value unsets), as NAME=VALUE entries.
std::vector<std::string> withChanges(const ChildProcess::Env& changes) {
    std::vector<std::string> out;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (!changes.count(name))
            out.push_back(entry);
    }
    for (const auto& [name, value] : changes)
        if (!value.empty())
            out.push_back(name + "=" + value);
    return out;
}

// Starts `args[0]` with `envp`, and `in`, `out` and `err` as its stdin, stdout and stderr;
// returns its pid, or -errno (also when the program cannot be run: a failed exec comes back
// through a close-on-exec pipe).
//
// vfork, not fork: the parent may be large and run many threads (a benchmark's cameras and
// readers), and copying its address space for every child made a farm of 256 drivers start in
// 24 s instead of 17. Not posix_spawn: glibc's leaves the real-time signals it keeps for itself
// ignored in the child after exec, which no program expects. The child shares this process's
// memory until it execs, so it only resets the signal handlers installed here, restores the mask
// and sets up its descriptors; every argument is made beforehand, and no signal handler of ours
// can run in it.
pid_t startProcess(char* const* args, char* const* envp, int in, int out, int err) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return -errno;
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    const pid_t pid = vfork();
    if (pid == 0) {
        struct sigaction byDefault {};
        byDefault.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig) {
            struct sigaction current {};
            if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler != SIG_IGN &&
                current.sa_handler != SIG_DFL)
                sigaction(sig, &byDefault, nullptr);
        }
        sigprocmask(SIG_SETMASK, &old, nullptr);
        if (dup2(in, 0) >= 0 && dup2(out, 1) >= 0 && dup2(err, 2) >= 0)
            execve(args[0], args, envp);
        const int error = errno;
        [[maybe_unused]] ssize_t n = write(report[1], &error, sizeof error);
        _exit(127);
    }
    const int forkError = pid < 0 ? errno : 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    close(report[1]);
    int error = forkError;
    if (pid > 0) {
        ssize_t n;
        do {
            n = read(report[0], &error, sizeof error);
        } while (n < 0 && errno == EINTR);
        if (n == sizeof error)
            waitpid(pid, nullptr, 0);
        else
            error = 0;  // the pipe closed at exec
    }
    close(report[0]);
    return error != 0 ? -error : pid;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Env& env,
                           const std::string& outputPath) {
    // Every descriptor made here is close-on-exec; the child gets its copies by dup2 alone.
    int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
    bool made = pipe2(inPipe, O_CLOEXEC) == 0;
    if (outputPath.empty()) {
        made = made && pipe2(outPipe, O_CLOEXEC) == 0 && pipe2(errPipe, O_CLOEXEC) == 0;
    } else {
        outPipe[1] = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        made = made && outPipe[1] >= 0;
    }
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> environment = withChanges(env);
    std::vector<char*> envp;
    for (auto& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t started = made && args[0]
                              ? startProcess(args.data(), envp.data(), inPipe[0], outPipe[1],
                                             errPipe[1] >= 0 ? errPipe[1] : outPipe[1])
                              : -EINVAL;
    for (int fd : {inPipe[0], outPipe[1], errPipe[1]})
        if (fd >= 0)
            close(fd);
    in_ = inPipe[1];
    out_ = outPipe[0];
    err_ = errPipe[0];
    if (started < 0) {
        for (int fd : {in_, out_, err_})
            if (fd >= 0)
                close(fd);
        throw std::runtime_error("cannot start " + (argv.empty() ? std::string() : argv[0]) + ": " +
                                 std::strerror(-started));
    }
    pid_ = started;
    if (out_ >= 0)
        setNonBlocking(out_);
    if (err_ >= 0)
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
