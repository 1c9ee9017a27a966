// kelp-infodriver DEVICE: a stand-in infodriver for one device number, on the prefix's message
// bus (the logic is standin_core; this file puts it on the bus). Events go to stdout, one
// flushed line each; commands come from standard input.
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/say.h"
#include "infodriver/protocol.h"
#include "platform/window.h"
#include "standin_core.h"

namespace {

class BusLink final : public standin::Link {
  public:
    platform::HWND window = 0;

    standin::Handle self() const override { return window; }
    // Bus handles are reached by their low word alone.
    standin::Handle fromLowWord(std::uint32_t low) override { return low; }
    std::intptr_t send(standin::Handle to, std::uint32_t msg, std::uintptr_t wParam,
                       std::intptr_t lParam) override {
        return platform::sendMessage(to, msg, wParam, lParam);
    }
    std::intptr_t sendBytes(standin::Handle to, std::uint32_t msg, std::uintptr_t wParam,
                            const char* bytes, std::size_t size) override {
        platform::MessageBuffer mb;
        mb.in = bytes;
        mb.inSize = size;
        return platform::sendMessage(to, msg, wParam, 0, &mb);
    }
    // A process that dies closes its bus connection and releases its window a moment apart, so
    // a window that looks alive right after a failed send is looked at again for a short while.
    bool survives(standin::Handle hwnd) override {
        for (int i = 0; i < 20; ++i) {
            if (!platform::isWindow(hwnd))
                return false;
            usleep(5000);
        }
        return true;
    }
    void die() override { raise(SIGKILL); }

    // Tells the bus which broadcasts the stand-in acts on now, when that has changed: before the
    // message that changed it is answered, so the sender's next broadcast finds it.
    void publishHandled(const standin::StandIn& standIn) {
        auto handled = standIn.handledBroadcasts();
        if (!window || handled == published_)
            return;
        published_ = handled;
        if (handled)
            platform::setHandledMessages(window, std::move(*handled));
    }

  private:
    std::optional<std::vector<platform::HandledMessage>> published_;
};

}  // namespace

int main(int argc, char** argv) {
    standin::Options options;
    if (auto code = standin::parseOptions(argc, argv, options))
        return *code;

    // A pipe reader that went away must not kill us with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    platform::chooseEventDispatcher();
    QCoreApplication app(argc, argv);
    BusLink link;
    standin::StandIn standIn(link, options);
    link.window = platform::createWindow(
        standin::CLASS_NAME, [&standIn, &link](platform::HWND hwnd, platform::UINT msg,
                                               platform::WPARAM wParam, platform::LPARAM lParam) {
            standin::Payload payload;
            if (msg == infodriver::ZED_SLOTREAD && lParam) {
                payload.out = reinterpret_cast<char*>(lParam);
                payload.outSize = platform::messageBufferSize();
            } else {
                payload.text = platform::lParamText(lParam);
            }
            auto r = standIn.handle(msg, wParam, lParam, payload);
            link.publishHandled(standIn);
            if (r)
                return static_cast<platform::LRESULT>(*r);
            return platform::defWindowProc(hwnd, msg, wParam, lParam);
        });
    // Tools find the stand-in of a device by its title (standin::findStandIn).
    if (!link.window || !platform::setWindowText(link.window, std::to_string(options.device))) {
        std::fprintf(stderr, "kelp-infodriver: cannot create the window on the message bus\n");
        return 1;
    }
    link.publishHandled(standIn);
    auto stop = [&link] {
        if (link.window)
            platform::destroyWindow(link.window);
        link.window = 0;
    };
    platform::onTerminationSignal([&stop] {
        stop();
        platform::postQuitMessage(0);
    });

    standin::LineSplitter lines;
    auto onLine = [&standIn, &link](const std::string& line) {
        standIn.command(line);
        link.publishHandled(standIn);
    };
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[4096];
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n <= 0) {
            // End of input: keep serving clients.
            input.setEnabled(false);
            lines.finish(onLine);
            return;
        }
        lines.feed(buf, static_cast<std::size_t>(n), onLine);
    });

    say("ready");
    int code = platform::runMessageLoop();
    stop();
    return code;
}
