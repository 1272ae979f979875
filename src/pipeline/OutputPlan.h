#pragma once

#include "output/StreamTarget.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <vector>

// The values of the output settings panel.
struct OutputSettings {
    bool fileEnabled = false; // file box ticked and trimmed path not empty
    QString filePath;         // as typed
    struct StreamRow {
        bool enabled = false; // ticked and trimmed url not empty
        QString url;
        QString protocol; // "RTMP", "HTTP" or "UDP"
    };
    std::vector<StreamRow> rows;
    int width = 0, height = 0; // 0 x 0 = same as program
    // Record to exactly this name (the playout command) instead of a new time-stamped one.
    bool exactFileName = false;
};

// Turns the output settings into what the pipeline is given at a start, and keeps a channel
// from reading one of the program's own outputs. Pure functions; threads: any.
class OutputPlan {
public:
    using Exists = std::function<bool(const QString &path)>;

    // Ticked rows with an address, in row order: "flv" for RTMP, "mpegts" otherwise.
    static std::vector<StreamTarget> streamTargets(const OutputSettings &s);

    // The time-stamped recording file of one start: every start writes a new file, and two
    // starts in the same second do not overwrite each other (`exists` defaults to the file
    // system). With `exactFileName` the path itself, replaced if it exists. Either way a name
    // without suffix gets ".mp4". Empty when the file target is off. A relative path is
    // relative to workingDir.
    static QString recordingFile(const OutputSettings &s, const QDateTime &now,
                                 const QString &workingDir, const Exists &exists = {});

    // True when `candidate` (a source address as typed or chosen) is one of the program's
    // own outputs; fills *message (interface language) when given. `recordingFile` is the
    // time-stamped file being written, empty when none.
    static bool sourceConflicts(const QString &candidate, const OutputSettings &s,
                                const QString &recordingFile, const QString &workingDir,
                                bool chinese, QString *message);
};
