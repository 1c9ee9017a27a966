#include "platform/prefix.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string_view>

namespace fs = std::filesystem;

namespace platform {

namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : fallback;
}

// Makes `dir` if missing (mode 0700) and checks that it is a private directory of ours.
bool makePrivateDir(const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

}  // namespace

std::string prefixDir() {
    std::string p = envOr("KELP_PREFIX", "");
    if (p.empty()) {
        std::string data = envOr("XDG_DATA_HOME", envOr("HOME", "/tmp") + "/.local/share");
        p = data + "/kelp";
    }
    std::error_code ec;
    fs::path abs = fs::absolute(p, ec);
    return ec ? p : abs.lexically_normal().string();
}

std::string windowsDir() {
    std::string dir = prefixDir() + "/drive_c/windows";
    std::error_code ec;
    fs::create_directories(dir, ec);
    return dir;
}

std::string translatePath(std::string_view path) {
    std::string out;
    if (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') {
        out = prefixDir() + "/drive_" +
              static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
        path.remove_prefix(2);
        if (!path.empty() && path[0] != '\\' && path[0] != '/')
            out += '/';
    }
    for (char c : path)
        out += (c == '\\') ? '/' : c;
    return out;
}

std::string serialDevicePath(int n) {
    std::string link = prefixDir() + "/dosdevices/com" + std::to_string(n);
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0)
        return link;
    return "/dev/ttyS" + std::to_string(n - 1);
}

namespace {

// The runtime folder for the environment as it is now, made and checked.
std::string makeRuntimeDir() {
    // One folder per user and prefix; the hash keeps the socket paths short (108-byte limit).
    std::string prefix = prefixDir();
    char tag[32];
    std::snprintf(tag, sizeof tag, "%016zx", std::hash<std::string>{}(prefix));
    std::string dir;
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg)
        dir = std::string(xdg) + "/kelp-" + tag;
    else
        dir = "/tmp/kelp-" + std::to_string(geteuid()) + "-" + tag;
    if (makePrivateDir(dir))
        return dir;
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        std::fprintf(stderr, "kelp: runtime folder %s is not a private directory of this user\n",
                     dir.c_str());
    return {};
}

// What the runtime folder depends on, written into `key`; false when it cannot be cached: a
// relative prefix also depends on the working directory.
bool runtimeKey(std::string& key) {
    key.clear();
    for (const char* name : {"KELP_PREFIX", "XDG_DATA_HOME", "HOME", "XDG_RUNTIME_DIR"}) {
        const char* value = std::getenv(name);
        if (!value)
            value = "";
        if (name != std::string_view("XDG_RUNTIME_DIR") && *value && *value != '/')
            return false;
        key += value;
        key += '\0';
    }
    return true;
}

}  // namespace

std::string runtimeDir() {
    // Sends look up the folder on every call: it is made and checked once per environment (per
    // thread, so no lock is needed), and again when the environment changes.
    thread_local std::string cachedKey;
    thread_local std::string cachedDir;
    thread_local std::string key;  // reused: a send builds no new string to check the cache
    const bool cacheable = runtimeKey(key);
    if (cacheable && key == cachedKey && !cachedDir.empty())
        return cachedDir;
    std::string dir = makeRuntimeDir();
    if (cacheable) {
        cachedKey = key;
        cachedDir = dir;
    }
    return dir;
}

}  // namespace platform
