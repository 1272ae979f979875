#include "platform/WindowList.h"

#include "platform/X11ErrorTrap.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <optional>

namespace {

constexpr qsizetype kMaxTitle = 384;
// X ids are 29 bits; a larger handle would name another window once cut to 32 bits.
constexpr quint64 kMaxXid = 0x1FFFFFFF;
// Enough 32-bit units for kMaxTitle characters of up to four UTF-8 bytes each.
constexpr long kTitleUnits = kMaxTitle;

// One connection for one call; errors for windows that vanish meanwhile are expected and quiet.
class Connection {
public:
    Connection() : display_(openLocked()), trap_(std::in_place, display_) {}
    ~Connection() {
        // The trap syncs before the display closes.
        trap_.reset();
        const auto lock = x11::lockConnections();
        x11::closeDisplay(display_);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    Display *display() const { return display_; }

private:
    static Display *openLocked() {
        const auto lock = x11::lockConnections();
        return x11::openDisplay();
    }

    Display *display_;
    std::optional<x11::ErrorTrap> trap_;
};

struct Property {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned char *data = nullptr;

    Property(Display *dpy, Window window, Atom name, long units, Atom wanted = AnyPropertyType) {
        unsigned long after = 0;
        if (XGetWindowProperty(dpy, window, name, 0, units, False, wanted, &type, &format, &count,
                               &after, &data) != Success) {
            type = None;
            data = nullptr;
            count = 0;
        }
    }
    ~Property() {
        if (data)
            XFree(data);
    }
    Property(const Property &) = delete;
    Property &operator=(const Property &) = delete;

    bool has(Atom wantedType, int wantedFormat) const {
        return data && type == wantedType && format == wantedFormat;
    }
    // Format-32 items come as longs, whatever the size of long.
    unsigned long item(unsigned long i) const { return reinterpret_cast<const long *>(data)[i]; }
};

struct Atoms {
    Atom clientList, state, hidden, netName, utf8, compoundText;
    explicit Atoms(Display *dpy) {
        char names[][24] = {"_NET_CLIENT_LIST", "_NET_WM_STATE", "_NET_WM_STATE_HIDDEN",
                            "_NET_WM_NAME",     "UTF8_STRING",   "COMPOUND_TEXT"};
        char *pointers[6];
        for (int i = 0; i < 6; ++i)
            pointers[i] = names[i];
        Atom atoms[6] = {};
        XInternAtoms(dpy, pointers, 6, False, atoms);
        clientList = atoms[0];
        state = atoms[1];
        hidden = atoms[2];
        netName = atoms[3];
        utf8 = atoms[4];
        compoundText = atoms[5];
    }
};

QString fromCompoundText(Display *dpy, const Property &p) {
    XTextProperty text{p.data, p.type, p.format, p.count};
    char **list = nullptr;
    int count = 0;
    QString out;
    if (Xutf8TextPropertyToTextList(dpy, &text, &list, &count) >= Success && list) {
        for (int i = 0; i < count; ++i)
            out += QString::fromUtf8(list[i]);
        XFreeStringList(list);
    } else {
        out = QString::fromLatin1(reinterpret_cast<const char *>(p.data), qsizetype(p.count));
    }
    return out;
}

QString windowTitle(Display *dpy, Window window, const Atoms &atoms) {
    QString title;
    {
        const Property net(dpy, window, atoms.netName, kTitleUnits, atoms.utf8);
        if (net.has(atoms.utf8, 8))
            title =
                QString::fromUtf8(reinterpret_cast<const char *>(net.data), qsizetype(net.count));
    }
    if (title.isEmpty()) {
        const Property old(dpy, window, XA_WM_NAME, kTitleUnits);
        const auto *bytes = reinterpret_cast<const char *>(old.data);
        if (old.has(XA_STRING, 8))
            title = QString::fromLatin1(bytes, qsizetype(old.count));
        else if (old.has(atoms.utf8, 8))
            title = QString::fromUtf8(bytes, qsizetype(old.count));
        else if (old.has(atoms.compoundText, 8))
            title = fromCompoundText(dpy, old);
    }
    if (title.size() > kMaxTitle) // never half of a surrogate pair
        title.truncate(title.at(kMaxTitle - 1).isHighSurrogate() ? kMaxTitle - 1 : kMaxTitle);
    return title;
}

bool isMinimised(Display *dpy, Window window, const Atoms &atoms) {
    const Property state(dpy, window, atoms.state, 64, XA_ATOM);
    if (!state.has(XA_ATOM, 32))
        return false;
    for (unsigned long i = 0; i < state.count; ++i) {
        if (state.item(i) == atoms.hidden)
            return true;
    }
    return false;
}

bool hasOwner(Display *dpy, Window window) {
    const Property owner(dpy, window, XA_WM_TRANSIENT_FOR, 1, XA_WINDOW);
    return owner.has(XA_WINDOW, 32) && owner.count == 1 && owner.item(0) != None;
}

QList<Window> topLevelWindows(Display *dpy, Window root, const Atoms &atoms) {
    QList<Window> windows;
    const Property clients(dpy, root, atoms.clientList, 1 << 16, XA_WINDOW);
    if (clients.has(XA_WINDOW, 32)) {
        for (unsigned long i = 0; i < clients.count; ++i)
            windows.append(Window(clients.item(i)));
        return windows;
    }
    Window rootReturn = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (XQueryTree(dpy, root, &rootReturn, &parent, &children, &count) && children) {
        for (unsigned i = 0; i < count; ++i)
            windows.append(children[i]);
    }
    if (children)
        XFree(children);
    return windows;
}

} // namespace

QList<CaptureWindow> listCaptureWindows() {
    QList<CaptureWindow> list;
    const Connection connection;
    Display *dpy = connection.display();
    if (!dpy)
        return list;
    const Atoms atoms(dpy);
    for (const Window window : topLevelWindows(dpy, DefaultRootWindow(dpy), atoms)) {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(dpy, window, &attributes) || attributes.map_state != IsViewable ||
            isMinimised(dpy, window, atoms) || hasOwner(dpy, window))
            continue;
        const QString title = windowTitle(dpy, window, atoms);
        if (title.isEmpty())
            continue;
        // One arg() call: a title holding "%1" must not swallow the handle.
        list.append({quint64(window), title,
                     QStringLiteral("%1  [0x%2]").arg(title, QString::number(window, 16))});
    }
    return list;
}

bool isCaptureWindow(quint64 handle) {
    if (handle == 0 || handle > kMaxXid)
        return false;
    const Connection connection;
    XWindowAttributes attributes;
    return connection.display() &&
           XGetWindowAttributes(connection.display(), Window(handle), &attributes);
}

quint64 topLevelAncestor(quint64 handle) {
    if (handle == 0 || handle > kMaxXid)
        return 0;
    const Connection connection;
    Display *dpy = connection.display();
    if (!dpy)
        return 0;
    Window current = Window(handle);
    for (int level = 0; level < 256; ++level) {
        Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(dpy, current, &root, &parent, &children, &count))
            return 0;
        if (children)
            XFree(children);
        if (parent == None) // the root itself
            return 0;
        if (parent == root)
            return current;
        current = parent;
    }
    return 0;
}
