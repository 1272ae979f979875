#pragma once

#include "arrangement/ArrangementTargets.h"
#include "arrangement/ProgramArrangement.h"
#include "output/OutputStatus.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class ArrangementPlayer;
class EngineSession;
class MediaOverlayControl;
class PlayoutChannel;
class ProgramOutput;
class ProgramTimeline;

// What the playout command was asked for.
struct PlayoutOptions {
    QString schedulePath;
    QString recordPath; // empty: no recording
    QStringList streamUrls;
    int64_t durationMs = -1;   // -1: until the plan's last clip ends
    int width = 0, height = 0; // 0 x 0: the program's size
};

// Plays a schedule with no window: the engine, the program time line, the output and the
// schedule player, with four headless channels and the media overlays placed directly. It
// records and streams from the plan's start, reports each event as one line, and ends at the
// plan's end (or after the asked duration) or on stop(): the plan stops, the output stops and
// its trailers are written, then finished() tells the exit code (0 when the outputs closed
// cleanly, 1 when one of them failed).
//
// Threads: the GUI thread only.
class ArrangementPlayout : public QObject, public ArrangementTargets {
    Q_OBJECT
public:
    using LineSink = std::function<void(const QString &line)>;
    // Steady figures (rates, frame rate) in the status lines are repeated at most this often.
    static constexpr int64_t kStatusRepeatMs = 10000;

    // `out` gets the progress lines, `err` the failures; stdout and stderr by default.
    explicit ArrangementPlayout(const PlayoutOptions &options, LineSink out = {}, LineSink err = {},
                                QObject *parent = nullptr);
    ~ArrangementPlayout() override;

    // "RTMP", "UDP" or "HTTP" by the address's scheme; empty for any other.
    static QString streamProtocol(const QString &url);
    // False with the reader's or the file system's reason.
    static bool readSchedule(const QString &path, ProgramArrangement *plan, QString *error);

    // Starts the outputs, then the plan. A failed start ends the run (finished(1) follows).
    void start(const ProgramArrangement &plan);
    // The orderly end: plan, output, trailers, then finished(). Once.
    void stop();

    void loadChannelSource(int channel, const QString &path) override;
    int addVideoOverlay(const QString &path, const QRectF &rect) override;
    int addImageOverlay(const QString &path, const QRectF &rect, double opacity) override;
    void removeMediaOverlay(int handle) override;

signals:
    void finished(int exitCode);

private:
    struct PrintedLine {
        QString text;
        int64_t atMs = 0;
    };

    void say(int64_t atMs, const QString &text);
    int64_t nowMs() const;
    QString masked(QString text) const;
    QString describeScene(const QString &id, int64_t atMs) const;
    void scheduleEnd();
    void finishWith(int exitCode);
    void printStatus(bool all);
    void checkClosed();
    void noteTargets();

    PlayoutOptions options_;
    LineSink out_;
    LineSink err_;
    std::unique_ptr<EngineSession> session_;
    std::unique_ptr<ProgramTimeline> timeline_;
    std::unique_ptr<ProgramOutput> output_;
    std::unique_ptr<MediaOverlayControl> control_;
    std::unique_ptr<ArrangementPlayer> player_;
    std::array<std::unique_ptr<PlayoutChannel>, 4> channels_;
    QHash<int, bool> mediaOverlays_; // by id: true for a video
    int nextMediaId_ = 1;
    QElapsedTimer clock_; // the plan's start; also times the lines after it stopped
    QTimer endTimer_;
    int64_t endAtMs_ = -1;
    int64_t lastSaidMs_ = 0;
    std::vector<PrintedLine> printed_;
    QHash<QString, bool> delivered_; // by target: wrote anything in this run
    bool started_ = false;
    bool stopping_ = false;
    bool done_ = false;
    int exitCode_ = 0;
};
