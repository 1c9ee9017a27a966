// Shared set-up of the port tests: a fresh prefix, pseudo-terminals linked as COM ports, a Qt
// core application for window targets, and a callback target that counts its calls.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "comms/port_table.h"
#include "comms/serial_port.h"
#include "pty_pair.h"
#include "test_prefix.h"

namespace comms_test {

using testing_support::PtyPair;

// Polls `pred` until it holds or `limit` passes.
template <typename Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline QCoreApplication* application() {
    static int argc = 1;
    static char name[] = "comms_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = QCoreApplication::instance() ? QCoreApplication::instance()
                                                                : new QCoreApplication(argc, argv);
    return app;
}

// Runs the event loop for `d`.
inline void pump(std::chrono::milliseconds d) {
    auto end = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

struct CallbackLog {
    std::atomic<int> calls{0};
    std::atomic<void*> lastOwner{nullptr};
    std::atomic<bool> onOtherThread{true};
};
inline std::atomic<CallbackLog*> callbackLog{nullptr};
inline std::thread::id testThread;
inline void countingCallback(void* owner) {
    CallbackLog* log = callbackLog.load();
    if (!log)
        return;
    log->lastOwner = owner;
    if (std::this_thread::get_id() == testThread)
        log->onOtherThread = false;
    ++log->calls;
}

class PortTest : public ::testing::Test {
  protected:
    testing_support::TestPrefix prefix;
    std::vector<std::unique_ptr<PtyPair>> ptys;
    CallbackLog log;

    void SetUp() override {
        application();
        testThread = std::this_thread::get_id();
        callbackLog = &log;
    }
    void TearDown() override {
        // Leave no port open for the next test, whatever this one did; only then may the
        // callback's log go.
        for (int i = 0; i < comms::COMM_MAX_PORTS; ++i)
            comms::comm_close(i);
        comms::comm_close(-1);
        callbackLog = nullptr;
    }

    // A pty linked as COMn; null (and the test skipped) when ptys are unavailable.
    PtyPair* link(int n) {
        auto p = std::make_unique<PtyPair>();
        if (!p->ok())
            return nullptr;
        prefix.linkComPort(n, p->slavePath);
        ptys.push_back(std::move(p));
        return ptys.back().get();
    }
};

#define LINK_OR_SKIP(var, n) \
    PtyPair* var = link(n);  \
    if (!var)                \
    GTEST_SKIP() << "pseudo-terminals unavailable"

}  // namespace comms_test
