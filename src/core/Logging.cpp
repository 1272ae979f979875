#include "core/Logging.h"

#include "core/LogWriter.h"
#include "core/PosixUtil.h"
#include "core/StderrCapture.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QProcessEnvironment>

extern "C" {
#include <libavutil/log.h>
}

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

struct LogState {
    explicit LogState(const LogSettings &s) : settings(s), writer(s) {}
    const LogSettings settings;
    LogWriter writer;
    StderrCapture capture;
    QtMessageHandler previousHandler = nullptr;
};

// Created once and never freed: other threads may log until the process ends.
LogState *g_state = nullptr;
std::atomic<bool> g_initialised{false};
std::atomic<bool> g_shutDown{false};
std::atomic<int> g_avLogLevel{24};

void consoleLine(const QByteArray &line) {
    if (g_state && g_state->capture.active()) {
        g_state->capture.writeConsole(line.constData(), size_t(line.size()));
        g_state->capture.writeConsole("\n", 1);
    } else {
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    const QByteArray line = qFormatLogMessage(type, context, message).toUtf8();
    enqueueLine(line);
    if (g_state->capture.active())
        consoleLine(line);
    else if (g_state->previousHandler)
        g_state->previousHandler(type, context, message);
    if (type == QtFatalMsg) {
        shutdownLogging();
        std::fflush(stderr);
        std::abort();
    }
}

void avLogCallback(void *avcl, int level, const char *fmt, va_list vl) {
    // The bits above the level byte carry a colour, not a severity.
    if ((level & 0xff) > g_avLogLevel.load(std::memory_order_relaxed))
        return;
    char buf[4096];
    int printPrefix = 1;
    av_log_format_line(avcl, level, fmt, vl, buf, sizeof buf, &printPrefix);
    size_t n = strnlen(buf, sizeof buf - 1);
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r'))
        --n;
    if (n == 0)
        return;
    const QByteArray line(buf, qsizetype(n));
    enqueueLine(line);
    consoleLine(line);
}

void onAbortSignal(int) {
    emergencyFlush();
    std::signal(SIGABRT, SIG_DFL);
    std::raise(SIGABRT);
}

void shutdownAtExit() {
    shutdownLogging();
}

QString stateFolder() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/quorvi");
}

// Beside the executable, or in the user's state folder when that cannot be written (an
// installed program). Returns the first candidate when neither works.
QString openLogFile(LogWriter &writer) {
    const QString name =
        QStringLiteral("quorvi_%1.log")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_HHmmss")));
    const QString first = QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
    if (writer.open(first))
        return first;
    const QString folder = stateFolder();
    if (QDir().mkpath(folder) && writer.open(folder + QLatin1Char('/') + name))
        return writer.path();
    const QByteArray msg =
        "quorvi: could not open log file " + first.toLocal8Bit() + ", stderr only\n";
    std::fwrite(msg.constData(), 1, size_t(msg.size()), stderr);
    std::fflush(stderr);
    return first;
}

} // namespace

void initLogging() {
    if (!QCoreApplication::instance() || g_initialised.load())
        return;
    g_state = new LogState(LogSettings::fromEnvironment(QProcessEnvironment::systemEnvironment()));
    const QString path = openLogFile(g_state->writer);
    g_state->writer.start();
    if (g_state->capture.start([](QByteArray line) { enqueueLine(std::move(line)); }))
        g_state->writer.setConsoleFd(g_state->capture.consoleFd());
    g_avLogLevel.store(g_state->settings.avLogLevel);
    installAvLogRouting();
    // Know the previous handler before ours can run on another thread.
    g_state->previousHandler = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(messageHandler);
    g_initialised.store(true);

    struct sigaction sa {};
    sa.sa_handler = onAbortSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGABRT, &sa, nullptr);
    std::atexit(shutdownAtExit);

    qInfo("quorvi log file: %s", qUtf8Printable(path));
}

void installAvLogRouting() {
    av_log_set_callback(avLogCallback);
    av_log_set_level(g_avLogLevel.load());
}

void enqueueLine(QByteArray line) {
    if (g_state && g_state->writer.enqueueLine(line))
        return;
    // No writer (yet or any more): the console is all there is.
    line.append('\n');
    writeToFd(STDERR_FILENO, line.constData(), size_t(line.size()));
}

void shutdownLogging() {
    bool expected = false;
    if (!g_initialised.load() || !g_shutDown.compare_exchange_strong(expected, true))
        return;
    // Hand FFmpeg and Qt back to their default output first: until the reader stops, that
    // output still reaches the log through the standard-error pipe, so nothing is lost. The
    // writer stops last so that it drains everything, the reader's last partial line included.
    av_log_set_callback(av_log_default_callback);
    qInstallMessageHandler(g_state->previousHandler);
    g_state->capture.stop();
    g_state->writer.setConsoleFd(STDERR_FILENO);
    g_state->writer.stop();
}

void emergencyFlush() {
    if (g_state)
        g_state->writer.emergencyFlush();
    std::fflush(stderr);
}

QString logFilePath() {
    return g_initialised.load() && g_state->writer.hasFile() ? g_state->writer.path() : QString();
}

int avLogLevel() {
    return g_avLogLevel.load();
}
