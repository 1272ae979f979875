#pragma once

#include <QSize>
#include <QString>

// What feeds the program picture, as the composition controller holds it and the frame
// pipeline keeps a copy of it.
struct ProgramState {
    static constexpr int kNoSource = 0;
    static constexpr int kImagePlayback = 5; // 1-4: input channels 1-4

    int programSource = kNoSource;
    QString programSourcePath; // the channel's source address; empty otherwise
    QSize outputSize{1920, 1080};
    double frameRate = 30.0;

    bool operator==(const ProgramState &) const = default;
};
