#include "platform/SingleInstanceLock.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

SingleInstanceLock::SingleInstanceLock(QObject *parent) : QObject(parent) {}

SingleInstanceLock::~SingleInstanceLock() = default;

QString SingleInstanceLock::serverName() {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty()) {
        // In the shared temporary folder a plain name could be taken or removed by another
        // user; a folder only this user can enter cannot.
        folder = QDir::tempPath() + QStringLiteral("/quorvi-") + QString::number(getuid());
        mkdir(QFile::encodeName(folder).constData(), 0700);
    }
    return folder + QLatin1Char('/') + QString::fromLatin1(kKey);
}

SingleInstanceLock::StartGuard::StartGuard() {
    const QByteArray path = QFile::encodeName(serverName() + QStringLiteral(".lock"));
    fd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0)
        return;
    for (int waited = 0; flock(fd_, LOCK_EX | LOCK_NB) != 0; waited += 20) {
        if (waited >= 3000) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        usleep(20 * 1000);
    }
}

SingleInstanceLock::StartGuard::~StartGuard() {
    if (fd_ >= 0)
        ::close(fd_); // releases the lock
}

bool SingleInstanceLock::anotherInstanceRunning(int timeoutMs) {
    QLocalSocket probe;
    probe.connectToServer(serverName(), QIODevice::ReadWrite);
    if (!probe.waitForConnected(timeoutMs))
        return false;
    probe.close();
    return true;
}

bool SingleInstanceLock::take(QString *error) {
    const QString name = serverName();
    QLocalServer::removeServer(name);
    auto *server = new QLocalServer(this);
    if (!server->listen(name)) {
        if (error)
            *error = server->errorString();
        delete server;
        return false;
    }
    server_ = server;
    connect(server_, &QLocalServer::newConnection, this, &SingleInstanceLock::onNewConnection);
    return true;
}

void SingleInstanceLock::onNewConnection() {
    // Several connections can be pending when starts come quickly; each raises once.
    while (QLocalSocket *socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // The peer may already be gone; then no disconnected signal will come.
        if (socket->state() == QLocalSocket::UnconnectedState)
            socket->deleteLater();
        emit activationRequested();
    }
}
