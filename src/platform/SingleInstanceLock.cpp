#include "platform/SingleInstanceLock.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

SingleInstanceLock::SingleInstanceLock(QObject *parent) : QObject(parent) {}

SingleInstanceLock::~SingleInstanceLock() = default;

QString SingleInstanceLock::serverName() {
    const QString key = QString::fromLatin1(kKey);
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return runtime + QLatin1Char('/') + key;
    return QDir::tempPath() + QLatin1Char('/') + key + QLatin1Char('_') + QString::number(getuid());
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
