#include "core/StreamAddressMask.h"

namespace {
const QString kDots = QStringLiteral(u"••••");
}

QString StreamAddressMask::mask(const QString &address) {
    const qsizetype schemeEnd = address.indexOf(QLatin1String("://"));
    if (schemeEnd < 0)
        return address;
    // Worked on the text, not a parsed URL: an address that does not parse must not leak.
    const qsizetype authorityStart = schemeEnd + 3;
    qsizetype pathStart = address.indexOf(u'/', authorityStart);
    const qsizetype queryStart = address.indexOf(u'?', authorityStart);
    if (queryStart >= 0 && (pathStart < 0 || queryStart < pathStart))
        pathStart = -1; // "udp://host:1234?pkt_size=1316": no path
    const qsizetype authorityEnd =
        pathStart >= 0 ? pathStart : (queryStart >= 0 ? queryStart : address.size());

    QString authority = address.mid(authorityStart, authorityEnd - authorityStart);
    if (const qsizetype at = authority.lastIndexOf(u'@'); at >= 0) {
        const qsizetype colon = authority.indexOf(u':');
        if (colon >= 0 && colon < at)
            authority = authority.left(colon + 1) + kDots + authority.mid(at);
    }
    QString out = address.left(authorityStart) + authority;
    if (pathStart >= 0) {
        const qsizetype pathEnd = queryStart > pathStart ? queryStart : address.size();
        const QString path = address.mid(pathStart, pathEnd - pathStart);
        const qsizetype lastSlash = path.lastIndexOf(u'/');
        const QString segment = path.mid(lastSlash + 1);
        out += path.left(lastSlash + 1);
        if (!segment.isEmpty())
            out += kDots;
    }
    if (queryStart >= 0)
        out += u'?' + kDots;
    return out;
}
