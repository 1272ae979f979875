#include "platform/QuitSignals.h"

#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

int g_pipe[2] = {-1, -1};
std::atomic<bool> g_signalled{false};
struct sigaction g_previous[3];

void onQuitSignal(int signalNumber) {
    const int savedErrno = errno;
    if (g_signalled.exchange(true)) {
        // Second signal: the orderly quit is stuck or too slow; let the default action happen.
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        sigaction(signalNumber, &dfl, nullptr);
        raise(signalNumber);
    } else {
        const char byte = char(signalNumber);
        [[maybe_unused]] const ssize_t w = write(g_pipe[1], &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

QuitSignals::QuitSignals(QObject *parent) : QObject(parent) {
    if (g_pipe[0] >= 0 || pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("QuitSignals: could not install the quit signal handlers");
        return;
    }
    g_signalled.store(false);
    notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &QuitSignals::onSignalPipe);

    struct sigaction sa {};
    sa.sa_handler = onQuitSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        sigaction(kSignals[i], nullptr, &g_previous[i]);
        // Started with the signal ignored (nohup, a background job): keep it that way.
        if (g_previous[i].sa_handler != SIG_IGN)
            sigaction(kSignals[i], &sa, nullptr);
    }
}

QuitSignals::~QuitSignals() {
    if (!notifier_)
        return;
    for (size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &g_previous[i], nullptr);
    delete notifier_;
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

const char *QuitSignals::signalName(int signalNumber) {
    switch (signalNumber) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal";
    }
}

void QuitSignals::onSignalPipe() {
    char byte = 0;
    if (read(g_pipe[0], &byte, 1) != 1)
        return;
    qInfo("quorvi: %s received, quitting", signalName(int(byte)));
    emit quitRequested(int(byte));
}
