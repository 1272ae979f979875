#include "ui/PanelArrangementTargets.h"

#include "ui/panels/MediaOverlayWidget.h"
#include "ui/panels/VideoInputPanel.h"
#include "ui/widgets/ImageOverlayWidget.h"
#include "ui/widgets/VideoOverlayWidget.h"

namespace {

// The clip's size when it has one; a clip without a width keeps the editor's own size.
template <typename Item> void place(Item *item, const QRectF &rect) {
    if (rect.width() > 1)
        item->setRectInScene(rect);
    else
        item->setRectInScene(QRectF(rect.topLeft(), item->rectInScene().size()));
}

} // namespace

PanelArrangementTargets::PanelArrangementTargets(const std::array<VideoInputPanel *, 4> &channels,
                                                 MediaOverlayWidget *mediaPanel)
    : mediaPanel_(mediaPanel) {
    for (size_t c = 0; c < channels.size(); ++c)
        channels_[c] = channels[c];
}

void PanelArrangementTargets::loadChannelSource(int channel, const QString &path) {
    if (channel < 0 || channel >= int(channels_.size()))
        return;
    if (VideoInputPanel *panel = channels_[size_t(channel)])
        panel->setSourceText(path);
}

int PanelArrangementTargets::addVideoOverlay(const QString &path, const QRectF &rect) {
    VideoOverlayWidget *item =
        mediaPanel_ ? mediaPanel_->addVideoOverlay(path, rect.topLeft()) : nullptr;
    if (!item)
        return 0; // the stage is full
    place(item, rect);
    item->attachToProgram();
    return item->mediaId();
}

int PanelArrangementTargets::addImageOverlay(const QString &path, const QRectF &rect,
                                             double opacity) {
    ImageOverlayWidget *item =
        mediaPanel_ ? mediaPanel_->addImageOverlay(path, rect.topLeft()) : nullptr;
    if (!item)
        return 0;
    place(item, rect);
    item->setOpacityValue(opacity);
    item->applyToProgram();
    return item->mediaId();
}

void PanelArrangementTargets::removeMediaOverlay(int handle) {
    // The stage lists only editors still on it: one the operator removed is not touched.
    if (!mediaPanel_)
        return;
    // Its remove button's signal: the stage takes it out and the program lets it go.
    if (VideoOverlayWidget *video = mediaPanel_->videoItem(handle))
        emit video->removeRequested();
    else if (ImageOverlayWidget *image = mediaPanel_->imageItem(handle))
        emit image->removeRequested();
}
