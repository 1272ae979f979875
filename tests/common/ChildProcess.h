#pragma once

// Helpers for tests that run the program or a probe as a real child process, and read what
// it wrote.

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QThread>

#include <functional>

namespace testutil {

// Copies an executable into `dir`, so that the log it writes beside itself lands there.
inline QString copyExecutable(const QString &from, const QString &dir) {
    const QString to = dir + QLatin1Char('/') + QFileInfo(from).fileName();
    QFile::remove(to);
    if (!QFile::copy(from, to))
        return {};
    QFile::setPermissions(to, QFile::permissions(to) | QFileDevice::ExeOwner |
                                  QFileDevice::ExeGroup | QFileDevice::ExeOther);
    return to;
}

// Polls `condition` while serving the event loop; true when it held within `ms`.
inline bool waitUntil(const std::function<bool()> &condition, int ms) {
    QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return true;
}

inline QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Names of this process's threads, sorted; Qt's idling pooled workers aside.
inline QStringList threadNames() {
    QStringList names;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (const QString name =
                QString::fromUtf8(readFile(tasks.filePath(tid) + "/comm")).trimmed();
            name != QStringLiteral("Thread (pooled)"))
            names << name;
    names.sort();
    return names;
}

// The lines of a text, without their line ends.
inline QByteArrayList lines(const QByteArray &text) {
    QByteArrayList out = text.split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

// The current (not rotated) log files of the program in `dir`, oldest first.
inline QStringList logFiles(const QString &dir) {
    QStringList files =
        QDir(dir).entryList({QStringLiteral("quorvi_*.log")}, QDir::Files, QDir::Name);
    for (QString &f : files)
        f = dir + QLatin1Char('/') + f;
    return files;
}

inline QByteArray allLogs(const QString &dir) {
    QByteArray all;
    for (const QString &f : logFiles(dir))
        all += readFile(f);
    return all;
}

inline QProcessEnvironment environmentWith(const QStringList &assignments) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &a : assignments) {
        const qsizetype eq = a.indexOf(QLatin1Char('='));
        env.insert(a.left(eq), a.mid(eq + 1));
    }
    return env;
}

} // namespace testutil
