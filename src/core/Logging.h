#pragma once

#include <QByteArray>
#include <QString>

// The program log: Qt messages, FFmpeg's messages and whatever is written to standard error
// end up line by line in one file (quorvi_<yyyyMMdd_HHmmss>.log beside the executable, or in
// the user's state folder when that is not writable) and on the console.
//
// Threads: initLogging() and shutdownLogging() on the main thread (shutdownLogging also runs
// from atexit and before a fatal abort). enqueueLine(), emergencyFlush() and the installed
// handlers from any thread.

// Reads the QUORVI_LOG_* and QUORVI_AV_LOG_LEVEL variables, opens the file, starts the writer
// and the standard-error reader and installs the Qt and FFmpeg handlers. Does nothing without
// a QCoreApplication or when already done.
void initLogging();
// Routes FFmpeg's log into the program log at the configured level. Encoders call it again
// before they open, since libraries they load may have replaced the callback.
void installAvLogRouting();
// Queues one line (trailing CR/LF removed, empty lines ignored). Never waits for the disk;
// under overload the oldest queued lines are dropped.
void enqueueLine(QByteArray line);
// Drains the queue into the file and restores standard error and the default handlers. Once.
void shutdownLogging();
// Writes whatever is queued without blocking on the queue; for crash paths.
void emergencyFlush();

// The open log file; empty before initLogging() or when only the console is logged to.
QString logFilePath();
int avLogLevel();
