// window_probe.exe: drives quilupdate.exe's main window from outside, as a
// user's clicks would, for the window test under Wine.
//   window_probe main SECONDS     waits for the window; prints its caption,
//                                 rectangle, client area and list entries
//   window_probe about SECONDS    chooses About in the system menu, waits for
//                                 the About box and closes it
//   window_probe update SECONDS   presses Update, confirms the box, waits for
//                                 the done view and presses Close
// Exit status 0 when everything happened in time, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kCaption[] = L"Quil Firmware Update";
constexpr int kUnitList = 1001;
constexpr int kUpdate = 1009;
constexpr int kCongratulations = 1015;
constexpr int kClose = 1;
constexpr int kAboutCommand = 16;

DWORD g_deadline = 0;

bool TimeLeft() { return static_cast<LONG>(g_deadline - GetTickCount()) > 0; }

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
}

std::wstring TextOf(HWND window) {
    wchar_t buffer[512] = {};
    GetWindowTextW(window, buffer, 512);
    return buffer;
}

HWND WaitForDialog(const wchar_t* caption) {
    while (TimeLeft()) {
        if (HWND found = FindWindowW(L"#32770", caption)) {
            if (IsWindowVisible(found)) return found;
        }
        Sleep(100);
    }
    return nullptr;
}

// A message box (or any dialog) whose static text begins with `start`.
struct BoxSearch {
    const wchar_t* start;
    HWND found;
};

BOOL CALLBACK FindBoxText(HWND child, LPARAM context) {
    auto* search = reinterpret_cast<BoxSearch*>(context);
    const std::wstring text = TextOf(child);
    if (text.rfind(search->start, 0) == 0) {
        search->found = GetAncestor(child, GA_ROOT);
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindBox(HWND window, LPARAM context) {
    wchar_t cls[32] = {};
    GetClassNameW(window, cls, 32);
    if (std::wcscmp(cls, L"#32770") == 0 && IsWindowVisible(window)) EnumChildWindows(window, FindBoxText, context);
    return reinterpret_cast<BoxSearch*>(context)->found == nullptr;
}

HWND WaitForBox(const wchar_t* start) {
    while (TimeLeft()) {
        BoxSearch search{start, nullptr};
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) return search.found;
        Sleep(100);
    }
    return nullptr;
}

int Main(HWND main) {
    RECT r{};
    GetWindowRect(main, &r);
    std::printf("caption: %s\n", Narrow(TextOf(main)).c_str());
    std::printf("rectangle: %ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    RECT client{};
    GetClientRect(main, &client);
    POINT origin{0, 0};
    ClientToScreen(main, &origin);
    std::printf("client: %ld %ld %ld %ld\n", origin.x, origin.y, client.right, client.bottom);
    const HWND list = GetDlgItem(main, kUnitList);
    const LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
    std::printf("entries: %ld\n", static_cast<long>(count));
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t text[300] = {};
        if (SendMessageW(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) < 300)
            SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        std::printf("entry: %s\n", Narrow(text).c_str());
    }
    return 0;
}

int About(HWND main) {
    PostMessageW(main, WM_SYSCOMMAND, kAboutCommand, 0);
    const HWND about = WaitForDialog(L"About Quil Update");
    if (about == nullptr) {
        std::printf("about: not shown\n");
        return 1;
    }
    std::printf("about: shown\n");
    PostMessageW(about, WM_COMMAND, IDOK, 0);
    while (TimeLeft() && IsWindow(about)) Sleep(100);
    std::printf("about: %s\n", IsWindow(about) ? "still open" : "closed");
    return IsWindow(about) ? 1 : 0;
}

int Update(HWND main) {
    PostMessageW(GetDlgItem(main, kUpdate), BM_CLICK, 0, 0);
    const HWND box = WaitForBox(L"About to program");
    if (box == nullptr) {
        std::printf("update: no confirmation box\n");
        return 1;
    }
    std::printf("update: confirmed\n");
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    const HWND done = GetDlgItem(main, kCongratulations);
    while (TimeLeft() && !IsWindowVisible(done)) Sleep(200);
    if (!IsWindowVisible(done)) {
        std::printf("update: not done in time\n");
        return 1;
    }
    std::printf("update: done\n");
    PostMessageW(GetDlgItem(main, kClose), BM_CLICK, 0, 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: window_probe main|about|update SECONDS\n");
        return 2;
    }
    g_deadline = GetTickCount() + static_cast<DWORD>(std::atoi(argv[2])) * 1000u;
    const HWND main = WaitForDialog(kCaption);
    if (main == nullptr) {
        std::printf("main: no window\n");
        return 1;
    }
    const std::string command = argv[1];
    int status = 2;
    if (command == "main") status = Main(main);
    if (command == "about") status = About(main);
    if (command == "update") status = Update(main);
    std::fflush(stdout);
    return status;
}
