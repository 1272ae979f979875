#pragma once

#include <QImage>
#include <QString>

// Decodes a still picture no larger than limit x limit pixels (larger pictures are scaled down
// while decoding where the format allows it), so a huge photo never costs its full size in
// memory.
//
// Threads: any; it touches no shared state.
class BoundedImageLoader {
public:
    // A null image for an empty path, a limit <= 0 or an unreadable file.
    static QImage load(const QString &path, int limit, bool autoTransform);
};
