#pragma once

// Media files for tests, made at test time with the ffmpeg CLI in a temporary folder, and what
// ffprobe says about a file. Each fixture is described once by its ffmpeg arguments and made on
// first use, so a test run pays only for the files it touches.

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
};

// Runs a tool and waits at most `timeoutMs`; a tool still running then is killed.
inline ToolResult runTool(const QString &program, const QStringList &args, int timeoutMs,
                          bool stdoutOnly = false) {
    QProcess p;
    if (!stdoutOnly)
        p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    ToolResult r;
    if (!p.waitForStarted(5000))
        return r;
    const bool finished = p.waitForFinished(timeoutMs);
    if (!finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    r.output = p.readAllStandardOutput();
    r.ok = finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return r;
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
    if (ok)
        info.durationS = d;
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
// One solid colour for `seconds`, then another for as long: a picture whose colour says where
// in the file it comes from.
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
        if (!recipes_.contains(name)) {
            lastError_ = "no recipe for " + name;
            return {};
        }
        const QStringList args =
            QStringList{"-hide_banner", "-loglevel", "error", "-nostdin", "-y"} +
            recipes_.value(name) + QStringList{out};
        const ToolResult r = runTool("ffmpeg", args, 120000);
        if (!r.ok || !QFileInfo(out).isFile()) {
            lastError_ = name + ": " + QString::fromUtf8(r.output).trimmed();
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
