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
    if (ec)
        return p;
    // "/var/lib/kelp/" is the same prefix as "/var/lib/kelp": one folder, one runtime folder.
    abs = abs.lexically_normal();
    if (!abs.has_filename() && abs.has_relative_path())
        abs = abs.parent_path();
    return abs.string();
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

// Bumped by prefixChanged(): each thread's copy of the runtime folder is good while it matches.
std::atomic<unsigned> prefixGeneration{1};

}  // namespace

void prefixChanged() {
    prefixGeneration.fetch_add(1, std::memory_order_release);
}

std::string runtimeDir() {
    // Sends ask for the folder on every call: it is made and checked once per process (per
    // thread, so no lock is needed) and again only after prefixChanged().
    thread_local unsigned cachedGeneration = 0;
    thread_local std::string cachedDir;
    const unsigned generation = prefixGeneration.load(std::memory_order_acquire);
    if (generation != cachedGeneration || cachedDir.empty()) {
        cachedDir = makeRuntimeDir();
        cachedGeneration = generation;
    }
    return cachedDir;
}

}  // namespace platform
