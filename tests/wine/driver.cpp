// zavik_driver: starts a zavik.exe and works it through its window as a user
// would, for the Wine tests and the demo. It speaks zavik-headless's interface
// (docs/headless.md), so the same code drives either program:
//
//   zavik_driver <zavik.exe> [the argument for zavik.exe]
//
// - Standard output: the text of the log pane as it grows, byte for byte
//   (looked at every 10 ms; what is appended while the window is being
//   destroyed at the close is not seen).
// - Standard error, one line per event: "messagebox <caption>|<text>|<answer>",
//   "status ...", "error <reason>", and two of the driver's own:
//   "cpu process=<ms> window=<ms> wall=<ms>": processor time of zavik.exe's
//   running threads and of its window thread so far, and the driver's clock;
//   "probe caption=<hex> captionw=<hex> log=<hex> buttons=<s> <c> <l>
//   style=<hex> fits=<0|1>": the caption as ANSI bytes and as UTF-16 units,
//   the log, whether Settings..., Connect... and Listen are enabled, the main
//   window's style, and whether its client area is the panel.
// - Standard input: settings, connect, connect-cancel, click, answer, status
//   and close as for zavik-headless, and cpu and probe. End of input is close.
//
// "status" gives what the window shows: the state as the buttons tell it and
// the ten counters as displayed, both as shown= and as values=.
// The driver exits with zavik.exe's exit code, or 2 when it could not start it
// or found no window within 60 s.
//
// Window messages only, no synthetic input: BM_CLICK on buttons, WM_SETTEXT
// on dialog fields, CB_SELECTSTRING on lists, IDOK, WM_GETTEXT to read.
#include <windows.h>

#include <fcntl.h>
#include <tlhelp32.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

// winuser.h names a cursor IDC_SIZE; ours is the Size counter of the panel.
#undef IDC_SIZE
#include "ui/resource.h"

namespace {

constexpr DWORD kReplyMs = 5000;   // for a window to answer a message
constexpr DWORD kDialogMs = 15000; // for a dialog to come or go

PROCESS_INFORMATION program{};
HWND mainWindow = nullptr;
HWND panel = nullptr;
HWND logPane = nullptr;
HWND buttons[3] = {}; // Settings..., Connect..., Listen (their ids change)
HANDLE windowThread = nullptr;
bool answerYes = true;
std::string printed; // the log as written out so far

CRITICAL_SECTION inputLock;
HANDLE inputReady = nullptr;
std::deque<std::string> input;
bool inputEnded = false;

void event(const std::string& line) {
    std::fputs((line + "\n").c_str(), stderr);
    std::fflush(stderr);
}

std::string hex(const void* bytes, size_t length, size_t unit) {
    std::string s;
    char b[8];
    for (size_t i = 0; i < length; ++i) {
        if (unit == 1) {
            std::snprintf(b, sizeof b, "%02x", unsigned(static_cast<const unsigned char*>(bytes)[i]));
        } else {
            std::snprintf(b, sizeof b, "%04x", unsigned(static_cast<const wchar_t*>(bytes)[i]));
        }
        s += b;
    }
    return s;
}

LRESULT ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kReplyMs, &result);
    return LRESULT(result);
}

std::string text(HWND window) {
    LRESULT n = ask(window, WM_GETTEXTLENGTH, 0, 0);
    std::string s(size_t(n > 0 ? n : 0) + 1, '\0');
    n = ask(window, WM_GETTEXT, WPARAM(s.size()), LPARAM(&s[0]));
    s.resize(size_t(n > 0 ? n : 0));
    return s;
}

void setText(HWND dialog, int id, const std::string& value) {
    ask(GetDlgItem(dialog, id), WM_SETTEXT, 0, LPARAM(value.c_str()));
}

// Lets the program take what was posted to it.
void settle() { WaitForInputIdle(program.hProcess, kReplyMs); }

// ---- the program's windows

struct Search {
    const char* className;
    std::vector<HWND> found;
};

BOOL CALLBACK collect(HWND window, LPARAM arg) {
    Search* search = reinterpret_cast<Search*>(arg);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    if (pid == program.dwProcessId && IsWindowVisible(window) &&
        std::strcmp(name, search->className) == 0)
        search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> windowsOfClass(const char* className) {
    Search search{className, {}};
    EnumWindows(collect, LPARAM(&search));
    return search.found;
}

// The dialogs and message boxes of the program (class #32770), by caption.
HWND dialogNamed(const std::string& caption) {
    for (HWND w : windowsOfClass("#32770"))
        if (text(w) == caption) return w;
    return nullptr;
}

// (A dialog that is going away may read as having no caption.)
bool isMessageBox(HWND w) {
    std::string caption = text(w);
    return !caption.empty() && caption != "Settings" && caption != "Create Connection" &&
           (GetDlgItem(w, IDOK) != nullptr || GetDlgItem(w, IDYES) != nullptr) && IsWindowVisible(w);
}

BOOL CALLBACK longestStatic(HWND child, LPARAM arg) {
    char name[32] = "";
    GetClassNameA(child, name, sizeof name);
    std::string* longest = reinterpret_cast<std::string*>(arg);
    if (lstrcmpiA(name, "Static") == 0) {
        std::string t = text(child);
        if (t.size() > longest->size()) *longest = t;
    }
    return TRUE;
}

bool exited() { return WaitForSingleObject(program.hProcess, 0) == WAIT_OBJECT_0; }

// Answers the message boxes that are up, and says so.
bool answerBoxes() {
    bool any = false;
    for (HWND box : windowsOfClass("#32770")) {
        if (!isMessageBox(box)) continue;
        std::string message;
        EnumChildWindows(box, longestStatic, LPARAM(&message));
        int id = IDOK;
        const char* answer = "ok";
        if (GetDlgItem(box, IDYES) != nullptr) {
            id = answerYes ? IDYES : IDNO;
            answer = answerYes ? "yes" : "no";
        }
        event("messagebox " + text(box) + "|" + message + "|" + answer);
        PostMessageA(box, WM_COMMAND, WPARAM(id), 0);
        for (DWORD waited = 0; IsWindow(box) && IsWindowVisible(box) && waited < kDialogMs; waited += 10)
            Sleep(10);
        any = true;
    }
    return any;
}

void pumpLog() {
    if (!IsWindow(logPane)) return;
    LRESULT length = ask(logPane, WM_GETTEXTLENGTH, 0, 0);
    if (size_t(length) == printed.size()) return;
    std::string now = text(logPane);
    // An emptied pane starts again from nothing.
    size_t from = now.compare(0, printed.size(), printed) == 0 ? printed.size() : 0;
    std::fwrite(now.data() + from, 1, now.size() - from, stdout);
    std::fflush(stdout);
    printed = now;
}

HWND waitDialog(const char* caption) {
    for (DWORD waited = 0; waited < kDialogMs && !exited(); waited += 10) {
        HWND d = dialogNamed(caption);
        if (d != nullptr) return d;
        Sleep(10);
    }
    return nullptr;
}

// Accepts a dialog; a refusal shows a box, which is answered, and the dialog
// is then cancelled, as zavik-headless does.
void accept(HWND dialog) {
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    bool refused = false;
    for (DWORD waited = 0; IsWindow(dialog) && waited < kDialogMs && !exited(); waited += 10) {
        if (!refused && answerBoxes()) {
            refused = true;
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        }
        pumpLog();
        Sleep(10);
    }
    if (IsWindow(dialog)) event("error the dialog did not end");
}

bool pressButton(HWND button, const char* name) {
    if (button == nullptr || !IsWindowEnabled(button)) {
        event(std::string("error the ") + name + " button is not there or not enabled");
        return false;
    }
    PostMessageA(button, BM_CLICK, 0, 0);
    return true;
}

// ---- the commands

std::vector<std::string> wordsOf(const std::string& line) {
    std::vector<std::string> words;
    size_t at = 0;
    while ((at = line.find_first_not_of(" \t", at)) != std::string::npos) {
        size_t end = line.find_first_of(" \t", at);
        words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end;
    }
    return words;
}

void doSettings(const std::vector<std::string>& w) {
    if (w.size() < 4) {
        event("error usage: settings <address> <port> <serial> [increase-port-time] "
              "[high-priority] [vsync=<-2..2>]");
        return;
    }
    bool longWait = false, high = false;
    std::string vsync = "0";
    for (size_t i = 4; i < w.size(); ++i) {
        if (w[i] == "increase-port-time") longWait = true;
        else if (w[i] == "high-priority") high = true;
        else if (w[i].compare(0, 6, "vsync=") == 0) vsync = w[i].substr(6);
    }
    if (!pressButton(buttons[0], "Settings...")) return;
    HWND d = waitDialog("Settings");
    if (d == nullptr) {
        event("error no Settings dialog");
        return;
    }
    setText(d, IDC_LOCAL_ADDRESS, w[1]);
    setText(d, IDC_LOCAL_PORT, w[2]);
    if (ask(GetDlgItem(d, IDC_SERIAL_PORT), CB_SELECTSTRING, WPARAM(-1), LPARAM(w[3].c_str())) == CB_ERR ||
        ask(GetDlgItem(d, IDC_VSYNC_ADJUST), CB_SELECTSTRING, WPARAM(-1), LPARAM(vsync.c_str())) == CB_ERR) {
        event("error the Settings lists offer no " + w[3] + " or vsync " + vsync);
        PostMessageA(d, WM_COMMAND, IDCANCEL, 0);
        return;
    }
    const int boxes[2] = {IDC_INCREASE_PORT_TIME, IDC_HIGH_PRIORITY};
    const bool wanted[2] = {longWait, high};
    for (int i = 0; i < 2; ++i) {
        HWND box = GetDlgItem(d, boxes[i]);
        if ((ask(box, BM_GETCHECK, 0, 0) == BST_CHECKED) != wanted[i]) ask(box, BM_CLICK, 0, 0);
    }
    accept(d);
}

void doConnect(const std::vector<std::string>& w, bool cancel) {
    if (!cancel && w.size() != 3) {
        event("error usage: connect <address> <port>");
        return;
    }
    if (!pressButton(buttons[1], "Connect...")) return;
    HWND d = waitDialog("Create Connection");
    if (d == nullptr) {
        event("error no Create Connection dialog");
        return;
    }
    if (cancel) {
        PostMessageA(d, WM_COMMAND, IDCANCEL, 0);
        return;
    }
    setText(d, IDC_REMOTE_ADDRESS, w[1]);
    setText(d, IDC_REMOTE_PORT, w[2]);
    accept(d);
}

std::string buttonView(HWND b) {
    return text(b) + ":" + std::to_string(GetDlgCtrlID(b)) + ":" + (IsWindowEnabled(b) ? "1" : "0");
}

void doStatus() {
    const int counters[10] = {IDC_LOCAL_RECVD, IDC_LOCAL_SENT,   IDC_LOCAL_STORED, IDC_REMOTE_RECVD,
                              IDC_REMOTE_SENT, IDC_REMOTE_STORED, IDC_PING,        IDC_SIZE,
                              IDC_TFR_STAT,    IDC_ERRORS};
    std::string shown;
    for (int i = 0; i < 10; ++i) {
        if (i > 0) shown += ",";
        shown += std::to_string(std::strtoul(text(GetDlgItem(panel, counters[i])).c_str(), nullptr, 10));
    }
    const std::string connect = text(buttons[1]), listen = text(buttons[2]);
    const char* state = "Idle";
    if (connect == "Disconnect" || listen == "Disconnect") state = "Connected";
    else if (connect == "Cancel") state = "Connecting";
    else if (listen == "Cancel") state = "Listening";
    event(std::string("status state=") + state + " settings=" + buttonView(buttons[0]) +
          " connect=" + buttonView(buttons[1]) + " listen=" + buttonView(buttons[2]) +
          " shown=" + shown + " values=" + shown);
}

uint64_t ms(const FILETIME& f) {
    return ((uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 10000;
}

uint64_t threadMs(HANDLE thread) {
    FILETIME created, ended, kernel, user;
    if (thread == nullptr || !GetThreadTimes(thread, &created, &ended, &kernel, &user)) return 0;
    return ms(kernel) + ms(user);
}

// The program's processor time is taken as the sum over its threads (Wine's
// times of another process leave some of them out).
void doCpu() {
    uint64_t process = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != program.dwProcessId) continue;
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
        process += threadMs(thread);
        if (thread != nullptr) CloseHandle(thread);
    }
    CloseHandle(snapshot);
    uint64_t window = threadMs(windowThread);
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    event("cpu process=" + std::to_string(process) + " window=" + std::to_string(window) +
          " wall=" + std::to_string(uint64_t(count.QuadPart) * 1000 / uint64_t(frequency.QuadPart)));
}

void doProbe() {
    std::string caption = text(mainWindow);
    wchar_t wide[256];
    DWORD_PTR n = 0;
    SendMessageTimeoutW(mainWindow, WM_GETTEXT, 256, LPARAM(wide), SMTO_ABORTIFHUNG, kReplyMs, &n);
    std::string log = text(logPane);
    RECT client, panelRect;
    GetClientRect(mainWindow, &client);
    GetWindowRect(panel, &panelRect);
    bool fits = client.right == panelRect.right - panelRect.left &&
                client.bottom == panelRect.bottom - panelRect.top && client.right > 0;
    char style[16];
    std::snprintf(style, sizeof style, "%08lx", static_cast<unsigned long>(GetWindowLongA(mainWindow, GWL_STYLE)));
    event("probe caption=" + hex(caption.data(), caption.size(), 1) + " captionw=" + hex(wide, n, 2) +
          " log=" + hex(log.data(), log.size(), 1) + " buttons=" +
          (IsWindowEnabled(buttons[0]) ? "1" : "0") + "," + (IsWindowEnabled(buttons[1]) ? "1" : "0") +
          "," + (IsWindowEnabled(buttons[2]) ? "1" : "0") + " style=" + style + " fits=" + (fits ? "1" : "0"));
}

void run(const std::string& line) {
    std::vector<std::string> w = wordsOf(line);
    if (w.empty()) return;
    const std::string& c = w[0];
    if (c == "settings") {
        doSettings(w);
    } else if (c == "connect") {
        doConnect(w, false);
    } else if (c == "connect-cancel") {
        doConnect(w, true);
    } else if (c == "click" && w.size() == 2) {
        if (pressButton(GetDlgItem(panel, std::atoi(w[1].c_str())), w[1].c_str())) settle();
    } else if (c == "answer" && w.size() == 2 && (w[1] == "yes" || w[1] == "no")) {
        answerYes = w[1] == "yes";
    } else if (c == "status") {
        doStatus();
    } else if (c == "close") {
        PostMessageA(mainWindow, WM_CLOSE, 0, 0);
        settle();
    } else if (c == "cpu") {
        doCpu();
    } else if (c == "probe") {
        doProbe();
    } else {
        event("error unknown command: " + line);
    }
}

DWORD WINAPI readInput(LPVOID) {
    char line[1024];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        std::string s = line;
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        EnterCriticalSection(&inputLock);
        input.push_back(s);
        LeaveCriticalSection(&inputLock);
        SetEvent(inputReady);
    }
    EnterCriticalSection(&inputLock);
    inputEnded = true;
    LeaveCriticalSection(&inputLock);
    SetEvent(inputReady);
    return 0;
}

BOOL CALLBACK findMain(HWND window, LPARAM arg) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    if (pid == program.dwProcessId && IsWindowVisible(window) && std::strcmp(name, "MyWin") == 0) {
        *reinterpret_cast<HWND*>(arg) = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY); // the log's "\r\n" as it stands
    _setmode(_fileno(stderr), _O_BINARY);
    if (argc < 2) {
        std::fputs("usage: zavik_driver <zavik.exe> [argument]\n", stderr);
        return 2;
    }
    std::string commandLine = std::string("\"") + argv[1] + "\"";
    if (argc > 2) commandLine += std::string(" ") + argv[2];
    // zavik.exe gets none of the driver's standard handles, so that its
    // output ends when the driver does, and it is ended with the driver.
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE nothing = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nothing;
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(argv[1], line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &program)) {
        event("error cannot start " + std::string(argv[1]) + " (error " +
              std::to_string(GetLastError()) + ")");
        return 2;
    }
    AssignProcessToJobObject(job, program.hProcess);
    ResumeThread(program.hThread);
    for (int waited = 0; mainWindow == nullptr && waited < 6000 && !exited(); ++waited) {
        EnumWindows(findMain, LPARAM(&mainWindow));
        if (mainWindow == nullptr) Sleep(10);
    }
    if (mainWindow == nullptr) {
        event("error no main window");
        TerminateProcess(program.hProcess, 2);
        return 2;
    }
    panel = GetWindow(mainWindow, GW_CHILD);
    logPane = GetDlgItem(panel, IDC_LOG);
    buttons[0] = GetDlgItem(panel, IDC_SETTINGS);
    buttons[1] = GetDlgItem(panel, IDC_CONNECT);
    buttons[2] = GetDlgItem(panel, IDC_LISTEN);
    windowThread = OpenThread(THREAD_QUERY_INFORMATION, FALSE,
                              GetWindowThreadProcessId(mainWindow, nullptr));

    InitializeCriticalSection(&inputLock);
    inputReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(CreateThread(nullptr, 0, readInput, nullptr, 0, nullptr));
    bool closing = false;
    while (!exited()) {
        pumpLog();
        answerBoxes();
        std::string next;
        bool got = false, ended = false;
        EnterCriticalSection(&inputLock);
        if (!input.empty()) {
            next = input.front();
            input.pop_front();
            got = true;
        }
        ended = inputEnded && input.empty();
        LeaveCriticalSection(&inputLock);
        if (got) {
            run(next);
        } else if (ended && !closing) {
            closing = true;
            run("close");
        } else {
            WaitForSingleObject(inputReady, 10);
        }
    }
    DWORD code = 2;
    GetExitCodeProcess(program.hProcess, &code);
    return int(code);
}
