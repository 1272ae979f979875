#pragma once

#include "arrangement/ArrangementTargets.h"

#include <QPointer>

#include <array>

class MediaOverlayWidget;
class VideoInputPanel;

// A running schedule as the operator would play it by hand: files are loaded through the
// channel panels, media overlays are editors on the overlay stage, attached or applied with
// their own buttons (so the window's wiring puts them on the program). The operator may close
// such an editor while the plan runs; it is then left alone.
//
// Threads: the GUI thread only.
class PanelArrangementTargets : public ArrangementTargets {
public:
    PanelArrangementTargets(const std::array<VideoInputPanel *, 4> &channels,
                            MediaOverlayWidget *mediaPanel);

    void loadChannelSource(int channel, const QString &path) override;
    int addVideoOverlay(const QString &path, const QRectF &rect) override;
    int addImageOverlay(const QString &path, const QRectF &rect, double opacity) override;
    void removeMediaOverlay(int handle) override;

private:
    std::array<QPointer<VideoInputPanel>, 4> channels_;
    QPointer<MediaOverlayWidget> mediaPanel_;
};
