#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP (Ctrl+C, a logout, a service manager) into an orderly quit,
// so that a running recording is stopped and finished. The handler itself only writes the
// signal number to a pipe; a notifier on the owning thread's event loop emits quitRequested. A
// second signal gets the default action at once, for a program that no longer reacts. A signal
// ignored when the program started (nohup, a background job) stays ignored.
//
// Threads: create, use and destroy on one thread with an event loop (the GUI thread). One
// object at a time per process.
class QuitSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override; // restores the previous handlers

    bool isInstalled() const { return notifier_ != nullptr; }

    static const char *signalName(int signalNumber);

signals:
    void quitRequested(int signalNumber);

private:
    void onSignalPipe();

    QSocketNotifier *notifier_ = nullptr;
};
