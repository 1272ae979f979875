#pragma once

#include <QString>

// Stream keys are secrets: an address shown in the window or written to the log keeps its
// scheme, host and path but not the key. The last path segment, any query and any password
// become "••••": "rtmp://host/live/abc123?t=9" shows as "rtmp://host/live/••••?••••". Text without
// "://" (a local file) is returned as it is. Threads: any.
class StreamAddressMask {
public:
    static QString mask(const QString &address);
};
