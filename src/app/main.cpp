#include "core/Logging.h"
#include "core/MetaTypes.h"
#include "core/PosixUtil.h"
#include "platform/QuitSignals.h"
#include "platform/SingleInstanceLock.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>

#include <csignal>
#include <memory>

int main(int argc, char **argv) {
    ensureStandardDescriptors();
    // A closed console or a dropped network peer must not end the program: writes report it.
    std::signal(SIGPIPE, SIG_IGN);

    registerQuorviMetaTypes();

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
