#pragma once

// Media files made with the ffmpeg CLI on first use (a run pays only for the files it touches),
// and what ffprobe says about a file.

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace media {

struct ToolResult {
    bool ok = false;   // started, finished in time and exited with 0
    QByteArray output; // stdout, and stderr too unless `stdoutOnly`
    QByteArray errors; // stderr with `stdoutOnly`, and why the tool did not finish
};

// Runs a tool and waits at most `timeoutMs`; a tool still running then is killed.
inline ToolResult runTool(const QString &program, const QStringList &args, int timeoutMs,
                          bool stdoutOnly = false) {
    QProcess p;
    if (!stdoutOnly)
        p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    const bool finished = p.waitForStarted(5000) && p.waitForFinished(timeoutMs);
    if (!finished)
        p.kill(), p.waitForFinished(5000);
    return {finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0,
            p.readAllStandardOutput(),
            (finished ? "" : program.toUtf8() + " did not finish; ") +
                (stdoutOnly ? p.readAllStandardError() : QByteArray())};
}

inline bool haveTool(const QString &program) {
    return !QStandardPaths::findExecutable(program).isEmpty();
}

// ffprobe's JSON answer; empty when it failed.
inline QJsonObject ffprobe(const QStringList &args) {
    const ToolResult r =
        runTool("ffprobe", QStringList{"-v", "error", "-of", "json"} + args, 120000, true);
    return QJsonDocument::fromJson(r.output).object();
}

// What ffprobe says about a file; durationS is negative when unknown.
struct ProbeInfo {
    double durationS = -1;
    QStringList codecs; // "video:h264", "audio:aac", ... in stream order
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    int channels = 0;
};

inline ProbeInfo probe(const QString &path) {
    ProbeInfo info;
    const QJsonObject root = ffprobe({"-show_format", "-show_streams", path});
    bool ok = false;
    const double d = root.value("format").toObject().value("duration").toString().toDouble(&ok);
    info.durationS = ok ? d : -1;
    for (const QJsonValue &v : root.value("streams").toArray()) {
        const QJsonObject s = v.toObject();
        const QString type = s.value("codec_type").toString();
        info.codecs << type + ':' + s.value("codec_name").toString();
        if (type == "video" && info.width == 0) {
            info.width = s.value("width").toInt();
            info.height = s.value("height").toInt();
        } else if (type == "audio" && info.sampleRate == 0) {
            info.sampleRate = s.value("sample_rate").toString().toInt();
            info.channels = s.value("channels").toInt();
        }
    }
    return info;
}

// lavfi inputs for ffmpeg argument lists.
inline QStringList lavfi(const QString &graph) {
    return {"-f", "lavfi", "-i", graph};
}
inline QStringList testPatternInput(int width, int height, int fps) {
    return lavfi(QStringLiteral("testsrc2=size=%1x%2:rate=%3").arg(width).arg(height).arg(fps));
}
inline QStringList sineInput(int frequency, int sampleRate) {
    return lavfi(QStringLiteral("sine=frequency=%1:sample_rate=%2").arg(frequency).arg(sampleRate));
}
// One solid colour for `seconds`, then another for as long.
inline QStringList twoColourInput(const QString &first, const QString &second, int width,
                                  int height, int fps, double seconds) {
    const auto colour = [&](const QString &c) {
        return QStringLiteral("color=c=%1:s=%2x%3:r=%4:d=%5")
            .arg(c)
            .arg(width)
            .arg(height)
            .arg(fps)
            .arg(seconds);
    };
    return lavfi(colour(first) + "[a];" + colour(second) + "[b];[a][b]concat=n=2:v=1:a=0");
}

// Named fixtures in one temporary folder, each made once.
class FixtureSet {
public:
    bool isValid() const { return dir_.isValid(); }
    QString dir() const { return dir_.path(); }
    QString lastError() const { return lastError_; }

    // `args` are the ffmpeg arguments without the output path, which comes last.
    void define(const QString &name, const QStringList &args) { recipes_.insert(name, args); }

    // The fixture's path, made on first use; empty when ffmpeg failed (see lastError()).
    QString path(const QString &name) {
        const QString out = dir_.filePath(name);
        if (made_.contains(name))
            return out;
        const ToolResult r =
            runTool("ffmpeg",
                    QStringList{"-hide_banner", "-loglevel", "error", "-nostdin", "-y"} +
                        recipes_.value(name) + QStringList{out},
                    120000);
        if (!recipes_.contains(name) || !r.ok || !QFileInfo(out).isFile()) {
            lastError_ = name + ": " + QString::fromUtf8(r.output + r.errors).trimmed();
            return {};
        }
        made_.insert(name);
        return out;
    }

    // A fixture made of given bytes instead of by ffmpeg.
    QString write(const QString &name, const QByteArray &bytes) {
        const QString out = dir_.filePath(name);
        QFile f(out);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return {};
        made_.insert(name);
        return out;
    }

private:
    QTemporaryDir dir_;
    QHash<QString, QStringList> recipes_;
    QSet<QString> made_;
    QString lastError_;
};

} // namespace media
