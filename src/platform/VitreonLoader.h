#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

struct VitreonCapture;

// Loads the window-capture library once for the whole process. While it is not loaded every
// request tries again, so a library copied in later is picked up; once loaded it stays, and the
// entry points are published to every thread at once.
//
// Threads: any; loads are serialised by one mutex, readers of a loaded library take no lock.
class VitreonLoader {
public:
    struct Api {
        VitreonCapture *(*create)(void *window) = nullptr;
        VitreonCapture *(*createMonitor)(void *monitor) = nullptr; // optional
        void (*destroy)(VitreonCapture *capture) = nullptr;
        int (*copyBgra)(VitreonCapture *capture, uint8_t *destination, size_t capacity, int *width,
                        int *height, int64_t *timestampUs) = nullptr;
    };

    static QString libraryFileName(); // "libvitreon.so"
    // The loaded entry points, or null with the reason in `error`.
    static const Api *load(QString *error = nullptr);

    // Tests: look in this folder instead of the application's (empty: the application's).
    static void setSearchDirectoryForTests(const QString &directory);
};
