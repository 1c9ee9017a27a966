// A fresh prefix for one test (Linux; on Win32 the machine of a test run is the Wine prefix that
// the wine_prefix fixture makes): a temporary directory that KELP_PREFIX points at while the object
// lives. XDG_RUNTIME_DIR is cleared, so the runtime folder is derived from the prefix alone; both
// folders are removed when the object goes.
#pragma once

#include <string>

namespace testing_support {

#ifndef _WIN32
class TestPrefix {
  public:
    TestPrefix();
    ~TestPrefix();
    TestPrefix(const TestPrefix&) = delete;
    TestPrefix& operator=(const TestPrefix&) = delete;

    const std::string& path() const { return path_; }
    std::string driveC() const { return path_ + "/drive_c"; }
    std::string windowsDir() const { return path_ + "/drive_c/windows"; }

    // Links dosdevices/comN to `target` (which need not exist).
    void linkComPort(int n, const std::string& target) const;

  private:
    std::string path_;
    std::string oldPrefix_;
    bool hadPrefix_ = false;
};
#endif

// Path of a program built by this project (KELP_BIN_DIR/name).
std::string binPath(const std::string& name);

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
// Writes a whole file (creating parent directories).
void writeFile(const std::string& path, const std::string& content);

}  // namespace testing_support
