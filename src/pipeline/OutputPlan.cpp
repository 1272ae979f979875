#include "pipeline/OutputPlan.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace {

const char *const kTimeFormat = "yyyyMMdd_HHmmss";

QString baseDir(const QString &workingDir) {
    return workingDir.isEmpty() ? QDir::currentPath() : workingDir;
}

bool isCaptureAddress(const QString &address) {
    for (const char *scheme : {"dshow://", "desktop://", "wgc://"})
        if (address.startsWith(QLatin1String(scheme), Qt::CaseInsensitive))
            return true;
    return false;
}

// A relative path is a file in the working folder, never a host name.
QUrl parseAddress(const QString &address, const QString &workingDir) {
    if (isCaptureAddress(address))
        return QUrl(address, QUrl::TolerantMode);
    return QUrl::fromUserInput(address, baseDir(workingDir), QUrl::AssumeLocalFile);
}

// Paths are case-sensitive here; links are resolved so that two names of one file match.
QString fileForm(const QString &localPath) {
    const QFileInfo info(localPath);
    if (info.exists())
        return info.canonicalFilePath();
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (!folder.isEmpty())
        return QDir(folder).filePath(info.fileName());
    return QDir::cleanPath(info.absoluteFilePath());
}

QString urlForm(const QUrl &url) {
    return url.toString(QUrl::RemovePassword | QUrl::RemoveFragment | QUrl::FullyEncoded).toLower();
}

struct Address {
    bool valid = false;
    bool local = false;
    QString form;
};

Address normalise(const QString &text, const QString &workingDir) {
    const QUrl url = parseAddress(text, workingDir);
    if (!url.isValid())
        return {};
    if (url.isLocalFile())
        return {true, true, fileForm(url.toLocalFile())};
    return {true, false, urlForm(url)};
}

bool sameTarget(const Address &candidate, const Address &target) {
    if (!candidate.valid || !target.valid || candidate.local != target.local)
        return false;
    return candidate.form == target.form;
}

QString conflictText(int which, bool chinese) {
    static const char *const kChinese[] = {
        "输入源不能与当前录制的输出文件相同。",
        "输入源不能与当前录制的输出地址相同。",
        "输入源不能与已勾选的推流地址（文件目标）相同。",
        "输入源不能与已勾选的推流地址相同。",
    };
    static const char *const kEnglish[] = {
        "The input source cannot be the same as the output file being recorded.",
        "The input source cannot be the same as the output address being recorded.",
        "The input source cannot be the same as a ticked stream address (file target).",
        "The input source cannot be the same as a ticked stream address.",
    };
    return QString::fromUtf8(chinese ? kChinese[which] : kEnglish[which]);
}

bool conflict(int which, bool chinese, QString *message) {
    if (message)
        *message = conflictText(which, chinese);
    return true;
}

} // namespace

std::vector<StreamTarget> OutputPlan::streamTargets(const OutputSettings &s) {
    std::vector<StreamTarget> targets;
    for (const OutputSettings::StreamRow &row : s.rows) {
        const QString url = row.url.trimmed();
        if (!row.enabled || url.isEmpty())
            continue;
        const bool rtmp = row.protocol.compare(QLatin1String("RTMP"), Qt::CaseInsensitive) == 0;
        targets.push_back({url, rtmp ? QStringLiteral("flv") : QStringLiteral("mpegts")});
    }
    return targets;
}

QString OutputPlan::recordingFile(const OutputSettings &s, const QDateTime &now,
                                  const QString &workingDir, const Exists &exists) {
    const QString path = s.filePath.trimmed();
    if (!s.fileEnabled || path.isEmpty())
        return {};
    const QFileInfo info(QDir(baseDir(workingDir)), path);
    const QDir dir(info.absolutePath());
    const QString time = now.toString(QLatin1String(kTimeFormat));
    const QString base = info.completeBaseName();
    // No container can be chosen without a suffix, so a bare name records MP4.
    const QString suffix = info.suffix().isEmpty() ? QStringLiteral("mp4") : info.suffix();
    if (s.exactFileName)
        return info.suffix().isEmpty() ? info.absoluteFilePath() + u'.' + suffix
                                       : info.absoluteFilePath();
    const QString stem = base.isEmpty() ? QStringLiteral("output_") + time : base + u'_' + time;

    const Exists taken =
        exists ? exists : [](const QString &file) { return QFileInfo::exists(file); };
    QString file = dir.filePath(stem + u'.' + suffix);
    for (int n = 2; taken(file); ++n)
        file = dir.filePath(stem + u'_' + QString::number(n) + u'.' + suffix);
    return file;
}

bool OutputPlan::sourceConflicts(const QString &candidate, const OutputSettings &s,
                                 const QString &recordingFile, const QString &workingDir,
                                 bool chinese, QString *message) {
    const QString text = candidate.trimmed();
    if (text.isEmpty())
        return false;
    const Address source = normalise(text, workingDir);
    if (!source.valid)
        return false;

    // A camera or a display never is a file.
    if (!isCaptureAddress(text)) {
        const QString filePath = s.filePath.trimmed();
        if (s.fileEnabled && !filePath.isEmpty()) {
            const Address target = normalise(filePath, workingDir);
            if (sameTarget(source, target))
                return conflict(target.local ? 0 : 1, chinese, message);
        }
        if (!recordingFile.isEmpty() &&
            sameTarget(
                source,
                {true, true, fileForm(QDir(baseDir(workingDir)).absoluteFilePath(recordingFile))}))
            return conflict(0, chinese, message);
    }

    for (const OutputSettings::StreamRow &row : s.rows) {
        const QString url = row.url.trimmed();
        if (!row.enabled || url.isEmpty())
            continue;
        const Address target = normalise(url, workingDir);
        if (sameTarget(source, target))
            return conflict(target.local ? 2 : 3, chinese, message);
    }
    return false;
}
