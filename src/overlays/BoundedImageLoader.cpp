#include "overlays/BoundedImageLoader.h"

#include <QImageReader>

QImage BoundedImageLoader::load(const QString &path, int limit, bool autoTransform) {
    if (path.isEmpty() || limit <= 0)
        return {};

    QImageReader reader(path);
    reader.setAutoTransform(autoTransform);
    if (reader.canRead()) {
        const QSize size = reader.size();
        if (size.width() >= 0 && size.height() >= 0 && qMax(size.width(), size.height()) > limit)
            reader.setScaledSize(size.scaled(limit, limit, Qt::KeepAspectRatio));
        QImage image = reader.read();
        if (!image.isNull())
            return image;
    }

    // Some files only the plain loader understands; scale those after decoding.
    QImage image;
    if (!image.load(path))
        return {};
    if (image.width() <= limit && image.height() <= limit)
        return image;
    return image.scaled(limit, limit, Qt::KeepAspectRatio, Qt::FastTransformation);
}
