// orvane-tray-sim.exe: stands in for the game client's tray program (and, with "setup", for its
// setup program) so that scripts and tests can drive the add-in's speed-limit hand-shake from
// another process. Its command line, log and exit status are described by kUsage, which --help prints.

#include <windows.h>

#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "bridge/window_messages.hpp"

namespace {

constexpr char kUsage[] =
    "usage: orvane-tray-sim.exe [OPTION...] [STEP...]\n"
    "Plays the game client's tray program (and, with \"setup\", its setup program) towards the\n"
    "add-in's window OrvaneMessageOnlyWindow: runs the steps in order, logging each, and ends.\n"
    "\n"
    "Options:\n"
    "  --class NAME      window class of the tray window it creates (default VemoOrvaneTrayNotifyWindow)\n"
    "  --title TEXT      its title (default the tray program's own,\n"
    "                    VemoOrvaneTrayNotifyWindow-9CCB8747-9EE7-4945-A656-FD1E6852B648)\n"
    "  --no-window       create no window: only send or post, as the setup program does\n"
    "  --log FILE        write the log to FILE (created afresh) instead of stdout\n"
    "  --stop-file FILE  a \"listen\" step ends early once FILE exists\n"
    "  --deadline MS     end the whole run after MS milliseconds (default 30000), exit status 3\n"
    "  --help            print this text and exit 0\n"
    "\n"
    "Steps, run in order once the window exists:\n"
    "  send MSG [W L]    SendMessageTimeoutW (5000 ms) to the add-in's window\n"
    "  post MSG [W L]    PostMessageW to it\n"
    "  setup W L         send 0x702 with W and L, as the setup program reports its state\n"
    "  repeat N STEP     run the next step N times\n"
    "  listen MS         serve messages for MS milliseconds, or until the stop file exists\n"
    "  expect N [MS]     serve messages until N messages have arrived in all, or MS (default 5000) pass\n"
    "  find              log whether the add-in's window exists\n"
    "Numbers are decimal or 0x-hexadecimal and may be negative; W and L default to 0.\n"
    "\n"
    "Log, one line each, flushed as it is written:\n"
    "  ready KIND        the window exists: KIND is top-level, or message-only where no top-level\n"
    "                    window can be made (headless Wine); no-window with --no-window\n"
    "  recv 0xMSG W L    a message from WM_USER up reached the window: W as unsigned, L as signed decimal\n"
    "  sent 0xMSG R      a send returned R;            send 0xMSG failed    it did not reach the window\n"
    "  posted 0xMSG      a post was queued;            post 0xMSG failed    no window took it\n"
    "  addin found | addin missing\n"
    "  expect N timed out\n"
    "  done STATUS       the last line; STATUS is the exit status\n"
    "\n"
    "Exit status: 0, or 1 when an expect timed out or a send or post failed, 2 on a bad command line,\n"
    "3 when the deadline ended the run.\n"
    "\n"
    "Examples:\n"
    "  orvane-tray-sim.exe send 0x403 expect 1          ask for a limit, print the 0x405 answer\n"
    "  orvane-tray-sim.exe listen 60000                 print what LimitModeManualChanged posts\n"
    "  orvane-tray-sim.exe --no-window setup 3 -7       report a setup state\n";

constexpr wchar_t kTrayClass[] = L"VemoOrvaneTrayNotifyWindow";
constexpr wchar_t kTrayTitle[] = L"VemoOrvaneTrayNotifyWindow-9CCB8747-9EE7-4945-A656-FD1E6852B648";
constexpr UINT kSetupStatus = orvane::WM_SETUP_STATUS;
constexpr UINT kSendTimeoutMs = 5000;

std::FILE* g_log = stdout;
int g_received = 0;
bool g_failed = false;
ULONGLONG g_deadline = 0;
std::wstring g_stopFile;

void Log(const std::string& line) {
    std::fputs(line.c_str(), g_log);
    std::fputc('\n', g_log);
    std::fflush(g_log);
}

std::string Hex(UINT message) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", message);
    return text;
}

[[noreturn]] void Finish(int status) {
    Log("done " + std::to_string(status));
    if (g_log != stdout) std::fclose(g_log);
    std::exit(status);
}

[[noreturn]] void Usage(const std::wstring& problem) {
    std::fwprintf(stderr, L"orvane-tray-sim: %ls (--help shows the usage)\n", problem.c_str());
    std::fflush(stderr);
    Finish(2);
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Everything the add-in posts is in the WM_USER range; the system's own traffic is not logged.
    if (message >= WM_USER && message < 0x8000) {
        ++g_received;
        Log("recv " + Hex(message) + " " + std::to_string(static_cast<unsigned long long>(wParam)) + " " +
            std::to_string(static_cast<long long>(lParam)));
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

void CheckDeadline() {
    if (::GetTickCount64() >= g_deadline) Finish(3);
}

void DrainMessages() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

bool StopFileExists() {
    return !g_stopFile.empty() && ::GetFileAttributesW(g_stopFile.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Serves messages until done() holds or ms pass. What was queued before done() turned true is still
// served, so a message posted before the stop file was written is never lost.
template <class Done>
bool ServeUntil(Done done, ULONGLONG ms) {
    const ULONGLONG end = ::GetTickCount64() + ms;
    for (;;) {
        DrainMessages();
        if (done()) {
            DrainMessages();
            return true;
        }
        CheckDeadline();
        const ULONGLONG now = ::GetTickCount64();
        if (now >= end) return false;
        const ULONGLONG left = end - now;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left < 10 ? left : 10), QS_ALLINPUT);
    }
}

HWND FindAddinWindow() {
    // The add-in's window is message-only; a host that made it top-level is found as well.
    HWND window = ::FindWindowExW(HWND_MESSAGE, nullptr, orvane::kMessageWindowName, orvane::kMessageWindowName);
    return window != nullptr ? window : ::FindWindowW(orvane::kMessageWindowName, orvane::kMessageWindowName);
}

bool ParseNumber(const std::wstring& text, long long& value) {
    if (text.empty()) return false;
    wchar_t* end = nullptr;
    errno = 0;
    if (text[0] == L'-') {
        value = std::wcstoll(text.c_str(), &end, 0);
    } else {
        value = static_cast<long long>(std::wcstoull(text.c_str(), &end, 0));
    }
    return errno == 0 && end != nullptr && *end == L'\0';
}

class Arguments {
public:
    explicit Arguments(std::vector<std::wstring> args) : args_(std::move(args)) {}
    bool empty() const { return next_ >= args_.size(); }
    const std::wstring& peek() const { return args_[next_]; }
    std::wstring take(const wchar_t* what) {
        if (empty()) Usage(std::wstring(what) + L" missing");
        return args_[next_++];
    }
    long long number(const wchar_t* what) {
        long long value = 0;
        const std::wstring text = take(what);
        if (!ParseNumber(text, value)) Usage(std::wstring(what) + L" is not a number: " + text);
        return value;
    }
    // An optional number: taken only when the next argument reads as one.
    long long optional(long long absent) {
        long long value = 0;
        if (!empty() && ParseNumber(peek(), value)) {
            ++next_;
            return value;
        }
        return absent;
    }
    std::size_t position() const { return next_; }
    void rewind(std::size_t position) { next_ = position; }

private:
    std::vector<std::wstring> args_;
    std::size_t next_ = 0;
};

void SendStep(UINT message, long long wParam, long long lParam) {
    DWORD_PTR result = 0;
    const LRESULT sent = ::SendMessageTimeoutW(FindAddinWindow(), message, static_cast<WPARAM>(wParam),
                                               static_cast<LPARAM>(lParam), SMTO_NORMAL, kSendTimeoutMs, &result);
    if (sent == 0) {
        g_failed = true;
        Log("send " + Hex(message) + " failed");
    } else {
        Log("sent " + Hex(message) + " " + std::to_string(static_cast<long long>(result)));
    }
}

void PostStep(UINT message, long long wParam, long long lParam) {
    // A null window would post to this thread's own queue and report success.
    HWND addin = FindAddinWindow();
    if (addin != nullptr && ::PostMessageW(addin, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam))) {
        Log("posted " + Hex(message));
    } else {
        g_failed = true;
        Log("post " + Hex(message) + " failed");
    }
}

// Runs the step at the front of args.
void RunStep(Arguments& args) {
    const std::wstring step = args.take(L"step");
    if (step == L"send" || step == L"post") {
        const auto message = static_cast<UINT>(args.number(L"message number"));
        const long long wParam = args.optional(0);
        const long long lParam = args.optional(0);
        if (step == L"send")
            SendStep(message, wParam, lParam);
        else
            PostStep(message, wParam, lParam);
    } else if (step == L"setup") {
        const long long wParam = args.number(L"setup wParam");
        const long long lParam = args.number(L"setup lParam");
        SendStep(kSetupStatus, wParam, lParam);
    } else if (step == L"repeat") {
        const long long count = args.number(L"repeat count");
        if (count < 1) Usage(L"repeat count must be at least 1");
        const std::size_t start = args.position();
        for (long long i = 0; i < count; ++i) {
            args.rewind(start);
            RunStep(args);
            CheckDeadline();
        }
    } else if (step == L"listen") {
        const long long ms = args.number(L"listen time");
        ServeUntil(StopFileExists, static_cast<ULONGLONG>(ms < 0 ? 0 : ms));
    } else if (step == L"expect") {
        const long long count = args.number(L"expect count");
        const long long ms = args.optional(5000);
        if (!ServeUntil([count] { return g_received >= count; }, static_cast<ULONGLONG>(ms < 0 ? 0 : ms))) {
            g_failed = true;
            Log("expect " + std::to_string(count) + " timed out");
        }
    } else if (step == L"find") {
        Log(FindAddinWindow() != nullptr ? "addin found" : "addin missing");
    } else {
        Usage(L"unknown step " + step);
    }
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv == nullptr) return 2;
    std::vector<std::wstring> all(argv + 1, argv + argc);
    ::LocalFree(argv);
    Arguments args(std::move(all));

    std::wstring windowClass = kTrayClass;
    std::wstring title = kTrayTitle;
    bool makeWindow = true;
    long long deadlineMs = 30000;
    while (!args.empty() && args.peek().rfind(L"--", 0) == 0) {
        const std::wstring option = args.take(L"option");
        if (option == L"--help") {
            // Asking for the usage makes no window and runs no step.
            std::fputs(kUsage, stdout);
            std::fflush(stdout);
            return 0;
        }
        if (option == L"--class")
            windowClass = args.take(L"--class value");
        else if (option == L"--title")
            title = args.take(L"--title value");
        else if (option == L"--no-window")
            makeWindow = false;
        else if (option == L"--stop-file")
            g_stopFile = args.take(L"--stop-file value");
        else if (option == L"--deadline")
            deadlineMs = args.number(L"--deadline value");
        else if (option == L"--log") {
            const std::wstring path = args.take(L"--log value");
            std::FILE* file = ::_wfopen(path.c_str(), L"w");
            if (file == nullptr) Usage(L"cannot write " + path);
            g_log = file;
        } else {
            Usage(L"unknown option " + option);
        }
    }
    g_deadline = ::GetTickCount64() + static_cast<ULONGLONG>(deadlineMs < 0 ? 0 : deadlineMs);

    if (makeWindow) {
        const HINSTANCE instance = ::GetModuleHandleW(nullptr);
        WNDCLASSW windowClassInfo{};
        windowClassInfo.lpfnWndProc = &TrayWindowProc;
        windowClassInfo.hInstance = instance;
        windowClassInfo.lpszClassName = windowClass.c_str();
        ::RegisterClassW(&windowClassInfo);
        // A hidden top-level window, as the tray program has. Without a display (headless Wine) only a
        // message-only window can be made; FindWindowW finds those as well, so the add-in cannot tell.
        std::string kind = "top-level";
        HWND window = ::CreateWindowExW(0, windowClass.c_str(), title.c_str(), WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                        nullptr, instance, nullptr);
        if (window == nullptr) {
            kind = "message-only";
            window = ::CreateWindowExW(0, windowClass.c_str(), title.c_str(), 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                       instance, nullptr);
        }
        if (window == nullptr) {
            Log("cannot create the window (error " + std::to_string(::GetLastError()) + ")");
            Finish(2);
        }
        Log("ready " + kind);
    } else {
        Log("ready no-window");
    }
    while (!args.empty()) {
        RunStep(args);
        CheckDeadline();
    }
    Finish(g_failed ? 1 : 0);
}
