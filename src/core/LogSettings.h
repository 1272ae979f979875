#pragma once

#include <QByteArray>
#include <QProcessEnvironment>

#include <cstdint>

// Limits of the program log, read once from the environment. A value that is missing, does
// not parse as a decimal integer or lies outside its range keeps the default.
struct LogSettings {
    int64_t maxBytes = 20971520; // QUORVI_LOG_MAX_BYTES, >= 1: rotate at this file size
    int maxFiles = 5;            // QUORVI_LOG_MAX_FILES, 1..32: current file plus rotated ones
    int queueMax = 20000;        // QUORVI_LOG_QUEUE_MAX, >= 1000: lines waiting for the writer
    int avLogLevel = 24;         // QUORVI_AV_LOG_LEVEL, any: FFmpeg messages above it are dropped

    static LogSettings fromEnvironment(const QProcessEnvironment &env);
};
