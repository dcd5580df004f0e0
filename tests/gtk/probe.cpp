// zavik_gtkprobe: looks at a running zavik-gtk's main window from outside,
// as the X server and a window manager see it, and closes it as a close box
// does (WM_DELETE_WINDOW).
//
//   zavik_gtkprobe SECONDS [--close]
//
// Waits up to SECONDS for a top-level window captioned "Zavik 0.1ß" to be
// shown, then prints
//   caption=<the bytes of _NET_WM_NAME in hex>
//   class=<WM_CLASS name>,<WM_CLASS class>
// and with --close sends it WM_DELETE_WINDOW. Exits 0 when it found the window.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kCaption[] = "Zavik 0.1\xC3\x9F";

// An 8-bit property (a text), as its bytes.
std::string property(Display* display, Window window, const char* name) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string value;
    if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 1 << 20, False,
                           AnyPropertyType, &actualType, &actualFormat, &count, &after,
                           &data) == Success &&
        data != nullptr) {
        value.assign(reinterpret_cast<char*>(data), count);
        XFree(data);
    }
    return value;
}

bool viewable(Display* display, Window window) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
}

Window findWindow(Display* display) {
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    Window found = None;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count && found == None; ++i) {
            if (property(display, children[i], "_NET_WM_NAME") == kCaption &&
                viewable(display, children[i])) {
                found = children[i];
            }
        }
        XFree(children);
    }
    return found;
}

std::string hex(const std::string& bytes) {
    std::string out;
    char digits[3];
    for (unsigned char c : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", c);
        out += digits;
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    bool close = argc > 2 && std::strcmp(argv[2], "--close") == 0;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::printf("no display\n");
        return 1;
    }
    Window window = None;
    for (int i = 0; i < seconds * 20 && window == None; ++i) {
        window = findWindow(display);
        if (window == None) usleep(50000);
    }
    if (window == None) {
        std::printf("no window captioned %s\n", kCaption);
        return 1;
    }

    std::printf("caption=%s\n", hex(property(display, window, "_NET_WM_NAME")).c_str());
    XClassHint hint{};
    if (XGetClassHint(display, window, &hint)) {
        std::printf("class=%s,%s\n", hint.res_name, hint.res_class);
        XFree(hint.res_name);
        XFree(hint.res_class);
    }
    if (close) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, window, False, NoEventMask, &event);
        XSync(display, False);
    }
    std::fflush(stdout);
    XCloseDisplay(display);
    return 0;
}
