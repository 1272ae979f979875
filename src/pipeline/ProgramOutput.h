#pragma once

#include "output/OutputStatus.h"
#include "pipeline/OutputPlan.h"
#include "pipeline/OutputStatusTracker.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <vector>

class EngineSession;
class ProgramTimeline;

// Starts and stops the program output from the output settings, reacts to the output failing
// on its own, keeps the status lines of the running output, and tells whether a source would
// read one of the program's own outputs. The main window and the playout command wire it to
// their settings and show its warnings; nothing here shows a window.
//
// Threads: the GUI thread only; nothing here waits (a stop returns at once and the closing run
// is followed by polling).
class ProgramOutput : public QObject {
    Q_OBJECT
public:
    static constexpr int kPollMs = 250;

    using WallClock = std::function<QDateTime()>;

    // `now` names the recording files; the local time by default.
    ProgramOutput(EngineSession &session, ProgramTimeline &timeline, QObject *parent = nullptr,
                  WallClock now = {});

    void setChinese(bool chinese);
    // Applies them to the pipeline (output file = plain path or empty, stream targets) only
    // while no output runs; stored either way for the next start and the conflict test.
    void setSettings(const OutputSettings &settings);
    const OutputSettings &settings() const { return settings_; }
    bool start(); // false = not started (a warning was raised)
    void stop();
    bool isRunning() const { return running_; }
    QString recordingFile() const { return recordingFile_; } // of the current or last run
    bool sourceConflicts(const QString &candidate, QString *message) const;
    std::vector<OutputStatusLine> statusLines() const { return tracker_.lines(chinese_); }

signals:
    void warningRaised(QString title, QString text); // the main window shows the box
    void runningChanged(bool running);               // the panel locks / unlocks
    void statusChanged();                            // new statusLines()

private:
    void applySettings();
    void onTransportFailed(const QString &reason);
    void poll();
    void warn(const char *zh, const char *en);

    EngineSession &session_;
    ProgramTimeline &timeline_;
    WallClock now_;
    OutputSettings settings_;
    OutputSettings runSettings_; // what the current run was started with
    QString recordingFile_;
    OutputStatusTracker tracker_;
    QTimer pollTimer_;
    bool chinese_ = true;
    bool running_ = false;
};
