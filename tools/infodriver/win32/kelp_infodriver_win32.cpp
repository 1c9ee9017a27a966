// kelp-infodriver.exe DEVICE: the stand-in infodriver on Win32 (the logic is standin_core).
//
// Its window is a hidden top-level window, so it receives the clients' broadcasts. Slot writes
// and reads of the interface library, and change requests of kelp-slot.exe, arrive as
// WM_COPYDATA (slot_request.h). A slot change or text sent to a client carries a pointer in
// lParam: the bytes are first written into memory allocated in the client's process, which is
// freed once the send has returned. Commands come from standard input through a reader thread.
// First: it brings <windows.h> in after the protocol's names.
#include "slot_request.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/say.h"

namespace {

// A line of standard input for the window (lParam: a std::string the window deletes), and the
// end of input.
constexpr UINT kInputLine = WM_APP + 1;
constexpr DWORD kSendTimeoutMs = 5000;

class Win32Link final : public standin::Link {
  public:
    HWND window = nullptr;

    standin::Handle self() const override { return handleOf(window); }

    // Window handles keep their meaning in 32 bits; a low word is resolved by looking for the
    // top-level window that has it.
    standin::Handle fromLowWord(std::uint32_t low) override {
        struct Search {
            std::uint32_t low;
            HWND found;
        } search{low, nullptr};
        EnumWindows(
            [](HWND h, LPARAM l) -> BOOL {
                auto* s = reinterpret_cast<Search*>(l);
                if ((handleOf(h) & 0xFFFF) != s->low)
                    return TRUE;
                s->found = h;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found ? handleOf(search.found) : low;
    }

    std::intptr_t send(standin::Handle to, std::uint32_t msg, std::uintptr_t wParam,
                       std::intptr_t lParam) override {
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(windowOf(to), msg, wParam, lParam, SMTO_NORMAL, kSendTimeoutMs,
                                 &result))
            return 0;
        return static_cast<std::intptr_t>(result);
    }

    std::intptr_t sendBytes(standin::Handle to, std::uint32_t msg, std::uintptr_t wParam,
                            const char* bytes, std::size_t size) override {
        DWORD pid = 0;
        if (!GetWindowThreadProcessId(windowOf(to), &pid))
            return 0;
        HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
        if (!process)
            return 0;
        std::intptr_t result = 0;
        void* remote =
            VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (remote && WriteProcessMemory(process, remote, bytes, size, nullptr))
            result = send(to, msg, wParam, reinterpret_cast<LPARAM>(remote));
        if (remote)
            VirtualFreeEx(process, remote, 0, MEM_RELEASE);
        CloseHandle(process);
        return result;
    }

    bool survives(standin::Handle to) override { return IsWindow(windowOf(to)); }

    void die() override { TerminateProcess(GetCurrentProcess(), 9); }

    static standin::Handle handleOf(HWND h) {
        return static_cast<standin::Handle>(reinterpret_cast<std::uintptr_t>(h));
    }
    static HWND windowOf(standin::Handle h) {
        return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(h));
    }
};

struct App {
    Win32Link link;
    std::unique_ptr<standin::StandIn> standIn;
};

// A WM_COPYDATA request: writes and change requests hand the core their text; a read fills a
// local buffer that is then copied into the reader's.
LRESULT slotRequest(App& app, const COPYDATASTRUCT& copy) {
    standin::SlotRequest request;
    if (copy.dwData != standin::kSlotRequestTag || copy.cbData < sizeof request || !copy.lpData)
        return 0;
    std::memcpy(&request, copy.lpData, sizeof request);
    const char* bytes = static_cast<const char*>(copy.lpData) + sizeof request;
    const std::size_t size = copy.cbData - sizeof request;
    standin::Payload payload;
    if (request.message == infodriver::ZED_SLOTREAD) {
        const std::size_t count = std::min<std::size_t>(request.count, standin::REQUEST_MAX);
        std::vector<char> value(count);
        payload.out = value.data();
        payload.outSize = count;
        auto r = app.standIn->handle(request.message, request.slot, 0, payload);
        if (!r || *r == 0 || count == 0)
            return 0;
        HANDLE reader =
            OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, request.readerProcess);
        if (!reader)
            return 0;
        const BOOL written = WriteProcessMemory(
            reader, reinterpret_cast<void*>(static_cast<std::uintptr_t>(request.readerBuffer)),
            value.data(), strnlen(value.data(), count - 1) + 1, nullptr);
        CloseHandle(reader);
        return written ? *r : 0;
    }
    // The bytes as a text, terminated whatever the sender sent.
    const std::string text(bytes, strnlen(bytes, size));
    payload.text = text.c_str();
    auto r = app.standIn->handle(request.message, request.slot, 0, payload);
    return r ? *r : 0;
}

LRESULT CALLBACK windowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* app = reinterpret_cast<App*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    switch (msg) {
        case WM_NCCREATE:
            SetWindowLongPtrA(hwnd, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(
                                  reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams));
            break;
        case WM_COPYDATA:
            if (app && app->standIn)
                return slotRequest(*app, *reinterpret_cast<COPYDATASTRUCT*>(lParam));
            return 0;
        case kInputLine: {
            std::unique_ptr<std::string> line(reinterpret_cast<std::string*>(lParam));
            if (app && app->standIn && line)
                app->standIn->command(*line);
            return 0;
        }
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            if (app && app->standIn && msg >= WM_USER) {
                standin::Payload payload;
                if (auto r = app->standIn->handle(msg, wParam, lParam, payload))
                    return *r;
            }
            break;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// Reads standard input and hands each line to the window; at its end the stand-in keeps serving.
void readInput(HWND window) {
    standin::LineSplitter lines;
    auto post = [window](const std::string& line) {
        auto* copy = new std::string(line);
        if (!PostMessageA(window, kInputLine, 0, reinterpret_cast<LPARAM>(copy)))
            delete copy;
    };
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[4096];
    DWORD n = 0;
    while (input && ReadFile(input, buffer, sizeof buffer, &n, nullptr) && n > 0)
        lines.feed(buffer, n, post);
    lines.finish(post);
}

HWND mainWindow = nullptr;

BOOL WINAPI onConsoleEvent(DWORD) {
    PostMessageA(mainWindow, WM_CLOSE, 0, 0);
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    // Lines end in LF alone, as the Linux tools write them.
    _setmode(_fileno(stdout), _O_BINARY);
    standin::Options options;
    if (auto code = standin::parseOptions(argc, argv, options))
        return *code;

    App app;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = standin::CLASS_NAME;
    RegisterClassA(&windowClass);
    // A hidden top-level window: broadcasts reach it, and nothing of it is ever shown. Tools
    // find it by its title, the device number.
    app.link.window =
        CreateWindowExA(0, standin::CLASS_NAME, std::to_string(options.device).c_str(),
                        WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, windowClass.hInstance, &app);
    if (!app.link.window) {
        std::fprintf(stderr, "kelp-infodriver: cannot create its window\n");
        return 1;
    }
    app.standIn = std::make_unique<standin::StandIn>(app.link, options);
    mainWindow = app.link.window;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    std::thread(readInput, app.link.window).detach();

    say("ready");
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}
