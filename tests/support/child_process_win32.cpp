// ChildProcess on Win32: CreateProcessA with pipes for stdin, stdout and stderr.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>
#include <thread>

#include "child_process.h"

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;

HANDLE native(void* h) {
    return static_cast<HANDLE>(h);
}

void closeHandle(void*& h) {
    if (h)
        CloseHandle(native(h));
    h = nullptr;
}

// Quotes one argument by the rules that the C runtime's command-line parser undoes.
std::string quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    return out + "\"";
}

// The current environment with `env` applied, as a CreateProcess environment block.
std::string environmentBlock(const ChildProcess::Env& env) {
    std::map<std::string, std::string> vars;
    if (char* block = GetEnvironmentStringsA()) {
        for (const char* p = block; *p; p += std::strlen(p) + 1) {
            std::string entry(p);
            std::size_t eq = entry.find('=', 1);  // "=C:=C:\..." entries start with '='
            if (eq != std::string::npos)
                vars[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
        FreeEnvironmentStringsA(block);
    }
    for (const auto& [k, v] : env) {
        if (v.empty())
            vars.erase(k);
        else
            vars[k] = v;
    }
    std::string out;
    for (const auto& [k, v] : vars)
        out += k + "=" + v + '\0';
    return out + '\0';
}

// Appends what the pipe holds now to buf; false once the writer has closed it.
bool drain(HANDLE pipe, std::string& buf) {
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            return false;
        if (available == 0)
            return true;
        char tmp[4096];
        DWORD got = 0;
        if (!ReadFile(pipe, tmp, std::min<DWORD>(available, sizeof tmp), &got, nullptr))
            return false;
        buf.append(tmp, got);
    }
}

// Text-mode output ends its lines with "\r\n"; the lines are compared without the "\r".
void dropCarriageReturns(std::string& buf) {
    for (std::size_t at = buf.find("\r\n"); at != std::string::npos; at = buf.find("\r\n", at))
        buf.erase(at, 1);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Env& env,
                           const std::string& outputPath) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE inRead, inWrite, outRead = nullptr, outWrite, errRead = nullptr, errWrite;
    if (!CreatePipe(&inRead, &inWrite, &inherit, 0))
        throw std::runtime_error("CreatePipe failed");
    if (outputPath.empty()) {
        if (!CreatePipe(&outRead, &outWrite, &inherit, 0) ||
            !CreatePipe(&errRead, &errWrite, &inherit, 0))
            throw std::runtime_error("CreatePipe failed");
    } else {
        // Appended to: every write goes to the file's end, whoever else writes there.
        outWrite = CreateFileA(outputPath.c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (outWrite == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot open " + outputPath);
        DuplicateHandle(GetCurrentProcess(), outWrite, GetCurrentProcess(), &errWrite, 0, TRUE,
                        DUPLICATE_SAME_ACCESS);
    }
    // Our ends stay in this process.
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    if (outRead)
        SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    if (errRead)
        SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

    std::string commandLine;
    for (const auto& a : argv)
        commandLine += (commandLine.empty() ? "" : " ") + quoted(a);
    std::string block = environmentBlock(env);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    PROCESS_INFORMATION pi{};
    BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                  CREATE_NO_WINDOW, block.data(), nullptr, &si, &pi);
    CloseHandle(inRead);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (!started) {
        CloseHandle(inWrite);
        if (outRead)
            CloseHandle(outRead);
        if (errRead)
            CloseHandle(errRead);
        throw std::runtime_error("CreateProcess failed: " + commandLine);
    }
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    pid_ = static_cast<pid_t>(pi.dwProcessId);
    in_ = inWrite;
    out_ = outRead;
    err_ = errRead;
}

ChildProcess::~ChildProcess() {
    if (!exitCode_) {
        TerminateProcess(native(process_), 137);
        waitExit(std::chrono::seconds(10));
    }
    closeHandle(in_);
    closeHandle(out_);
    closeHandle(err_);
    closeHandle(process_);
}

bool ChildProcess::fill(std::chrono::milliseconds timeout) {
    if (!out_)
        return false;
    // Anonymous pipes cannot be waited on: look every few milliseconds.
    const auto deadline = Clock::now() + timeout;
    const std::size_t before = outBuf_.size();
    for (;;) {
        if (!drain(native(out_), outBuf_)) {
            closeHandle(out_);
            break;
        }
        if (outBuf_.size() != before || Clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    dropCarriageReturns(outBuf_);
    return true;
}

std::string ChildProcess::stderrText() {
    if (err_ && !drain(native(err_), errBuf_))
        closeHandle(err_);
    dropCarriageReturns(errBuf_);
    return errBuf_;
}

void ChildProcess::writeStdin(const std::string& text) {
    std::size_t off = 0;
    while (in_ && off < text.size()) {
        DWORD n = 0;
        if (!WriteFile(native(in_), text.data() + off, static_cast<DWORD>(text.size() - off), &n,
                       nullptr) ||
            n == 0)
            break;
        off += n;
    }
}

void ChildProcess::closeStdin() {
    closeHandle(in_);
}

void ChildProcess::signal(int sig) {
    if (!exitCode_)
        TerminateProcess(native(process_), static_cast<UINT>(128 + sig));
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    if (exitCode_)
        return exitCode_;
    if (WaitForSingleObject(native(process_), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(native(process_), &code);
    exitCode_ = static_cast<int>(code);
    return exitCode_;
}

}  // namespace testing_support
