#include "platform/message_box.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "test_prefix.h"

namespace {

// Captures what is written to stderr while it lives.
class StderrCapture {
  public:
    StderrCapture() {
        std::fflush(stderr);
        char tmpl[] = "/tmp/kelp-stderr-XXXXXX";
        fd_ = mkstemp(tmpl);
        path_ = tmpl;
        saved_ = dup(2);
        dup2(fd_, 2);
    }
    ~StderrCapture() { restore(); }
    std::string text() {
        restore();
        return text_;
    }

  private:
    void restore() {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        dup2(saved_, 2);
        ::close(saved_);
        ::close(fd_);
        saved_ = -1;
        text_ = testing_support::readFile(path_);
        unlink(path_.c_str());
    }
    int fd_ = -1, saved_ = -1;
    std::string path_, text_;
};

// Sets or unsets environment variables for one scope.
class EnvGuard {
  public:
    void set(const char* name, const char* value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvGuard() {
        for (auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace

TEST(MessageBox, WithoutApplicationGoesToStderr) {
    StderrCapture cap;
    platform::messageBox("Device number %s%n must be > 0", "KELP Camlet32",
                         platform::BoxIcon::Error);
    std::string text = cap.text();
    EXPECT_NE(text.find("KELP Camlet32: Device number %s%n must be > 0\n"), std::string::npos)
        << text;
}

TEST(MessageBox, ChooseQtPlatformOnlyWithoutDisplay) {
    EnvGuard env;
    env.set("QT_QPA_PLATFORM", nullptr);
    env.set("DISPLAY", ":0");
    env.set("WAYLAND_DISPLAY", nullptr);
    platform::chooseQtPlatform();
    EXPECT_EQ(std::getenv("QT_QPA_PLATFORM"), nullptr);
    EXPECT_FALSE(platform::runningOffscreen());

    env.set("DISPLAY", nullptr);
    env.set("WAYLAND_DISPLAY", "wayland-0");
    platform::chooseQtPlatform();
    EXPECT_EQ(std::getenv("QT_QPA_PLATFORM"), nullptr);

    env.set("WAYLAND_DISPLAY", "");
    platform::chooseQtPlatform();
    ASSERT_NE(std::getenv("QT_QPA_PLATFORM"), nullptr);
    EXPECT_STREQ(std::getenv("QT_QPA_PLATFORM"), "offscreen");
    EXPECT_TRUE(platform::runningOffscreen());

    env.set("QT_QPA_PLATFORM", "xcb");
    platform::chooseQtPlatform();
    EXPECT_STREQ(std::getenv("QT_QPA_PLATFORM"), "xcb") << "a platform set by the user stays";
    EXPECT_FALSE(platform::runningOffscreen());
}

TEST(MessageBox, OffscreenApplicationPrintsAndReturns) {
    EnvGuard env;
    env.set("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char arg0[] = "message_box_tests";
    char* argv[] = {arg0, nullptr};
    QApplication app(argc, argv);
    // Whatever the environment says now, the running platform decides.
    env.set("QT_QPA_PLATFORM", "xcb");
    EXPECT_TRUE(platform::runningOffscreen());
    StderrCapture cap;
    platform::messageBox("Can't create window", "Error", platform::BoxIcon::Error);
    EXPECT_EQ(cap.text(), "Error: Can't create window\n");
}
