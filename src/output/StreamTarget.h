#pragma once

#include <QString>

// One network output of the program: the address and the FFmpeg muxer that writes to it
// ("flv" for RTMP, "mpegts" for UDP and HTTP; empty lets FFmpeg choose from the address).
struct StreamTarget {
    QString url;
    QString format;

    bool operator==(const StreamTarget &) const = default;
};
