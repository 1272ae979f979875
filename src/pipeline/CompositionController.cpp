#include "pipeline/CompositionController.h"

CompositionController::CompositionController(QObject *parent) : QObject(parent) {}

void CompositionController::setProgramSource(int source, const QString &path) {
    if (source == state_.programSource && path == state_.programSourcePath)
        return;
    state_.programSource = source;
    state_.programSourcePath = path;
    emit programStateChanged();
}
