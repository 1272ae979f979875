#pragma once

#include <QImage>
#include <QObject>
#include <QSet>
#include <QSize>
#include <QStringList>

#include <cstdint>
#include <memory>

// The pictures of a slideshow, in order, loaded ahead in the background. Only the picture on the
// program and the next one are held, each scaled down to fit the program size, so a folder of
// large photos costs two pictures of memory and no decoding on the GUI thread. A step whose
// next picture is still loading happens as soon as it is ready; files that do not load are
// skipped.
//
// Threads: used on the GUI thread; pictures load on Qt's global thread pool and come back
// through a queued call. A load still running when the sequence changes or the object goes is
// dropped.
class ImageSlideshow : public QObject {
    Q_OBJECT
public:
    explicit ImageSlideshow(QObject *parent = nullptr);
    ~ImageSlideshow() override;

    // A new sequence; the first picture that loads arrives through pictureChanged().
    void start(const QStringList &paths, bool loop, QSize fit);
    // Forgets the sequence; loads in flight are dropped.
    void stop();
    // To the next picture. Without loop the step after the last picture ends the sequence, and
    // the last picture stays.
    void step();

    bool active() const { return !paths_.isEmpty(); }
    bool hasPicture() const { return index_ >= 0; }
    const QImage &picture() const { return current_; }
    int index() const { return index_; } // into the paths given; -1 before the first picture
    bool ended() const { return ended_; }

signals:
    void pictureChanged();
    void sequenceEnded(); // without loop, past the last picture
    void failed();        // not one of the files could be loaded

private:
    struct Link;
    int after(int index) const; // the next candidate, -1 at the end without loop
    void loadNext();
    void load(int index);
    void onLoaded(uint64_t generation, int index, const QImage &image);
    void advance();

    std::shared_ptr<Link> link_;
    QStringList paths_;
    bool loop_ = true;
    QSize fit_;
    uint64_t generation_ = 0;
    int index_ = -1;
    QImage current_;
    int nextIndex_ = -1;
    QImage next_;
    int loadingIndex_ = -1;
    QSet<int> unreadable_;
    bool stepWanted_ = false;
    bool ended_ = false;
};
