// zavik_probe: reads the state of a running zavik.exe from outside, as a user
// would see it, and optionally closes it.
//
//   zavik_probe <seconds> [--close]
//
// Waits up to <seconds> for the visible main window of class "MyWin", then
// prints one "key=value" line each (texts in hex, so every byte survives):
//   caption=   the caption as ANSI bytes      captionw= as UTF-16 code units
//   log=       the text of the log pane (control 101 of the panel)
//   buttons=   enabled state of Settings..., Connect..., Listen (1036 1037 1012)
//   style=     the main window's style        fits=1 when its client area is the panel
// With --close it posts WM_CLOSE and prints exit=<code> once the process ended
// (exit=timeout if it did not). The probe's own exit code is 0 when it found
// the window, 2 when it did not.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void printHex(const char* key, const unsigned char* bytes, size_t length) {
    std::printf("%s=", key);
    for (size_t i = 0; i < length; ++i) std::printf("%02x", bytes[i]);
    std::printf("\n");
}

int enabled(HWND panel, int id) {
    HWND control = GetDlgItem(panel, id);
    if (control == nullptr) return -1;
    return IsWindowEnabled(control) ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    bool close = argc > 2 && std::strcmp(argv[2], "--close") == 0;

    HWND main = nullptr;
    for (int waited = 0; waited < seconds * 10; ++waited) {
        main = FindWindowA("MyWin", nullptr);
        if (main != nullptr && IsWindowVisible(main)) break;
        main = nullptr;
        Sleep(100);
    }
    if (main == nullptr) {
        std::printf("error=no window\n");
        return 2;
    }
    HWND panel = GetWindow(main, GW_CHILD);

    static char caption[256];
    int n = GetWindowTextA(main, caption, sizeof caption);
    printHex("caption", reinterpret_cast<unsigned char*>(caption), size_t(n > 0 ? n : 0));
    static wchar_t wide[256];
    n = GetWindowTextW(main, wide, 256);
    std::printf("captionw=");
    for (int i = 0; i < n; ++i) std::printf("%04x", unsigned(wide[i]));
    std::printf("\n");

    static char log[70000];
    n = GetDlgItemTextA(panel, 101, log, sizeof log);
    printHex("log", reinterpret_cast<unsigned char*>(log), size_t(n > 0 ? n : 0));

    std::printf("buttons=%d %d %d\n", enabled(panel, 1036), enabled(panel, 1037),
                enabled(panel, 1012));
    std::printf("style=%08lx\n", static_cast<unsigned long>(GetWindowLongA(main, GWL_STYLE)));
    RECT client, panelRect;
    GetClientRect(main, &client);
    GetWindowRect(panel, &panelRect);
    bool fits = client.right == panelRect.right - panelRect.left &&
                client.bottom == panelRect.bottom - panelRect.top && client.right > 0;
    std::printf("fits=%d client=%ldx%ld\n", fits ? 1 : 0, static_cast<long>(client.right),
                static_cast<long>(client.bottom));
    std::fflush(stdout);

    if (close) {
        DWORD processId = 0;
        GetWindowThreadProcessId(main, &processId);
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, processId);
        PostMessageA(main, WM_CLOSE, 0, 0);
        if (process == nullptr) {
            std::printf("exit=unknown\n");
        } else if (WaitForSingleObject(process, DWORD(seconds) * 1000) != WAIT_OBJECT_0) {
            std::printf("exit=timeout\n");
        } else {
            DWORD code = 0;
            GetExitCodeProcess(process, &code);
            std::printf("exit=%lu\n", static_cast<unsigned long>(code));
        }
        if (process != nullptr) CloseHandle(process);
    }
    return 0;
}
