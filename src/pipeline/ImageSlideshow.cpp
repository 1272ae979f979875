#include "pipeline/ImageSlideshow.h"

#include "overlays/BoundedImageLoader.h"

#include <QThreadPool>

#include <algorithm>
#include <mutex>

// Lets a finished load find the slideshow, or find it gone.
struct ImageSlideshow::Link {
    std::mutex mutex;
    ImageSlideshow *owner = nullptr; // guarded by mutex
};

ImageSlideshow::ImageSlideshow(QObject *parent) : QObject(parent), link_(std::make_shared<Link>()) {
    link_->owner = this;
}

ImageSlideshow::~ImageSlideshow() {
    std::lock_guard lock(link_->mutex);
    link_->owner = nullptr;
}

void ImageSlideshow::start(const QStringList &paths, bool loop, QSize fit) {
    stop();
    paths_ = paths;
    loop_ = loop;
    fit_ = fit.isValid() && !fit.isEmpty() ? fit : QSize(1920, 1080);
    if (!paths_.isEmpty())
        load(0);
}

void ImageSlideshow::stop() {
    ++generation_;
    paths_.clear();
    index_ = nextIndex_ = loadingIndex_ = -1;
    current_ = next_ = QImage();
    unreadable_.clear();
    stepWanted_ = ended_ = false;
}

void ImageSlideshow::step() {
    if (!hasPicture() || ended_)
        return;
    if (nextIndex_ >= 0) {
        advance();
    } else if (loadingIndex_ >= 0) {
        stepWanted_ = true;
    } else {
        ended_ = true;
        emit sequenceEnded();
    }
}

int ImageSlideshow::after(int index) const {
    const int n = int(paths_.size());
    for (int k = 1; k <= n; ++k) {
        const int candidate = index + k;
        if (candidate >= n && !loop_)
            return -1;
        if (!unreadable_.contains(candidate % n))
            return candidate % n;
    }
    return -1;
}

void ImageSlideshow::loadNext() {
    if (loadingIndex_ >= 0 || nextIndex_ >= 0)
        return;
    const int candidate = after(index_);
    if (candidate < 0)
        return;
    if (candidate == index_) { // the only readable picture: it follows itself
        nextIndex_ = index_;
        next_ = current_;
        return;
    }
    load(candidate);
}

void ImageSlideshow::load(int index) {
    loadingIndex_ = index;
    const uint64_t generation = generation_;
    const QString path = paths_.at(index);
    const QSize fit = fit_;
    QThreadPool::globalInstance()->start([link = link_, generation, index, path, fit] {
        {
            std::lock_guard lock(link->mutex);
            if (!link->owner)
                return;
        }
        QImage image = BoundedImageLoader::load(path, std::max(fit.width(), fit.height()), true);
        // Fitted to the program once here, so feeding it is a copy, not a scaling, per frame.
        if (!image.isNull()) {
            const QSize fitted = image.size().scaled(fit, Qt::KeepAspectRatio);
            if (image.size() != fitted)
                image = image.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            image = image.convertToFormat(QImage::Format_RGBA8888);
        }
        std::lock_guard lock(link->mutex);
        if (ImageSlideshow *owner = link->owner)
            QMetaObject::invokeMethod(
                owner,
                [owner, generation, index, image] { owner->onLoaded(generation, index, image); },
                Qt::QueuedConnection);
    });
}

void ImageSlideshow::onLoaded(uint64_t generation, int index, const QImage &image) {
    if (generation != generation_ || index != loadingIndex_)
        return; // a sequence since replaced
    loadingIndex_ = -1;
    if (image.isNull()) {
        unreadable_.insert(index);
        if (index_ < 0) {
            // Nothing shown yet: the first readable file starts the show.
            if (index + 1 < paths_.size())
                load(index + 1);
            else
                emit failed();
            return;
        }
        loadNext();
        if (stepWanted_ && loadingIndex_ < 0 && nextIndex_ < 0) {
            stepWanted_ = false;
            ended_ = true;
            emit sequenceEnded();
        } else if (stepWanted_ && nextIndex_ >= 0) {
            advance();
        }
        return;
    }
    if (index_ < 0) {
        index_ = index;
        current_ = image;
        emit pictureChanged();
        loadNext();
        return;
    }
    nextIndex_ = index;
    next_ = image;
    if (stepWanted_)
        advance();
}

void ImageSlideshow::advance() {
    stepWanted_ = false;
    index_ = nextIndex_;
    current_ = next_;
    nextIndex_ = -1;
    next_ = QImage();
    emit pictureChanged();
    loadNext();
}
