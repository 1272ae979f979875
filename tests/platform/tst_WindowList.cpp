// The window list an operator picks a window capture from, against windows the test makes on
// its own X server, with and without a window manager's client list.

#include "platform/WindowList.h"

#include <QtTest>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <vector>

class TestWindowList : public QObject {
    Q_OBJECT

    Display *dpy_ = nullptr;
    std::vector<Window> windows_; // parents before their children

    Atom atom(const char *name) { return XInternAtom(dpy_, name, False); }
    Window makeWindow(const char *title, Window parent = 0, bool map = true) {
        const Window w = XCreateSimpleWindow(dpy_, parent ? parent : DefaultRootWindow(dpy_), 10,
                                             10, 100, 80, 0, 0, 0);
        if (title)
            XStoreName(dpy_, w, title); // WM_NAME, Latin-1
        if (map)
            XMapWindow(dpy_, w);
        XSync(dpy_, False);
        windows_.push_back(w);
        return w;
    }
    void setText(Window window, const char *name, const QByteArray &utf8) {
        XChangeProperty(dpy_, window, atom(name), atom("UTF8_STRING"), 8, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(utf8.constData()),
                        int(utf8.size()));
        XSync(dpy_, False);
    }
    void setIds(Window window, const char *name, Atom type, const std::vector<unsigned long> &ids) {
        XChangeProperty(dpy_, window, atom(name), type, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(ids.data()), int(ids.size()));
        XSync(dpy_, False);
    }
    static QString text(const char *title, Window window) {
        return QString::fromUtf8(title) + QString::asprintf("  [0x%lx]", window);
    }
    // The listed windows this test made, in list order.
    QStringList ourTexts() const {
        QStringList texts;
        for (const CaptureWindow &w : listCaptureWindows()) {
            if (std::find(windows_.begin(), windows_.end(), Window(w.handle)) == windows_.end())
                continue;
            texts << w.text;
            if (!w.text.startsWith(w.title + QStringLiteral("  [0x")))
                texts << QStringLiteral("title out of step with text: ") + w.title;
        }
        return texts;
    }

private slots:
    void initTestCase() {
        dpy_ = XOpenDisplay(nullptr);
        QVERIFY2(dpy_, "needs an X display");
    }
    void cleanupTestCase() { XCloseDisplay(dpy_); }
    void cleanup() {
        for (auto w = windows_.rbegin(); w != windows_.rend(); ++w) // children first
            XDestroyWindow(dpy_, *w);
        windows_.clear();
        XDeleteProperty(dpy_, DefaultRootWindow(dpy_), atom("_NET_CLIENT_LIST"));
        XSync(dpy_, False);
    }

    void listsOnlyWindowsAnOperatorCanPick();
    void walksTheWindowManagersList();
    void validatesWindowAddresses();
    void emptyWithoutADisplay();
};

void TestWindowList::listsOnlyWindowsAnOperatorCanPick() {
    const Window normal = makeWindow("Normal");
    const Window utf8 = makeWindow("fallback");
    setText(utf8, "_NET_WM_NAME", "Kamera – Bühne ✓");
    const Window latin1 = makeWindow("Caf\xe9");
    const Window percent = makeWindow("50%1 done %2");
    const QByteArray longTitle = QByteArray("0123456789").repeated(50);
    const Window longOne = makeWindow(nullptr);
    setText(longOne, "_NET_WM_NAME", longTitle);
    const Window above = makeWindow("Above");
    setIds(above, "_NET_WM_STATE", XA_ATOM, {atom("_NET_WM_STATE_ABOVE")});

    const Window minimised = makeWindow("Minimised");
    setIds(minimised, "_NET_WM_STATE", XA_ATOM,
           {atom("_NET_WM_STATE_ABOVE"), atom("_NET_WM_STATE_HIDDEN")});
    makeWindow(nullptr);
    setText(makeWindow(""), "_NET_WM_NAME", "");
    setIds(makeWindow("Dialog"), "WM_TRANSIENT_FOR", XA_WINDOW, {normal});
    makeWindow("Unmapped", 0, false);
    makeWindow("Inner", normal); // not top-level

    QCOMPARE(ourTexts(),
             (QStringList{text("Normal", normal), text("Kamera – Bühne ✓", utf8),
                          text("Café", latin1), text("50%1 done %2", percent),
                          text(longTitle.left(384).constData(), longOne), text("Above", above)}));
}

void TestWindowList::walksTheWindowManagersList() {
    const Window alpha = makeWindow("Alpha");
    const Window beta = makeWindow("Beta");
    const Window gamma = makeWindow("Gamma", alpha); // a client inside a frame
    const Window delta = makeWindow("Delta");
    setIds(delta, "_NET_WM_STATE", XA_ATOM, {atom("_NET_WM_STATE_HIDDEN")});
    const Window root = DefaultRootWindow(dpy_);

    setIds(root, "_NET_CLIENT_LIST", XA_WINDOW, {gamma, delta, beta});
    QCOMPARE(ourTexts(), (QStringList{text("Gamma", gamma), text("Beta", beta)}));
    setIds(root, "_NET_CLIENT_LIST", XA_WINDOW, {});
    QCOMPARE(ourTexts(), QStringList());
    XDeleteProperty(dpy_, root, atom("_NET_CLIENT_LIST")); // no window manager
    XSync(dpy_, False);
    QCOMPARE(ourTexts(), (QStringList{text("Alpha", alpha), text("Beta", beta)}));
}

void TestWindowList::validatesWindowAddresses() {
    const Window top = makeWindow("Top");
    const Window child = makeWindow(nullptr, top);
    const Window grandchild = makeWindow(nullptr, child);
    const Window hidden = makeWindow("Hidden", 0, false);
    const Window gone = makeWindow("Gone");
    XDestroyWindow(dpy_, gone);
    XSync(dpy_, False);
    windows_.pop_back();

    QVERIFY(isCaptureWindow(top));
    QVERIFY(isCaptureWindow(grandchild));
    QVERIFY(isCaptureWindow(hidden));
    QVERIFY(!isCaptureWindow(gone));
    QVERIFY(!isCaptureWindow(0));
    QVERIFY(!isCaptureWindow(quint64(top) | quint64(1) << 32)); // the same id cut to 32 bits

    QCOMPARE(topLevelAncestor(grandchild), quint64(top));
    QCOMPARE(topLevelAncestor(child), quint64(top));
    QCOMPARE(topLevelAncestor(top), quint64(top));
    QCOMPARE(topLevelAncestor(gone), quint64(0));
    QCOMPARE(topLevelAncestor(DefaultRootWindow(dpy_)), quint64(0));
    QCOMPARE(topLevelAncestor(quint64(grandchild) | quint64(1) << 32), quint64(0));
}

void TestWindowList::emptyWithoutADisplay() {
    const Window top = makeWindow("Top");
    const QByteArray display = qgetenv("DISPLAY");
    qunsetenv("DISPLAY");
    const bool listed = !listCaptureWindows().isEmpty();
    const bool exists = isCaptureWindow(top);
    const quint64 ancestor = topLevelAncestor(top);
    qputenv("DISPLAY", display);
    QVERIFY(!listed);
    QVERIFY(!exists);
    QCOMPARE(ancestor, quint64(0));
    QVERIFY(isCaptureWindow(top)); // back with the display
}

QTEST_GUILESS_MAIN(TestWindowList)
#include "tst_WindowList.moc"
