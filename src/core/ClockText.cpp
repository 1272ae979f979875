#include "core/ClockText.h"

QString ClockText::position(int64_t ms) {
    const int64_t totalSeconds = ms > 0 ? ms / 1000 : 0;
    const int64_t hours = totalSeconds / 3600;
    const auto twoDigits = [](int64_t v) { return QStringLiteral("%1").arg(v, 2, 10, QChar('0')); };
    const QString minutesSeconds =
        twoDigits(totalSeconds / 60 % 60) + QLatin1Char(':') + twoDigits(totalSeconds % 60);
    if (hours == 0)
        return minutesSeconds;
    return QString::number(hours) + QLatin1Char(':') + minutesSeconds;
}
