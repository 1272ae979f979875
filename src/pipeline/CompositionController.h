#pragma once

#include "core/ProgramState.h"

#include <QObject>
#include <QString>

// Holds which source feeds the program picture and announces every effective change once.
//
// Threads: the GUI thread only.
class CompositionController : public QObject {
    Q_OBJECT
public:
    explicit CompositionController(QObject *parent = nullptr);

    // 0: none, 1-4: channel 1-4 with its source address, 5: image playback.
    void setProgramSource(int source, const QString &path);
    ProgramState snapshot() const { return state_; }

signals:
    void programStateChanged();

private:
    ProgramState state_;
};
