#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

// The windows an operator can pick as a capture source, as X11 sees them. Every call opens a
// short-lived X connection of its own, so any thread may call; without an X display there are
// no windows.

struct CaptureWindow {
    quint64 handle = 0; // the X window id
    QString title;      // at most 384 characters
    QString text;       // what the source list shows: "title  [0x1a00003]"
};

// Top-level windows in the window manager's order (_NET_CLIENT_LIST; the root window's children
// when there is no window manager) that are viewable, not minimised, owned by no other window and
// have a title.
QList<CaptureWindow> listCaptureWindows();

// True while a window with this id exists.
bool isCaptureWindow(quint64 handle);
// The window's ancestor right below the root (under a reparenting window manager: its frame),
// the window itself when it is top-level; 0 for the root or an id that is no window.
quint64 topLevelAncestor(quint64 handle);
