#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>

// Maps the camera and microphone names of "dshow://capture?video=...&audio=..." addresses to
// libavdevice inputs on Linux. Names are the descriptions QMediaDevices lists.
//
// Threads: any thread after the QCoreApplication exists (QMediaDevices needs it) and before it
// is destroyed. QMediaDevices is not documented as thread-safe, and its backends keep their
// device lists up to date from the application thread's event loop, so other threads have the
// application thread read it for them. If that thread does not get to it within a few seconds
// (busy, or waiting for the caller), they get the lists it read last.
class CaptureDevices {
public:
    struct Input {
        QByteArray format;
        QByteArray url;
        bool isValid() const { return !url.isEmpty(); }
    };

    static QStringList cameraNames();
    static QStringList microphoneNames();
    // {"video4linux2", device node, normally "/dev/videoN"}; invalid when no camera has that
    // description.
    // `cancel`, when set, ends a wait for the application thread early.
    static Input camera(const QString &name, const std::atomic<bool> *cancel = nullptr);
    // {"pulse", source id} when libavdevice has the "pulse" input, else {"alsa", id}; invalid
    // when no microphone has that description.
    static Input microphone(const QString &name, const std::atomic<bool> *cancel = nullptr);
};
