#include "app/CommandLine.h"
#include "arrangement/ArrangementPlayout.h"
#include "core/Logging.h"
#include "core/MetaTypes.h"
#include "core/PosixUtil.h"
#include "platform/QuitSignals.h"
#include "platform/SingleInstanceLock.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {

void print(FILE *stream, const QString &text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// Help, the version and usage mistakes: nothing to show, nothing to lock.
int runWithoutDisplay(int argc, char **argv, const CommandLine &command) {
    const QCoreApplication app(argc, argv);
    switch (command.mode) {
    case CommandLine::Mode::Help:
        print(stdout, CommandLine::helpText());
        return 0;
    case CommandLine::Mode::Version:
        print(stdout, CommandLine::versionText());
        return 0;
    default:
        print(stderr, QStringLiteral("quorvi: %1\nTry 'quorvi --help' for more information.\n")
                          .arg(command.error));
        return 2;
    }
}

// A schedule played unattended. It takes no single-instance lock: a window running beside it
// must not turn it into a silent exit.
int runPlayout(int argc, char **argv, const PlayoutOptions &options) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    auto app = std::make_unique<QGuiApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quorvi"));
    initLogging();

    int result = 1;
    ProgramArrangement plan;
    QString error;
    if (!ArrangementPlayout::readSchedule(options.schedulePath, &plan, &error)) {
        // Through the log as well, before its closing line.
        qCritical("quorvi: cannot read the schedule %s: %s", qUtf8Printable(options.schedulePath),
                  qUtf8Printable(error));
    } else {
        installAvLogRouting();
        auto playout = std::make_unique<ArrangementPlayout>(options);
        QObject::connect(playout.get(), &ArrangementPlayout::finished, app.get(),
                         [](int code) { QCoreApplication::exit(code); });
        // Ctrl+C or a service manager's stop: the plan, then the output and its trailers.
        auto quitSignals = std::make_unique<QuitSignals>();
        QObject::connect(quitSignals.get(), &QuitSignals::quitRequested, playout.get(),
                         [p = playout.get()] { p->stop(); });
        QMetaObject::invokeMethod(
            playout.get(), [p = playout.get(), &plan] { p->start(plan); }, Qt::QueuedConnection);
        result = QCoreApplication::exec();
        playout.reset();
        quitSignals.reset();
    }
    qInfo("quorvi: exiting with code %d", result);
    shutdownLogging();
    app.reset();
    return result;
}

int runWindow(int argc, char **argv) {
    auto app = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quorvi"));

    const QPixmap logo(QStringLiteral(":/resources/images/logo.png"));
    if (!logo.isNull())
        QGuiApplication::setWindowIcon(QIcon(logo));

    initLogging();

    // A logout or Ctrl+C quits in order, so a running recording is finished, not cut.
    auto quitSignals = std::make_unique<QuitSignals>();
    QObject::connect(quitSignals.get(), &QuitSignals::quitRequested, app.get(), [] {
        emergencyFlush();
        QCoreApplication::quit();
    });

    auto lock = std::make_unique<SingleInstanceLock>();
    {
        const SingleInstanceLock::StartGuard oneStartAtATime;
        if (SingleInstanceLock::anotherInstanceRunning()) {
            qInfo("quorvi: another instance is running; asked it to come to the front");
            return 0;
        }
        QString error;
        if (!lock->take(&error)) {
            qCritical("Single-instance lock listen failed: %s", qUtf8Printable(error));
            return 1;
        }
    }

    auto window = std::make_unique<MainWindow>();
    QObject::connect(lock.get(), &SingleInstanceLock::activationRequested, window.get(), [&] {
        qInfo("quorvi: another start asked for the window; raising it");
        window->bringToFront();
    });
    window->show();

    installAvLogRouting();

    const int result = QApplication::exec();

    // The window first: it stops the output and joins the worker threads. The log is shut down
    // last so that it keeps what they say on the way out.
    window.reset();
    lock.reset();
    quitSignals.reset();
    qInfo("quorvi: exiting with code %d", result);
    shutdownLogging();
    app.reset();
    return result;
}

} // namespace

int main(int argc, char **argv) {
    ensureStandardDescriptors();
    // A closed console or a dropped network peer must not end the program: writes report it.
    std::signal(SIGPIPE, SIG_IGN);

    // The mode decides which application object is made, so it is read first.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine command = CommandLine::parse(arguments);
    switch (command.mode) {
    case CommandLine::Mode::Window:
        registerQuorviMetaTypes();
        return runWindow(argc, argv);
    case CommandLine::Mode::Play:
        registerQuorviMetaTypes();
        return runPlayout(argc, argv, command.playout);
    default:
        return runWithoutDisplay(argc, argv, command);
    }
}
