// zavik_wintest: the Windows front end under a real USER32 (Wine). Checks the
// three dialog templates as compiled into the program's resources and as the
// dialog manager creates them, and drives the front end's window procedures
// and control functions through window messages.
//
// Prints one line per failed check, then "N passed, N failed" over the groups;
// exits 1 when a group failed.
#include <windows.h>
#include <winsock.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/link_state.h"
#include "core/log.h"
#include "core/port_lost.h"
#include "core/view.h"
#include "net/endpoint.h"
#include "ui/widgets.h"
#include "ui/win32/win_ui.h"
#include "wine/wintest.h"

namespace {

// ---------------------------------------------------------------- checking

int groupsPassed = 0, groupsFailed = 0;
bool groupOk = true;
const char* groupName = "";

} // namespace

void check(bool ok, int line, const char* format, ...) {
    if (ok) return;
    groupOk = false;
    std::printf("FAIL %s (line %d): ", groupName, line);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

namespace {

volatile DWORD groupStart = 0;

// A group that hangs (a modal loop nobody ends) fails the run instead of
// holding it until the test's time-out.
DWORD WINAPI watchdog(LPVOID) {
    for (;;) {
        Sleep(500);
        if (GetTickCount() - groupStart > 20000) {
            std::printf("FAIL %s: no end after 20 s\n", groupName);
            std::printf("%d passed, %d failed\n", groupsPassed, groupsFailed + 1);
            std::fflush(stdout);
            ExitProcess(1);
        }
    }
}

void runGroup(const char* name, void (*body)()) {
    groupName = name;
    groupOk = true;
    groupStart = GetTickCount();
    body();
    if (groupOk) ++groupsPassed;
    else ++groupsFailed;
    std::printf("%s %s (%lu ms)\n", groupOk ? "ok  " : "FAIL", name,
                static_cast<unsigned long>(GetTickCount() - groupStart));
    std::fflush(stdout);
}

std::string windowText(HWND window) {
    char text[4096];
    text[0] = '\0';
    SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

std::string className(HWND window) {
    char name[64];
    name[0] = '\0';
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string itemText(HWND dialog, int id) { return windowText(GetDlgItem(dialog, id)); }

// A check that the log (text, or the pane's own) holds part; the pane shown when not.
#define CHECK_LOG_HAS(text, part)                                                                  \
    CHECKF(std::string(text).find(part) != std::string::npos, "log \"%s\"",                      \
           windowText(logEdit).c_str())

// Handles what is waiting in this thread's queue, the panel's keyboard
// interface included, for about ms milliseconds.
void pump(DWORD ms) {
    DWORD start = GetTickCount();
    do {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (panelWindow != nullptr && IsDialogMessageA(panelWindow, &message)) continue;
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        Sleep(5);
    } while (GetTickCount() - start < ms);
}

// ---------------------------------------------------------------- the templates

constexpr WORD kButton = 0x80, kEdit = 0x81, kStatic = 0x82, kComboBox = 0x85;
const char* atomName(WORD atom) {
    switch (atom) {
    case kButton: return "Button";
    case kEdit: return "Edit";
    case kStatic: return "Static";
    case kComboBox: return "ComboBox";
    }
    return "?";
}

struct Item {
    int id; // 0xFFFF for controls without an id
    WORD atom;
    DWORD style; // besides WS_CHILD | WS_VISIBLE
    const char* text;
    short x, y, cx, cy;
};

struct Template {
    int resource;
    DWORD style;
    const char* caption;
    short cx, cy;
    std::vector<Item> items;
};

constexpr DWORD kPanelStatic = WS_GROUP | SS_LEFT;
constexpr WORD kNoId = 0xFFFF;

const Template kPanel{
    105,
    WS_CHILD | DS_SETFONT,
    "",
    270,
    206,
    {
        {1037, kButton, WS_DISABLED | WS_TABSTOP | BS_DEFPUSHBUTTON, "Connect...", 95, 129, 80, 14},
        {1012, kButton, WS_DISABLED | WS_TABSTOP | BS_PUSHBUTTON, "Listen", 183, 129, 80, 14},
        {1036, kButton, WS_DISABLED | WS_TABSTOP | BS_PUSHBUTTON, "Settings...", 7, 129, 80, 14},
        {101, kEdit, WS_BORDER | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY | ES_OEMCONVERT, "",
         7, 7, 253, 110},
        {1033, kButton, WS_DISABLED | BS_GROUPBOX, "Local Packets", 9, 150, 75, 50},
        {1026, kStatic, kPanelStatic, "Recv'd:", 19, 162, 26, 8},
        {1027, kStatic, kPanelStatic, "0", 49, 162, 31, 8},
        {1028, kStatic, kPanelStatic, "Sent:", 19, 173, 18, 8},
        {1029, kStatic, kPanelStatic, "0", 49, 173, 31, 8},
        {1030, kStatic, kPanelStatic, "Stored:", 19, 185, 24, 8},
        {1031, kStatic, kPanelStatic, "0", 49, 185, 31, 8},
        {1032, kButton, WS_DISABLED | BS_GROUPBOX, "Remote Packets", 97, 150, 75, 50},
        {1038, kStatic, kPanelStatic, "Recv'd:", 108, 162, 26, 8},
        {1039, kStatic, kPanelStatic, "0", 137, 162, 32, 8},
        {1040, kStatic, kPanelStatic, "Sent:", 108, 173, 18, 8},
        {1041, kStatic, kPanelStatic, "0", 137, 173, 32, 8},
        {1042, kStatic, kPanelStatic, "Stored:", 108, 185, 24, 8},
        {1043, kStatic, kPanelStatic, "0", 137, 185, 32, 8},
        {1044, kButton, WS_DISABLED | BS_GROUPBOX, "Status", 184, 150, 75, 50},
        {1045, kStatic, kPanelStatic, "Ping:", 195, 159, 28, 8},
        {1046, kStatic, kPanelStatic, "0", 225, 159, 30, 8},
        {1047, kStatic, kPanelStatic, "Size:", 195, 168, 16, 8},
        {1048, kStatic, kPanelStatic, "0", 225, 168, 30, 8},
        {1049, kStatic, kPanelStatic, "Tfr Stat:", 195, 177, 25, 8},
        {1050, kStatic, kPanelStatic, "0", 225, 177, 30, 8},
        {1051, kStatic, kPanelStatic, "Errors:", 195, 186, 25, 8},
        {1052, kStatic, kPanelStatic, "0", 225, 186, 30, 8},
    }};

constexpr DWORD kModal = DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kText = WS_GROUP | SS_LEFT;

const Template kSettings{
    104,
    kModal,
    "Settings",
    197,
    116,
    {
        {1014, kComboBox, WS_TABSTOP | CBS_DROPDOWN | CBS_SORT, "", 45, 10, 75, 95},
        {1020, kEdit, WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, "", 45, 29, 40, 14},
        {1016, kComboBox, WS_TABSTOP | CBS_DROPDOWNLIST, "", 60, 68, 48, 82},
        {IDOK, kButton, WS_TABSTOP | BS_DEFPUSHBUTTON, "OK", 136, 5, 50, 14},
        {IDCANCEL, kButton, WS_TABSTOP | BS_PUSHBUTTON, "Cancel", 136, 23, 50, 14},
        {1017, kComboBox, WS_DISABLED | WS_TABSTOP | CBS_DROPDOWN, "", 60, 88, 48, 67},
        {kNoId, kButton, BS_GROUPBOX, "Local IP", 5, 0, 120, 50},
        {kNoId, kStatic, kText, "Address:", 11, 12, 28, 8},
        {kNoId, kStatic, kText, "Port:", 23, 32, 16, 8},
        {kNoId, kButton, BS_GROUPBOX, "PlayStation Settings", 5, 50, 120, 55},
        {kNoId, kStatic, kText, "Serial Port:", 17, 71, 35, 8},
        {kNoId, kStatic, kText, "Port Speed:", 13, 90, 38, 8},
        {1038, kButton, WS_TABSTOP | BS_AUTOCHECKBOX | BS_MULTILINE, "Increase Port Time", 139, 61,
         50, 18},
        {kNoId, kStatic, WS_GROUP | SS_LEFTNOWORDWRAP, "Vsync Interval\nAdjustment", 139, 80, 46,
         18},
        {kNoId, kStatic, kText, "ms", 167, 101, 10, 8},
        {1018, kComboBox, WS_TABSTOP | CBS_DROPDOWNLIST, "", 138, 99, 26, 82},
        {kNoId, kButton, BS_GROUPBOX | BS_CENTER, "Debug", 129, 40, 66, 75},
        {1043, kButton, WS_TABSTOP | BS_AUTOCHECKBOX, "High Priority", 139, 50, 53, 10},
    }};

const Template kConnect{
    106,
    kModal,
    "Create Connection",
    186,
    55,
    {
        {1022, kEdit, WS_GROUP | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, "", 45, 12, 75, 14},
        {1023, kEdit, WS_GROUP | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, "", 45, 31, 40, 14},
        {IDOK, kButton, WS_TABSTOP | BS_DEFPUSHBUTTON, "OK", 129, 7, 50, 14},
        {IDCANCEL, kButton, WS_TABSTOP | BS_PUSHBUTTON, "Cancel", 129, 24, 50, 14},
        {kNoId, kButton, BS_GROUPBOX, "Remote IP", 5, 2, 120, 50},
        {kNoId, kStatic, kText, "Address:", 11, 14, 28, 8},
        {kNoId, kStatic, kText, "Port:", 23, 34, 16, 8},
    }};

// Reads a DLGTEMPLATE as windres wrote it into the module.
struct Reader {
    const BYTE* p;
    const BYTE* end;
    bool ok = true;
    WORD word() {
        if (p + 2 > end) {
            ok = false;
            return 0;
        }
        WORD w = WORD(p[0] | (p[1] << 8));
        p += 2;
        return w;
    }
    DWORD dword() {
        DWORD low = word();
        return low | (DWORD(word()) << 16);
    }
    // A string or ordinal: ordinal returned in *ordinal (0 when a string).
    std::string nameOrOrdinal(WORD* ordinal) {
        *ordinal = 0;
        WORD first = word();
        if (first == 0xFFFF) {
            *ordinal = word();
            return std::string();
        }
        std::string s;
        for (WORD c = first; c != 0 && ok; c = word()) s += c < 0x80 ? char(c) : '?';
        return s;
    }
    void align() {
        while (reinterpret_cast<uintptr_t>(p) % 4 != 0) ++p;
    }
};

void checkResourceTemplate(const Template& t) {
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(t.resource), MAKEINTRESOURCEA(5));
    CHECKF(found != nullptr, "dialog %d missing", t.resource);
    if (found == nullptr) return;
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    Reader r{data, data + SizeofResource(module, found)};

    DWORD style = r.dword();
    DWORD exStyle = r.dword();
    WORD count = r.word();
    short x = short(r.word()), y = short(r.word()), cx = short(r.word()), cy = short(r.word());
    CHECKF(style == t.style, "dialog %d style %08lx, want %08lx", t.resource, style, t.style);
    CHECKF(exStyle == 0, "dialog %d extended style %08lx", t.resource, exStyle);
    CHECKF(x == 0 && y == 0 && cx == t.cx && cy == t.cy, "dialog %d at %d,%d size %dx%d",
           t.resource, x, y, cx, cy);
    WORD ordinal;
    std::string menu = r.nameOrOrdinal(&ordinal);
    CHECKF(menu.empty() && ordinal == 0, "dialog %d has a menu", t.resource);
    std::string windowClass = r.nameOrOrdinal(&ordinal);
    CHECKF(windowClass.empty() && ordinal == 0, "dialog %d has a class", t.resource);
    std::string caption = r.nameOrOrdinal(&ordinal);
    CHECKF(caption == t.caption, "dialog %d caption \"%s\"", t.resource, caption.c_str());
    WORD points = r.word();
    std::string face = r.nameOrOrdinal(&ordinal);
    CHECKF(points == 8 && face == "MS Sans Serif", "dialog %d font %d \"%s\"", t.resource, points,
           face.c_str());
    CHECKF(count == t.items.size(), "dialog %d has %d controls, want %d", t.resource, count,
           int(t.items.size()));

    for (size_t i = 0; i < t.items.size() && i < count && r.ok; ++i) {
        const Item& want = t.items[i];
        r.align();
        DWORD itemStyle = r.dword();
        DWORD itemEx = r.dword();
        short ix = short(r.word()), iy = short(r.word()), icx = short(r.word()),
              icy = short(r.word());
        WORD id = r.word();
        WORD atom;
        std::string cls = r.nameOrOrdinal(&atom);
        WORD textOrdinal;
        std::string text = r.nameOrOrdinal(&textOrdinal);
        WORD extra = r.word();
        r.p += extra;
        CHECKF(id == WORD(want.id), "dialog %d control %d: id %d, want %d", t.resource, int(i), id,
               want.id);
        CHECKF(atom == want.atom, "dialog %d control %d (%d): class %s%s, want %s", t.resource,
               int(i), want.id, cls.c_str(), atomName(atom), atomName(want.atom));
        DWORD wantStyle = want.style | WS_CHILD | WS_VISIBLE;
        CHECKF(itemStyle == wantStyle, "dialog %d control %d (%d): style %08lx, want %08lx",
               t.resource, int(i), want.id, itemStyle, wantStyle);
        CHECKF(itemEx == 0, "dialog %d control %d: extended style %08lx", t.resource, int(i),
               itemEx);
        CHECKF(text == want.text, "dialog %d control %d (%d): text \"%s\", want \"%s\"",
               t.resource, int(i), want.id, text.c_str(), want.text);
        CHECKF(ix == want.x && iy == want.y && icx == want.cx && icy == want.cy,
               "dialog %d control %d (%d): %d,%d %dx%d, want %d,%d %dx%d", t.resource, int(i),
               want.id, ix, iy, icx, icy, want.x, want.y, want.cx, want.cy);
    }
    CHECKF(r.ok, "dialog %d template ends early", t.resource);
}

void templatesInResources() {
    checkResourceTemplate(kPanel);
    checkResourceTemplate(kSettings);
    checkResourceTemplate(kConnect);

    HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_APP));
    CHECK(icon != nullptr);
    ICONINFO info{};
    if (icon != nullptr && GetIconInfo(icon, &info)) {
        BITMAP bitmap{};
        GetObjectA(info.hbmMask, sizeof bitmap, &bitmap);
        CHECKF(bitmap.bmWidth == 32, "icon width %ld", static_cast<long>(bitmap.bmWidth));
        if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
    }
    HRSRC iconData = FindResourceA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(1),
                                   MAKEINTRESOURCEA(3)); // RT_ICON, the one image
    CHECK(iconData != nullptr);
    if (iconData != nullptr) {
        const BITMAPINFOHEADER* header = static_cast<const BITMAPINFOHEADER*>(
            LockResource(LoadResource(GetModuleHandleA(nullptr), iconData)));
        CHECKF(header->biWidth == 32 && header->biHeight == 64 && header->biBitCount == 4,
               "icon image %ldx%ld, %d bits", static_cast<long>(header->biWidth),
               static_cast<long>(header->biHeight), header->biBitCount);
    }
}

// ---------------------------------------------------------------- live dialogs

INT_PTR CALLBACK plainDialogProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

HWND hostWindow = nullptr; // stands in for the main window

// Every line of a static text fits its control's width in the control's font
// (a wider stand-in for MS Sans Serif clips "Tfr Stat:" and "Serial Port:").
void checkTextFits(HWND control) {
    std::string text = windowText(control);
    RECT client;
    GetClientRect(control, &client);
    HDC dc = GetDC(control);
    HGDIOBJ before =
        SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(control, WM_GETFONT, 0, 0)));
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        SIZE size{};
        GetTextExtentPoint32A(dc, line.c_str(), int(line.size()), &size);
        CHECKF(size.cx <= client.right, "\"%s\" is %ld pixels wide in a control of %ld",
               line.c_str(), static_cast<long>(size.cx), static_cast<long>(client.right));
        start = end + 1;
    }
    SelectObject(dc, before);
    ReleaseDC(control, dc);
}

void checkLiveDialog(const Template& t, HWND dialog) {
    std::vector<HWND> children;
    for (HWND c = GetWindow(dialog, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT))
        children.push_back(c);
    CHECKF(children.size() == t.items.size(), "dialog %d: %d child windows", t.resource,
           int(children.size()));
    for (size_t i = 0; i < children.size() && i < t.items.size(); ++i) {
        const Item& want = t.items[i];
        HWND c = children[i];
        int id = GetDlgCtrlID(c) & 0xFFFF;
        CHECKF(id == want.id, "dialog %d window %d: id %d, want %d", t.resource, int(i), id,
               want.id);
        CHECKF(lstrcmpiA(className(c).c_str(), atomName(want.atom)) == 0,
               "dialog %d window %d: class %s", t.resource, int(i), className(c).c_str());
        CHECKF(windowText(c) == want.text, "dialog %d window %d: text \"%s\"", t.resource, int(i),
               windowText(c).c_str());
        DWORD style = DWORD(GetWindowLongA(c, GWL_STYLE));
        const DWORD kept = WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_TABSTOP | WS_GROUP;
        CHECKF((style & kept) == ((want.style | WS_CHILD | WS_VISIBLE) & kept),
               "dialog %d window %d: style %08lx", t.resource, int(i), style);
        if (want.atom == kButton || want.atom == kStatic) {
            CHECKF((style & 0xFFFF) == (want.style & 0xFFFF), "dialog %d window %d: type %04lx",
                   t.resource, int(i), style & 0xFFFF);
        }
        CHECKF(bool(IsWindowEnabled(c)) == !(want.style & WS_DISABLED),
               "dialog %d window %d: enabled state", t.resource, int(i));
        // The dialog manager maps the position and the size each on its own.
        RECT wantAt{want.x, want.y, want.cx, want.cy};
        MapDialogRect(dialog, &wantAt);
        RECT r;
        GetWindowRect(c, &r);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
        bool heightCounts = want.atom != kComboBox; // a closed combo is not its list's height
        CHECKF(r.left == wantAt.left && r.top == wantAt.top &&
                   r.right - r.left == wantAt.right &&
                   (!heightCounts || r.bottom - r.top == wantAt.bottom),
               "dialog %d window %d: at %ld,%ld %ldx%ld, want %ld,%ld %ldx%ld", t.resource,
               int(i), r.left, r.top, r.right - r.left, r.bottom - r.top, wantAt.left,
               wantAt.top, wantAt.right, wantAt.bottom);
        if (want.atom == kStatic) checkTextFits(c);
    }
    // The panel and the dialog are exactly their template's size.
    RECT client;
    GetClientRect(dialog, &client);
    RECT wantSize{0, 0, t.cx, t.cy};
    MapDialogRect(dialog, &wantSize);
    CHECKF(client.right == wantSize.right && client.bottom == wantSize.bottom,
           "dialog %d client %ldx%ld, want %ldx%ld", t.resource, client.right, client.bottom,
           wantSize.right, wantSize.bottom);
    std::printf("     dialog %d: %dx%d dialog units, %ldx%ld pixels\n", t.resource, t.cx, t.cy,
                client.right, client.bottom);
}

void dialogsAsCreated() {
    HMODULE module = GetModuleHandleA(nullptr);
    HWND panel = CreateDialogParamA(module, MAKEINTRESOURCEA(IDD_PANEL), hostWindow,
                                    plainDialogProc, 0);
    CHECK(panel != nullptr);
    if (panel != nullptr) {
        checkLiveDialog(kPanel, panel);
        CHECK(GetParent(panel) == hostWindow);
        CHECK(!(GetWindowLongA(panel, GWL_STYLE) & (WS_VISIBLE | WS_CAPTION | WS_BORDER)));
        DestroyWindow(panel);
    }
    for (const Template* t : {&kSettings, &kConnect}) {
        HWND dialog = CreateDialogParamA(module, MAKEINTRESOURCEA(t->resource), hostWindow,
                                         plainDialogProc, 0);
        CHECKF(dialog != nullptr, "dialog %d not created", t->resource);
        if (dialog == nullptr) continue;
        checkLiveDialog(*t, dialog);
        CHECK(windowText(dialog) == t->caption);
        CHECK(GetWindow(dialog, GW_OWNER) == hostWindow);
        DestroyWindow(dialog);
    }
}

// Tab order is template order: every enabled tab stop, in the tables' order.
void tabOrder() {
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_SETTINGS),
                                     hostWindow, plainDialogProc, 0);
    CHECK(dialog != nullptr);
    if (dialog == nullptr) return;
    const int want[] = {1014, 1020, 1016, IDOK, IDCANCEL, 1038, 1018, 1043, 1014};
    HWND at = GetDlgItem(dialog, 1014);
    for (size_t i = 1; i < sizeof want / sizeof want[0]; ++i) {
        at = GetNextDlgTabItem(dialog, at, FALSE);
        CHECKF(GetDlgCtrlID(at) == want[i], "tab %d reaches %d, want %d", int(i),
               GetDlgCtrlID(at), want[i]);
    }
    DestroyWindow(dialog);
}

// ---------------------------------------------------------------- the panel, live

// The panel's messages are watched here: WM_COMMAND of the buttons is recorded
// and kept from the panel (whose commands would open dialogs).
WNDPROC panelOriginalProc = nullptr;
std::vector<int> buttonCommands;
std::vector<int> logNotifications;

LRESULT CALLBACK panelSpy(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND) {
        int id = LOWORD(wParam);
        if (id == IDC_LOG) {
            logNotifications.push_back(HIWORD(wParam));
        } else {
            buttonCommands.push_back(id);
            return 0;
        }
    }
    return CallWindowProcA(panelOriginalProc, window, message, wParam, lParam);
}

// Clicks a button; the commands that came of it (the spy's, while it is in place).
std::vector<int> click(HWND button) {
    buttonCommands.clear();
    SendMessageA(button, BM_CLICK, 0, 0);
    pump(20);
    return buttonCommands;
}

// Message boxes and modal dialogs are answered from a CBT hook when they
// become active.
struct Shown {
    std::string caption;
    std::string text; // the texts of its static controls
    HWND owner;
    HICON icon = nullptr;
    std::vector<int> buttons; // ids of its visible buttons
};
std::vector<Shown> boxes;
int boxAnswer = IDOK;
// Called when a dialog with this caption becomes active; returns true when it
// took the activation.
bool (*onDialog)(HWND dialog) = nullptr;

LRESULT CALLBACK cbtHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        HWND window = reinterpret_cast<HWND>(wParam);
        if (className(window) == "#32770" && !(GetWindowLongA(window, GWL_STYLE) & WS_CHILD)) {
            if (onDialog != nullptr && onDialog(window)) return 0;
            Shown box;
            box.caption = windowText(window);
            box.owner = GetWindow(window, GW_OWNER);
            for (HWND c = GetWindow(window, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
                if (lstrcmpiA(className(c).c_str(), "Static") == 0) {
                    if ((GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
                        box.icon = reinterpret_cast<HICON>(SendMessageA(c, STM_GETICON, 0, 0));
                    else
                        box.text += windowText(c);
                }
                if (lstrcmpiA(className(c).c_str(), "Button") == 0 &&
                    (GetWindowLongA(c, GWL_STYLE) & WS_VISIBLE))
                    box.buttons.push_back(GetDlgCtrlID(c));
            }
            boxes.push_back(box);
            PostMessageA(window, WM_COMMAND, boxAnswer, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

HWND panel = nullptr;

void panelCreation() {
    panel = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_PANEL), hostWindow,
                               panelDialogProc, 0);
    CHECK(panel != nullptr);
    if (panel == nullptr) return;
    // What WM_INITDIALOG stored, before anything of the initialisation ran.
    CHECK(panelWindow == panel);
    CHECK(logEdit == GetDlgItem(panel, IDC_LOG));
    CHECK(settingsButton == GetDlgItem(panel, IDC_SETTINGS));
    CHECK(connectButton == GetDlgItem(panel, IDC_CONNECT));
    CHECK(listenButton == GetDlgItem(panel, IDC_LISTEN));
    CHECK(onWindowThread());
    std::string log = windowText(logEdit);
    CHECKF(log.rfind("Initializing  WinSock...", 0) == 0, "the log starts \"%s\"", log.c_str());
    ShowWindow(panel, SW_SHOW);
    ShowWindow(hostWindow, SW_SHOW);
    panelOriginalProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(panel, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(panelSpy)));
}

void logPane() {
    if (panel == nullptr) return;
    paneClear();
    CHECK(windowText(logEdit).empty());
    paneAppend("Opening UDP socket ...");
    paneAppend("success\r\n");
    logPrintf("Binding socket to %s:%i ...", "127.0.0.1", 3975);
    logPrintf("failed (error #%i).\r\n", 10048);
    CHECKF(windowText(logEdit) ==
               "Opening UDP socket ...success\r\nBinding socket to 127.0.0.1:3975 ...failed "
               "(error #10048).\r\n",
           "log \"%s\"", windowText(logEdit).c_str());
    // The caret follows the text: the last line is the one in view.
    LRESULT firstVisible = SendMessageA(logEdit, EM_GETFIRSTVISIBLELINE, 0, 0);
    for (int i = 0; i < 40; ++i) logPrintf("line %i\r\n", i);
    CHECKF(SendMessageA(logEdit, EM_GETFIRSTVISIBLELINE, 0, 0) > firstVisible + 20,
           "the log did not scroll");
    paneClear();
    CHECK(windowText(logEdit).empty());
    logPrintf("after the clear\r\n");
    CHECK(windowText(logEdit) == "after the clear\r\n");

    paneSetCounter(IDC_PING, 4294967295u);
    paneSetCounter(IDC_ERRORS, 7);
    CHECK(itemText(panel, IDC_PING) == "4294967295");
    CHECK(itemText(panel, IDC_ERRORS) == "7");
    paneSetCounter(IDC_PING, 0);
    CHECK(itemText(panel, IDC_PING) == "0");
}

// Runs body on a thread of its own to its end; false when it could not start.
bool runThread(LPTHREAD_START_ROUTINE body) {
    HANDLE thread = CreateThread(nullptr, 0, body, nullptr, 0, nullptr);
    CHECK(thread != nullptr);
    if (thread == nullptr) return false;
    CHECK(WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0);
    CloseHandle(thread);
    return true;
}

DWORD WINAPI portThreadLines(LPVOID) {
    logPrintf("WARN: from the port thread %i\r\n", 1);
    logPrintf("WARN: from the port thread %i\r\n", 2);
    return 0;
}

// The port thread's lines reach the pane through a message posted to the panel.
void handOffFromThread() {
    if (panel == nullptr) return;
    paneClear();
    if (!runThread(portThreadLines)) return;
    CHECK(windowText(logEdit).empty()); // not yet: the window thread has not looked
    MSG message;
    CHECK(PeekMessageA(&message, panel, WM_DELIVER_HANDOFFS, WM_DELIVER_HANDOFFS, PM_NOREMOVE));
    pump(50);
    CHECKF(windowText(logEdit) ==
               "WARN: from the port thread 1\r\nWARN: from the port thread 2\r\n",
           "log \"%s\"", windowText(logEdit).c_str());
}

// The log control tells the panel when it is full, and the panel empties it.
void fullLog() {
    if (panel == nullptr) return;
    paneClear();
    logNotifications.clear();
    const std::string line = std::string(98, 'x') + "\r\n";
    size_t longest = 0;
    bool emptied = false;
    for (int i = 0; i < 1000 && !emptied; ++i) {
        size_t before = size_t(GetWindowTextLengthA(logEdit));
        paneAppend(line.c_str());
        size_t after = size_t(GetWindowTextLengthA(logEdit));
        if (after > longest) longest = after;
        emptied = after < before;
    }
    bool maxText = false;
    for (int n : logNotifications) maxText = maxText || n == EN_MAXTEXT;
    CHECK(maxText);
    CHECKF(emptied, "the full log was not emptied (longest %d)", int(longest));
    CHECKF(longest < 70000, "the log grew to %d", int(longest));
}

void buttonsSwap() {
    if (panel == nullptr) return;
    buttonSetCaption(ConnectButton, "Cancel");
    buttonSetId(ConnectButton, IDC_CONNECT_CANCEL);
    buttonEnable(ConnectButton, true);
    buttonEnable(SettingsButton, false);
    buttonEnable(ListenButton, false);
    CHECK(GetDlgItem(panel, IDC_CONNECT) == nullptr);
    CHECK(GetDlgItem(panel, IDC_CONNECT_CANCEL) == connectButton);
    CHECK(windowText(connectButton) == "Cancel");
    CHECK(IsWindowEnabled(connectButton) && !IsWindowEnabled(settingsButton) &&
          !IsWindowEnabled(listenButton));

    // A click now carries the new id.
    CHECK(click(connectButton) == std::vector<int>{IDC_CONNECT_CANCEL});

    buttonSetCaption(ListenButton, "Disconnect");
    buttonSetId(ListenButton, IDC_LISTEN_CANCEL);
    buttonEnable(ListenButton, true);
    buttonFocus(ListenButton);
    CHECK(GetFocus() == listenButton);
    CHECK(GetDlgItem(panel, IDC_LISTEN_CANCEL) == listenButton);
    CHECK(windowText(listenButton) == "Disconnect");

    // Back as created: a click carries the first id again.
    buttonSetCaption(ConnectButton, "Connect...");
    buttonSetId(ConnectButton, IDC_CONNECT);
    buttonSetCaption(ListenButton, "Listen");
    buttonSetId(ListenButton, IDC_LISTEN);
    buttonEnable(SettingsButton, true);
    CHECK(GetDlgItem(panel, IDC_CONNECT) == connectButton);
    CHECK(GetDlgItem(panel, IDC_LISTEN) == listenButton);
    CHECK(windowText(connectButton) == "Connect..." && windowText(listenButton) == "Listen");
    CHECK(click(listenButton) == std::vector<int>{IDC_LISTEN});

    // The group boxes, and the focus that goes to the panel.
    panelEnableItem(IDC_LOCAL_GROUP, true);
    panelEnableItem(IDC_STATUS_GROUP, true);
    CHECK(IsWindowEnabled(GetDlgItem(panel, IDC_LOCAL_GROUP)));
    CHECK(!IsWindowEnabled(GetDlgItem(panel, IDC_REMOTE_GROUP)));
    panelEnableItem(IDC_LOCAL_GROUP, false);
    CHECK(!IsWindowEnabled(GetDlgItem(panel, IDC_LOCAL_GROUP)));
    SetFocus(hostWindow); // the main window passes the focus on into the panel
    HWND focus = GetFocus();
    CHECK(focus == panel || IsChild(panel, focus));
}

void retryTimer() {
    if (panel == nullptr) return;
    retryTimerStart();
    CHECK(KillTimer(panel, kConnectRetryTimer)); // it was running, on the panel, as timer 1
    retryTimerStart();
    retryTimerKill();
    CHECK(!KillTimer(panel, kConnectRetryTimer));
}

void messageBoxes() {
    if (panel == nullptr) return;
    boxes.clear();
    boxAnswer = IDYES;
    CHECK(askYesNo("Packet transfer in progress, are you sure?", "Disconnect") == 1);
    boxAnswer = IDNO;
    CHECK(askYesNo("Packet transfer in progress, are you sure?", "Program Exit") == 0);
    boxAnswer = IDOK;
    errorBox("Valid socket port required");
    CHECKF(boxes.size() == 3, "%d boxes", int(boxes.size()));
    if (boxes.size() != 3) return;
    CHECK(boxes[0].caption == "Disconnect" && boxes[1].caption == "Program Exit");
    CHECK(boxes[0].text == "Packet transfer in progress, are you sure?");
    // A box owned by the panel belongs to the panel's top-level window.
    CHECK(boxes[0].owner == hostWindow && boxes[1].owner == hostWindow);
    CHECK(boxes[2].caption == "Error" && boxes[2].text == "Valid socket port required");
    CHECK(boxes[2].owner == nullptr);
    HICON warning = LoadIconA(nullptr, MAKEINTRESOURCEA(32515)); // IDI_WARNING
    CHECK(boxes[0].icon == warning && boxes[1].icon == warning);
    CHECK(boxes[2].icon == nullptr);
    CHECKF(boxes[0].buttons == std::vector<int>({IDYES, IDNO}), "%d buttons, first %d",
           int(boxes[0].buttons.size()), boxes[0].buttons.empty() ? 0 : boxes[0].buttons[0]);
    CHECKF(boxes[2].buttons == std::vector<int>({IDOK}), "%d buttons, first %d",
           int(boxes[2].buttons.size()), boxes[2].buttons.empty() ? 0 : boxes[2].buttons[0]);
}

// The dialog control functions, on a Settings dialog created from its template.
void dialogControls() {
    HWND d = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_SETTINGS),
                                hostWindow, plainDialogProc, 0);
    CHECK(d != nullptr);
    if (d == nullptr) return;
    DialogWindow* dialog = reinterpret_cast<DialogWindow*>(d);

    // The address list is sorted; selecting by text picks the right one.
    comboAdd(dialog, IDC_LOCAL_ADDRESS, "192.168.1.20");
    comboSelectString(dialog, IDC_LOCAL_ADDRESS, "192.168.1.20");
    comboAdd(dialog, IDC_LOCAL_ADDRESS, "10.0.0.7");
    comboAdd(dialog, IDC_LOCAL_ADDRESS, "172.16.5.1");
    char text[64];
    dlgGetText(dialog, IDC_LOCAL_ADDRESS, text, sizeof text);
    CHECKF(std::strcmp(text, "192.168.1.20") == 0, "address \"%s\"", text);
    SendDlgItemMessageA(d, IDC_LOCAL_ADDRESS, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text));
    CHECKF(std::strcmp(text, "10.0.0.7") == 0, "first listed \"%s\"", text);
    // Typed text is read back as typed, cut to the size given.
    dlgSetText(dialog, IDC_LOCAL_ADDRESS, "123.123.123.123.123");
    char cut[20];
    dlgGetText(dialog, IDC_LOCAL_ADDRESS, cut, sizeof cut);
    CHECKF(std::strcmp(cut, "123.123.123.123.123") == 0, "address \"%s\"", cut);
    dlgGetText(dialog, IDC_LOCAL_ADDRESS, cut, 6);
    CHECKF(std::strcmp(cut, "123.1") == 0, "cut address \"%s\"", cut);

    // Serial ports: selection by the start of the text, without regard to case.
    for (const char* name : {"COM1", "COM2", "COM3", "COM4"}) comboAdd(dialog, IDC_SERIAL_PORT, name);
    comboSelectString(dialog, IDC_SERIAL_PORT, "com3");
    dlgGetText(dialog, IDC_SERIAL_PORT, text, 6);
    CHECKF(std::strcmp(text, "COM3") == 0, "serial port \"%s\"", text);
    CHECK(comboGetSel(dialog, IDC_SERIAL_PORT) == 2);

    // Vsync: signed numbers from a drop-down list.
    for (const char* v : {"-2", "-1", "0", "1", "2"}) comboAdd(dialog, IDC_VSYNC_ADJUST, v);
    comboSetSel(dialog, IDC_VSYNC_ADJUST, 0);
    CHECK(dlgGetInt(dialog, IDC_VSYNC_ADJUST) == -2);
    CHECK(comboGetSel(dialog, IDC_VSYNC_ADJUST) == 0);
    comboSetSel(dialog, IDC_VSYNC_ADJUST, 4);
    CHECK(dlgGetInt(dialog, IDC_VSYNC_ADJUST) == 2);

    // Numbers in edit fields and in the disabled speed box.
    dlgSetUint(dialog, IDC_LOCAL_PORT, 3975);
    CHECK(itemText(d, IDC_LOCAL_PORT) == "3975");
    CHECK(dlgGetUint(dialog, IDC_LOCAL_PORT) == 3975);
    dlgSetUint(dialog, IDC_LOCAL_PORT, 4294967295u);
    CHECK(itemText(d, IDC_LOCAL_PORT) == "4294967295");
    // Typed numbers ("4294967296" does not fit 32 bits); "-5" last, read signed too.
    const struct {
        const char* typed;
        unsigned value;
    } typed[] = {{"12ab", 0}, {"", 0}, {"70000", 70000}, {" 42 ", 42}, {"4294967296", 0}, {"-5", 0}};
    for (const auto& row : typed) {
        dlgSetText(dialog, IDC_LOCAL_PORT, row.typed);
        CHECKF(dlgGetUint(dialog, IDC_LOCAL_PORT) == row.value, "\"%s\" read as %u", row.typed,
               unsigned(dlgGetUint(dialog, IDC_LOCAL_PORT)));
    }
    CHECK(dlgGetInt(dialog, IDC_LOCAL_PORT) == -5);
    dlgSetUint(dialog, IDC_PORT_SPEED, 115200);
    CHECK(dlgGetUint(dialog, IDC_PORT_SPEED) == 115200);
    CHECK(!IsWindowEnabled(GetDlgItem(d, IDC_PORT_SPEED)));

    checkSet(dialog, IDC_INCREASE_PORT_TIME, true);
    CHECK(checkGet(dialog, IDC_INCREASE_PORT_TIME) && !checkGet(dialog, IDC_HIGH_PRIORITY));
    CHECK(IsDlgButtonChecked(d, IDC_INCREASE_PORT_TIME) == BST_CHECKED);
    checkSet(dialog, IDC_INCREASE_PORT_TIME, false);
    CHECK(!checkGet(dialog, IDC_INCREASE_PORT_TIME));
    // An automatic check box ticks itself when clicked.
    SendDlgItemMessageA(d, IDC_HIGH_PRIORITY, BM_CLICK, 0, 0);
    CHECK(checkGet(dialog, IDC_HIGH_PRIORITY));
    DestroyWindow(d);
}

// ---------------------------------------------------------------- modal dialogs

struct ModalSeen {
    int activations = 0;
    HWND dialog = nullptr;
    HWND owner = nullptr;
    std::string caption;
    int serialItems = -1, speedItems = -1, vsyncItems = -1;
    std::string speed, remotePort, lastSerial;
};
ModalSeen seen;

// The Settings dialog as filled: look, then cancel.
bool settingsSeen(HWND dialog) {
    if (windowText(dialog) != "Settings") return false;
    if (seen.activations++ == 0) {
        seen.dialog = dialog;
        seen.owner = GetWindow(dialog, GW_OWNER);
        seen.caption = windowText(dialog);
        seen.serialItems = int(SendDlgItemMessageA(dialog, IDC_SERIAL_PORT, CB_GETCOUNT, 0, 0));
        seen.speedItems = int(SendDlgItemMessageA(dialog, IDC_PORT_SPEED, CB_GETCOUNT, 0, 0));
        seen.vsyncItems = int(SendDlgItemMessageA(dialog, IDC_VSYNC_ADJUST, CB_GETCOUNT, 0, 0));
        seen.speed = itemText(dialog, IDC_PORT_SPEED);
        char last[16] = "";
        SendDlgItemMessageA(dialog, IDC_SERIAL_PORT, CB_GETLBTEXT, 4, reinterpret_cast<LPARAM>(last));
        seen.lastSerial = last;
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    }
    return true;
}

// The Connect dialog: refuse an empty address, then cancel.
bool connectSeen(HWND dialog) {
    if (windowText(dialog) != "Create Connection") return false;
    switch (seen.activations++) {
    case 0:
        seen.dialog = dialog;
        seen.owner = GetWindow(dialog, GW_OWNER);
        seen.caption = windowText(dialog);
        seen.remotePort = itemText(dialog, IDC_REMOTE_PORT);
        SetDlgItemTextA(dialog, IDC_REMOTE_ADDRESS, "");
        PostMessageA(dialog, WM_COMMAND, IDOK, 0); // refused: a box, then back here
        break;
    case 1:
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        break;
    }
    return true;
}

// Ends a modal dialog that its procedure did not end, so the test goes on.
bool modalStuck = false;
VOID CALLBACK unstick(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    if (seen.dialog != nullptr && IsWindow(seen.dialog)) {
        modalStuck = true;
        EndDialog(seen.dialog, 0);
    }
}

// Runs a modal dialog (run), answered by answer when it becomes active; one
// still open after 5 s is ended, and modalStuck says so.
void runModal(bool (*answer)(HWND), void (*run)()) {
    seen = ModalSeen{};
    modalStuck = false;
    onDialog = answer;
    UINT_PTR timer = SetTimer(nullptr, 0, 5000, unstick);
    run();
    KillTimer(nullptr, timer);
    onDialog = nullptr;
}

void modalDialogs() {
    if (panel == nullptr) return;
    // The panel's own procedure again: the dialogs' results go through it.
    SetWindowLongPtrA(panel, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(panelOriginalProc));

    runModal(settingsSeen, runSettingsDialog);
    CHECK(seen.activations >= 1);
    CHECK(!modalStuck); // Cancel ended it
    CHECK(seen.owner == hostWindow); // the panel's top-level window
    CHECK(seen.caption == "Settings");
    CHECKF(seen.serialItems == 5 && seen.speedItems == 4 && seen.vsyncItems == 5,
           "lists of %d, %d and %d items", seen.serialItems, seen.speedItems, seen.vsyncItems);
    CHECKF(seen.lastSerial == "SIM", "last serial port \"%s\"", seen.lastSerial.c_str());
    CHECKF(seen.speed == "115200", "speed \"%s\"", seen.speed.c_str());

    boxes.clear();
    boxAnswer = IDOK;
    runModal(connectSeen, runConnectDialog);
    CHECK(!modalStuck);
    CHECK(seen.owner == hostWindow && seen.caption == "Create Connection");
    CHECKF(seen.remotePort == "3975", "remote port \"%s\"", seen.remotePort.c_str());
    CHECKF(seen.activations == 2, "%d activations", seen.activations);
    CHECKF(boxes.size() == 1 && boxes[0].caption == "Error" &&
               boxes[0].text == "Valid IP address required" && boxes[0].owner == nullptr,
           "%d boxes", int(boxes.size()));
    CHECK(GetFocus() == connectButton); // Cancel gives the focus back to Connect...
}

// A peer socket on the loopback speaks to the panel's socket: WinSock's
// notifications reach the panel, datagrams are read and answered.
SOCKET peer = INVALID_SOCKET;
sockaddr_in programAddress{};

void sendToProgram(uint32_t type, uint32_t sequence, int payload) {
    char datagram[8 + 76] = {};
    for (int i = 0; i < 4; ++i) {
        datagram[i] = char(type >> (8 * i));
        datagram[4 + i] = char(sequence >> (8 * i));
    }
    for (int i = 0; i < payload; ++i) datagram[8 + i] = char(0x40 + i);
    sendto(peer, datagram, 8 + payload, 0, reinterpret_cast<sockaddr*>(&programAddress),
           sizeof programAddress);
}

// Pumps messages until the peer has a datagram or ms pass; its type, or 0.
uint32_t peerReceives(DWORD ms) {
    DWORD start = GetTickCount();
    do {
        pump(10);
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(peer, &ready);
        timeval none{0, 0};
        if (select(0, &ready, nullptr, nullptr, &none) == 1) {
            unsigned char reply[100];
            int n = recv(peer, reinterpret_cast<char*>(reply), sizeof reply, 0);
            if (n != 8) return 0xFFFFFFFF;
            return reply[0] | (reply[1] << 8) | (reply[2] << 16) | (uint32_t(reply[3]) << 24);
        }
    } while (GetTickCount() - start < ms);
    return 0;
}

// Pumps messages until the log contains text.
bool logShows(const char* text, DWORD ms) {
    DWORD start = GetTickCount();
    do {
        if (windowText(logEdit).find(text) != std::string::npos) return true;
        pump(10);
    } while (GetTickCount() - start < ms);
    return windowText(logEdit).find(text) != std::string::npos;
}

void udpThroughThePanel() {
    if (panel == nullptr) return;
    peer = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr("127.0.0.1");
    CHECK(bind(peer, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0);
    int size = sizeof local;
    getsockname(peer, reinterpret_cast<sockaddr*>(&local), &size);

    // The program's socket, as the Settings dialog opens it (any free port).
    paneClear();
    std::strcpy(linkState.localIp, "127.0.0.1");
    linkState.localPort = 0;
    CHECK(openUdpSocket() == 1);
    CHECK(armSocketNotification() == 1);
    CHECK(windowText(logEdit) ==
          "Opening UDP socket ...success\r\nBinding socket to 127.0.0.1:0 ...success\r\n");
    size = sizeof programAddress;
    getsockname(SOCKET(linkState.udpSocket), reinterpret_cast<sockaddr*>(&programAddress), &size);
    CHECK(programAddress.sin_port != 0);

    // Listen, through a click on the button.
    buttonEnable(ListenButton, true);
    click(listenButton);
    CHECK(linkState.connectionState == Listening);
    CHECK(windowText(listenButton) == "Cancel" && GetDlgCtrlID(listenButton) == IDC_LISTEN_CANCEL);

    // Too long for the 8 bytes read while listening: a failed read, two lines.
    sendToProgram(ConnectRequest, 0, 1);
    CHECK(logShows("WARN: bad UDP packet size (-1), expected 8\r\n", 2000));
    CHECK_LOG_HAS(windowText(logEdit), "WARN: recvfrom() failed (error #10040)\r\n");
    CHECK(linkState.connectionState == Listening);

    // A peer's request is answered, and the sender becomes the peer.
    sendToProgram(ConnectRequest, 0, 0);
    CHECKF(peerReceives(2000) == ConnectAccept, "no ConnectAccept came back");
    CHECK(logShows("Listening for connection ...WARN: recvfrom() failed", 0));
    CHECK(logShows("expected 8\r\nconnected!\r\n", 1000)); // the line stayed open
    CHECK(linkState.connectionState == Connected);
    CHECK(std::strcmp(linkState.remoteIp, "127.0.0.1") == 0);
    CHECK(linkState.remotePort == ntohs(local.sin_port));
    CHECK(windowText(listenButton) == "Disconnect");

    // Data packets are read whole and filed.
    sendToProgram(DataPacket, 0, 8);
    sendToProgram(DataPacket, 1, 8);
    DWORD start = GetTickCount();
    while (linkState.remote.remoteReceived < 2 && GetTickCount() - start < 2000) pump(10);
    CHECKF(linkState.remote.remoteReceived == 2, "%u packets received",
           unsigned(linkState.remote.remoteReceived));

    // The peer leaves.
    sendToProgram(DisconnectNotice, 0, 0);
    CHECK(logShows("Disconnect packet received...disconnected\r\n", 3000));
    CHECK(linkState.connectionState == Idle);
    CHECK(windowText(listenButton) == "Listen" && GetDlgCtrlID(listenButton) == IDC_LISTEN);
    CHECK(IsWindowEnabled(settingsButton) && IsWindowEnabled(connectButton));
    closesocket(peer);
}

// What the user chooses in the Settings dialog before pressing OK.
const char* chosenSerialPort = "";
unsigned chosenLocalPort = 0;

bool settingsChosen(HWND dialog) {
    if (windowText(dialog) != "Settings") return false;
    seen.dialog = dialog;
    SetDlgItemTextA(dialog, IDC_LOCAL_ADDRESS, "127.0.0.1");
    SetDlgItemInt(dialog, IDC_LOCAL_PORT, chosenLocalPort, FALSE);
    LRESULT item = SendDlgItemMessageA(dialog, IDC_SERIAL_PORT, CB_ADDSTRING, 0,
                                       reinterpret_cast<LPARAM>(chosenSerialPort));
    SendDlgItemMessageA(dialog, IDC_SERIAL_PORT, CB_SETCURSEL, WPARAM(item), 0);
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    return true;
}

void acceptSettings(const char* serialPort) {
    chosenSerialPort = serialPort;
    runModal(settingsChosen, runSettingsDialog);
}

// The log without the port thread's own warnings. Behind COM9 (a pseudo-terminal
// under Wine) its line-event waits fail, and the thread says so at any moment,
// also between the halves of a line the window thread writes.
std::string logWithoutPortThreadWarnings() {
    std::string log = windowText(logEdit);
    const std::string warning = "WARN: WaitCommEvent() failed";
    for (size_t at; (at = log.find(warning)) != std::string::npos;) {
        const size_t end = log.find("\r\n", at);
        log.erase(at, end == std::string::npos ? std::string::npos : end + 2 - at);
    }
    return log;
}

// A start that fails after one that succeeded leaves no socket behind Connect
// and Listen: they are disabled.
void settingsStartFailure() {
    if (panel == nullptr) return;
    // A free UDP port that the dialog accepts.
    for (int i = 0; i < 20 && (chosenLocalPort == 0 || chosenLocalPort > 49999); ++i) {
        SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = inet_addr("127.0.0.1");
        bind(probe, reinterpret_cast<sockaddr*>(&at), sizeof at);
        int size = sizeof at;
        getsockname(probe, reinterpret_cast<sockaddr*>(&at), &size);
        chosenLocalPort = ntohs(at.sin_port);
        closesocket(probe);
    }
    paneClear();
    acceptSettings("COM9"); // run_wine.sh maps it to a pseudo-terminal
    CHECK_LOG_HAS(logWithoutPortThreadWarnings(), "Starting port thread...success\r\n");
    CHECK(IsWindowEnabled(connectButton) && IsWindowEnabled(listenButton));

    paneClear();
    acceptSettings("COM8"); // no such device
    CHECK_LOG_HAS(windowText(logEdit), "Opening serial port COM8 ...failed");
    CHECK(!IsWindowEnabled(connectButton) && !IsWindowEnabled(listenButton));
    CHECK(IsWindowEnabled(settingsButton));
}

DWORD WINAPI portThreadGivesUp(LPVOID) {
    handOverPortLost(linkState.serialPort); // as it does when its device stops answering
    return 0;
}

// The port thread that gave up hands its end to the window thread, which ends
// the link: Settings... enabled, Connect and Listen not, the port closed.
void serialPortLost() {
    if (panel == nullptr) return;
    acceptSettings("COM9");
    CHECK(IsWindowEnabled(connectButton) && IsWindowEnabled(listenButton));
    paneClear();
    if (!runThread(portThreadGivesUp)) return;
    pump(50);
    CHECK_LOG_HAS(logWithoutPortThreadWarnings(),
                  "Serial device lost, link stopped\r\nClosing serial port\r\n");
    CHECK(linkState.serialPort == nullptr);
    CHECK(IsWindowEnabled(settingsButton));
    CHECK(!IsWindowEnabled(connectButton) && !IsWindowEnabled(listenButton));
}

// The device is lost while the Connect dialog or the transfer warning is up,
// and OK or Yes is pressed after the news: the link ends once the window has
// returned, with no attempt on the closed port and no second disconnect.
bool lostUnderModal(HWND window) {
    const bool connect = windowText(window) == "Create Connection";
    if (!connect && windowText(window) != "Disconnect") return false;
    runThread(portThreadGivesUp);
    SetDlgItemTextA(window, IDC_REMOTE_ADDRESS, "127.0.0.1");
    SetDlgItemTextA(window, IDC_REMOTE_PORT, "3975");
    PostMessageA(window, WM_COMMAND, connect ? IDOK : IDYES, 0); // after the thread's news
    return true;
}

void serialPortLostUnderAModalWindow() {
    if (panel == nullptr) return;
    peer = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    programAddress.sin_family = AF_INET;
    programAddress.sin_addr.s_addr = inet_addr("127.0.0.1");
    programAddress.sin_port = htons(u_short(chosenLocalPort));
    for (bool transfer : {true, false}) { // the transfer first: it binds the peer's socket
        acceptSettings("COM9");
        if (transfer) { // connected through Listen, in a transfer
            click(listenButton);
            sendToProgram(ConnectRequest, 0, 0);
            CHECK(peerReceives(2000) == ConnectAccept);
            linkState.transferStage = 8;
        }
        onDialog = lostUnderModal;
        click(transfer ? listenButton : connectButton);
        onDialog = nullptr;
        int notices = 0;
        for (uint32_t type; (type = peerReceives(300)) != 0;) notices += type == DisconnectNotice;
        CHECKF(notices == (transfer ? 2 : 0), "%d disconnect notices", notices);
        CHECK(linkState.connectionState == Idle && linkState.serialPort == nullptr);
        CHECK(!KillTimer(panel, kConnectRetryTimer));
        CHECK(IsWindowEnabled(settingsButton));
        CHECK(!IsWindowEnabled(connectButton) && !IsWindowEnabled(listenButton));
        CHECK(windowText(connectButton) == "Connect..." && windowText(listenButton) == "Listen");
    }
    closesocket(peer);
}

// Closing the main window destroys it, shuts the link down and ends the loop.
void mainWindowClose() {
    if (panel == nullptr) return;
    paneClear();
    SendMessageA(hostWindow, WM_CLOSE, 0, 0);
    CHECK(!IsWindow(hostWindow));
    CHECK(!IsWindow(panel));
    MSG message;
    bool quit = false;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) quit = message.wParam == 0;
    }
    CHECK(quit);
}

} // namespace

int main() {
    // The main window, as the program registers and creates it.
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "ZavikTestMain";
    RegisterClassA(&windowClass);
    hostWindow = CreateWindowExA(0, "ZavikTestMain", "Zavik test",
                                 WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0, 0, 600, 500, nullptr,
                                 nullptr, GetModuleHandleA(nullptr), nullptr);
    mainWindow = hostWindow;
    HHOOK hook = SetWindowsHookExA(WH_CBT, cbtHook, nullptr, GetCurrentThreadId());
    groupStart = GetTickCount();
    CloseHandle(CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr));

    runGroup("templates in the resources", templatesInResources);
    runGroup("dialogs as created", dialogsAsCreated);
    runGroup("tab order", tabOrder);
    runGroup("panel creation", panelCreation);
    runGroup("log pane and counters", logPane);
    runGroup("port thread hand-off", handOffFromThread);
    runGroup("full log", fullLog);
    runGroup("button swaps", buttonsSwap);
    runGroup("retry timer", retryTimer);
    runGroup("message boxes", messageBoxes);
    runGroup("dialog controls", dialogControls);
    runGroup("modal dialogs", modalDialogs);
    runGroup("UDP through the panel", udpThroughThePanel);
    runGroup("settings start failure", settingsStartFailure);
    runGroup("serial port lost", serialPortLost);
    runGroup("serial port lost under a modal window", serialPortLostUnderAModalWindow);
    runGroup("link lock wait", lockWaitBlocks);
    runGroup("line wait closed while pending", lineWaitClosedWhilePending);
    runGroup("simulated console as a COM port", simulatedConsolePort);
    runGroup("main window close", mainWindowClose);

    UnhookWindowsHookEx(hook);
    std::printf("%d passed, %d failed\n", groupsPassed, groupsFailed);
    return groupsFailed == 0 ? 0 : 1;
}
