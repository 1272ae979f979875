#include "platform/CaptureDevices.h"

#include <atomic>

#include <QAudioDevice>
#include <QCameraDevice>
#include <QCoreApplication>
#include <QList>
#include <QMediaDevices>
#include <QSemaphore>
#include <QThread>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
}

#include <memory>
#include <mutex>

namespace {

struct Device {
    QString name;
    QByteArray id;
};

struct DeviceLists {
    QList<Device> cameras;
    QList<Device> microphones;
};

// Long enough for a backend's first enumeration, short enough that a caller the application
// thread is waiting for does not hold it up for long.
constexpr int kAppThreadWaitMs = 3000;

std::mutex g_listsMutex;
DeviceLists g_lastLists;

// Application thread only.
DeviceLists readMediaDevices() {
    DeviceLists lists;
    for (const QCameraDevice &camera : QMediaDevices::videoInputs())
        lists.cameras.append({camera.description(), camera.id()});
    for (const QAudioDevice &microphone : QMediaDevices::audioInputs())
        lists.microphones.append({microphone.description(), microphone.id()});
    std::lock_guard lock(g_listsMutex);
    g_lastLists = lists;
    return lists;
}

DeviceLists currentLists(const std::atomic<bool> *cancel = nullptr) {
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return {};
    if (QThread::currentThread() == app->thread())
        return readMediaDevices();

    // Shared: the read may still run after a timed-out caller has returned.
    auto done = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(
        app,
        [done] {
            readMediaDevices();
            done->release();
        },
        Qt::QueuedConnection);
    // In slices, so that a stop of the asking worker is not held up by a busy application
    // thread (which may itself be waiting for that worker).
    for (int waited = 0; waited < kAppThreadWaitMs && !(cancel && cancel->load()); waited += 20) {
        if (done->tryAcquire(1, 20))
            break;
    }
    std::lock_guard lock(g_listsMutex);
    return g_lastLists;
}

QStringList namesOf(const QList<Device> &devices) {
    QStringList names;
    for (const Device &device : devices)
        names.append(device.name);
    return names;
}

// Addresses carry trimmed names.
QByteArray idOf(const QList<Device> &devices, const QString &name) {
    const QString wanted = name.trimmed();
    if (wanted.isEmpty())
        return {};
    for (const Device &device : devices) {
        if (device.name.trimmed() == wanted)
            return device.id;
    }
    return {};
}

QByteArray microphoneFormat() {
    static std::once_flag registered;
    std::call_once(registered, [] { avdevice_register_all(); });
    return av_find_input_format("pulse") ? QByteArrayLiteral("pulse") : QByteArrayLiteral("alsa");
}

} // namespace

QStringList CaptureDevices::cameraNames() {
    return namesOf(currentLists().cameras);
}

QStringList CaptureDevices::microphoneNames() {
    return namesOf(currentLists().microphones);
}

CaptureDevices::Input CaptureDevices::camera(const QString &name, const std::atomic<bool> *cancel) {
    const QByteArray id = idOf(currentLists(cancel).cameras, name);
    if (id.isEmpty())
        return {};
    return {QByteArrayLiteral("video4linux2"), id};
}

CaptureDevices::Input CaptureDevices::microphone(const QString &name,
                                                 const std::atomic<bool> *cancel) {
    const QByteArray id = idOf(currentLists(cancel).microphones, name);
    if (id.isEmpty())
        return {};
    return {microphoneFormat(), id};
}
