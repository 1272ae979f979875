// The window list an operator picks a window capture from, against windows the test makes on
// its own X server, with and without a window manager's client list.

#include "platform/WindowList.h"

#include <QtTest>

// After Qt: the X11 headers define macros that Qt's own would trip over.
#include "common/X11Windows.h"

#include <X11/Xatom.h>

class TestWindowList : public QObject {
    Q_OBJECT

    x11::Windows x_;

    Atom atom(const char *name) { return XInternAtom(x_.dpy, name, False); }
    Window make(const char *title, Window parent = 0, bool map = true) {
        return x_.make(10, 10, 100, 80, 0, parent, title, map);
    }
    void setText(Window window, const char *name, const QByteArray &utf8) {
        XChangeProperty(x_.dpy, window, atom(name), atom("UTF8_STRING"), 8, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(utf8.constData()),
                        int(utf8.size()));
        XSync(x_.dpy, False);
    }
    void setIds(Window window, const char *name, Atom type, const std::vector<unsigned long> &ids) {
        XChangeProperty(x_.dpy, window, atom(name), type, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(ids.data()), int(ids.size()));
        XSync(x_.dpy, False);
    }
    static QString text(const char *title, Window window) {
        return QString::fromUtf8(title) + QString::asprintf("  [0x%lx]", window);
    }
    // The listed windows this test made, in list order.
    QStringList ourTexts() const {
        QStringList texts;
        for (const CaptureWindow &w : listCaptureWindows()) {
            if (std::find(x_.made.begin(), x_.made.end(), Window(w.handle)) == x_.made.end())
                continue;
            texts << w.text;
            if (!w.text.startsWith(w.title + QStringLiteral("  [0x")))
                texts << QStringLiteral("title out of step with text: ") + w.title;
        }
        return texts;
    }

private slots:
    void initTestCase() { QVERIFY2(x_.open(), "needs an X display"); }
    void cleanupTestCase() { x_.close(); }
    void cleanup() {
        x_.clear();
        XDeleteProperty(x_.dpy, DefaultRootWindow(x_.dpy), atom("_NET_CLIENT_LIST"));
        XSync(x_.dpy, False);
    }

    void listsOnlyWindowsAnOperatorCanPick() {
        const Window normal = make("Normal");
        const Window utf8 = make("fallback");
        setText(utf8, "_NET_WM_NAME", "Kamera – Bühne ✓");
        const Window latin1 = make("Caf\xe9");
        const Window percent = make("50%1 done %2");
        const QByteArray longTitle = QByteArray("0123456789").repeated(50);
        const Window longOne = make(nullptr);
        setText(longOne, "_NET_WM_NAME", longTitle);
        const Window above = make("Above");
        setIds(above, "_NET_WM_STATE", XA_ATOM, {atom("_NET_WM_STATE_ABOVE")});

        setIds(make("Minimised"), "_NET_WM_STATE", XA_ATOM,
               {atom("_NET_WM_STATE_ABOVE"), atom("_NET_WM_STATE_HIDDEN")});
        make(nullptr);
        setText(make(""), "_NET_WM_NAME", "");
        setIds(make("Dialog"), "WM_TRANSIENT_FOR", XA_WINDOW, {normal});
        make("Unmapped", 0, false);
        make("Inner", normal); // not top-level

        QCOMPARE(ourTexts(), (QStringList{text("Normal", normal), text("Kamera – Bühne ✓", utf8),
                                          text("Café", latin1), text("50%1 done %2", percent),
                                          text(longTitle.left(384).constData(), longOne),
                                          text("Above", above)}));
    }

    void walksTheWindowManagersList() {
        const Window alpha = make("Alpha");
        const Window beta = make("Beta");
        const Window gamma = make("Gamma", alpha); // a client inside a frame
        const Window delta = make("Delta");
        setIds(delta, "_NET_WM_STATE", XA_ATOM, {atom("_NET_WM_STATE_HIDDEN")});
        const Window root = DefaultRootWindow(x_.dpy);

        setIds(root, "_NET_CLIENT_LIST", XA_WINDOW, {gamma, delta, beta});
        QCOMPARE(ourTexts(), (QStringList{text("Gamma", gamma), text("Beta", beta)}));
        setIds(root, "_NET_CLIENT_LIST", XA_WINDOW, {});
        QCOMPARE(ourTexts(), QStringList());
        XDeleteProperty(x_.dpy, root, atom("_NET_CLIENT_LIST")); // no window manager
        XSync(x_.dpy, False);
        QCOMPARE(ourTexts(), (QStringList{text("Alpha", alpha), text("Beta", beta)}));
    }

    void validatesWindowAddresses() {
        const Window top = make("Top");
        const Window child = make(nullptr, top);
        const Window grandchild = make(nullptr, child);
        const Window hidden = make("Hidden", 0, false);
        const Window gone = x_.gone();
        const quint64 high = quint64(1) << 32; // the same id once cut to 32 bits

        QVERIFY(isCaptureWindow(top));
        QVERIFY(isCaptureWindow(grandchild));
        QVERIFY(isCaptureWindow(hidden));
        QVERIFY(!isCaptureWindow(gone));
        QVERIFY(!isCaptureWindow(0));
        QVERIFY(!isCaptureWindow(top | high));

        QCOMPARE(topLevelAncestor(grandchild), quint64(top));
        QCOMPARE(topLevelAncestor(child), quint64(top));
        QCOMPARE(topLevelAncestor(top), quint64(top));
        QCOMPARE(topLevelAncestor(gone), quint64(0));
        QCOMPARE(topLevelAncestor(DefaultRootWindow(x_.dpy)), quint64(0));
        QCOMPARE(topLevelAncestor(grandchild | high), quint64(0));

        // Without a display: nothing listed, nothing valid.
        const QByteArray display = qgetenv("DISPLAY");
        qunsetenv("DISPLAY");
        const bool listed = !listCaptureWindows().isEmpty();
        const bool exists = isCaptureWindow(top);
        const quint64 ancestor = topLevelAncestor(top);
        qputenv("DISPLAY", display);
        QVERIFY(!listed);
        QVERIFY(!exists);
        QCOMPARE(ancestor, quint64(0));
    }
};

QTEST_GUILESS_MAIN(TestWindowList)
#include "tst_WindowList.moc"
