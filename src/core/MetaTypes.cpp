#include "core/MetaTypes.h"

#include "core/FrameToken.h"
#include "core/TextOverlayData.h"

#include <QImage>
#include <QMetaType>

void registerQuorviMetaTypes() {
    qRegisterMetaType<FrameTokenPtr>("FrameTokenPtr");
    qRegisterMetaType<QImage>("QImage");
    qRegisterMetaType<TextOverlayData>("TextOverlayData");
}
