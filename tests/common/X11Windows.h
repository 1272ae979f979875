#pragma once

// X windows the capture and window-list tests make on their own X server, painted in solid
// colours.

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <vector>

namespace x11 {

constexpr unsigned long kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF, kWhite = 0xFFFFFF,
                        kYellow = 0xFFFF00, kGrey = 0x808080;

// One connection and the windows made through it; clear() destroys them, children first.
struct Windows {
    Display *dpy = nullptr;
    std::vector<Window> made;

    bool open() { return (dpy = XOpenDisplay(nullptr)) != nullptr; }
    void close() {
        clear();
        if (dpy)
            XCloseDisplay(dpy);
        dpy = nullptr;
    }
    // `background` is what the server paints on every expose, so a window looks right without
    // a client drawing into it; child windows of one colour serve as blocks.
    Window make(int x, int y, int w, int h, unsigned long background = 0, Window parent = 0,
                const char *title = nullptr, bool map = true, unsigned border = 0) {
        const Window win =
            XCreateSimpleWindow(dpy, parent ? parent : DefaultRootWindow(dpy), x, y, unsigned(w),
                                unsigned(h), border, kYellow, background);
        if (title)
            XStoreName(dpy, win, title); // WM_NAME, Latin-1
        if (map)
            XMapRaised(dpy, win);
        XSync(dpy, False);
        made.push_back(win);
        return win;
    }
    // Client drawing: lost on expose unless the window is redirected (captured).
    void fill(Window win, int x, int y, int w, int h, unsigned long colour) {
        GC gc = XCreateGC(dpy, win, 0, nullptr);
        XSetForeground(dpy, gc, colour);
        XFillRectangle(dpy, win, gc, x, y, unsigned(w), unsigned(h));
        XFreeGC(dpy, gc);
        XSync(dpy, False);
    }
    void destroy(Window win) {
        XDestroyWindow(dpy, win);
        XSync(dpy, False);
        std::erase(made, win);
    }
    // The id of a window that existed and is gone.
    Window gone() {
        const Window win = make(0, 0, 9, 9);
        destroy(win);
        return win;
    }
    void clear() {
        for (auto w = made.rbegin(); w != made.rend(); ++w)
            XDestroyWindow(dpy, *w);
        made.clear();
        if (dpy)
            XSync(dpy, False);
    }
};

} // namespace x11
