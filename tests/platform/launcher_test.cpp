// The launcher: termination signals are held from before the library loads, and a missing
// library or entry is reported rather than crashed on.
#include "platform/launcher.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

namespace {

class Launcher : public ::testing::Test {
  protected:
    void SetUp() override { sigprocmask(SIG_BLOCK, nullptr, &before_); }
    // Takes the SIGTERM the probe left pending and gives the test process its mask back.
    void TearDown() override {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        const timespec now{};
        sigtimedwait(&term, nullptr, &now);
        sigprocmask(SIG_SETMASK, &before_, nullptr);
    }

    sigset_t before_{};
};

TEST_F(Launcher, HoldsTerminationSignalsWhileTheLibraryLoads) {
    char name[] = "launcher_probe";
    char* argv[] = {name, name, nullptr};
    EXPECT_EQ(platform::runLibraryEntry(KELP_LAUNCHER_PROBE, "launcher_probe_main", 2, argv), 2);
}

TEST_F(Launcher, SaysWhyWhenTheLibraryOrItsEntryIsMissing) {
    char name[] = "launcher_test";
    char* argv[] = {name, nullptr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(platform::runLibraryEntry("libkelp_no_such_library.so", "main", 1, argv), -1);
    EXPECT_EQ(platform::runLibraryEntry("libc.so.6", "kelp_no_such_entry", 1, argv), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("libkelp_no_such_library.so"), std::string::npos) << err;
    EXPECT_NE(err.find("kelp_no_such_entry"), std::string::npos) << err;
}

}  // namespace
