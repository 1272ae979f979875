#pragma once

#include "arrangement/ArrangementPlayout.h"

#include <QString>
#include <QStringList>

// How the program was asked to run, read from its arguments before any application object
// exists: help, the version and mistakes need no display, a playout no window.
class CommandLine {
public:
    enum class Mode { Window, Play, Help, Version, UsageError };
    static constexpr int kMaxStreams = 6; // as many as the output panel has rows

    // `arguments` as in argv, the program's name first.
    static CommandLine parse(const QStringList &arguments);
    static QString helpText();
    static QString versionText();

    Mode mode = Mode::Window;
    QString error; // UsageError: what was wrong, in one line
    PlayoutOptions playout;
};
