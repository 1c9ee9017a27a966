#include "test_prefix.h"

#include "platform/prefix.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testing_support {

#ifndef _WIN32
TestPrefix::TestPrefix() {
    std::string tmpl = (fs::temp_directory_path() / "kelp-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    if (const char* old = std::getenv("KELP_PREFIX")) {
        hadPrefix_ = true;
        oldPrefix_ = old;
    }
    setenv("KELP_PREFIX", path_.c_str(), 1);
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("CC_ROOT");
    unsetenv("CC_SYSTEM");
    platform::prefixChanged();
}

TestPrefix::~TestPrefix() {
    // The prefix's runtime folder (bus sockets, lock files) goes with it; asked while KELP_PREFIX
    // still names this prefix.
    std::error_code ec;
    if (std::string runtime = platform::runtimeDir(); !runtime.empty())
        fs::remove_all(runtime, ec);
    if (hadPrefix_)
        setenv("KELP_PREFIX", oldPrefix_.c_str(), 1);
    else
        unsetenv("KELP_PREFIX");
    platform::prefixChanged();
    fs::remove_all(path_, ec);
}

void TestPrefix::linkComPort(int n, const std::string& target) const {
    fs::path dir = fs::path(path_) / "dosdevices";
    fs::create_directories(dir);
    fs::path link = dir / ("com" + std::to_string(n));
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target, link);
}

#endif

std::string binPath(const std::string& name) {
    const char* dir = std::getenv("KELP_BIN_DIR");
    return std::string(dir ? dir : ".") + "/" + name;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

}  // namespace testing_support
