#pragma once

// Small helpers the scripted real-time benchmarks share: CPU and load readings, environment
// knobs and order statistics.

#include <QByteArray>
#include <QString>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace benchutil {

// CPU seconds of this process (all its threads) or of its waited-for children.
inline double cpuSeconds(int who = RUSAGE_SELF) {
    rusage ru{};
    getrusage(who, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

inline QString loadText() {
    double l[3] = {0, 0, 0};
    if (getloadavg(l, 3) != 3)
        return QStringLiteral("?");
    return QStringLiteral("%1 %2 %3")
        .arg(l[0], 0, 'f', 2)
        .arg(l[1], 0, 'f', 2)
        .arg(l[2], 0, 'f', 2);
}

// A positive integer from the environment, else `fallback`.
inline int envInt(const char *name, int fallback) {
    const QByteArray v = qgetenv(name);
    bool ok = false;
    const int n = v.toInt(&ok);
    return ok && n > 0 ? n : fallback;
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0.0 : n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// The p-quantile (0 < p <= 1) of an ascending list, nearest rank.
inline double percentile(const std::vector<double> &sorted, double p) {
    if (sorted.empty())
        return 0.0;
    const size_t i = std::min(sorted.size() - 1, size_t(std::ceil(p * double(sorted.size()))) - 1);
    return sorted[i];
}

} // namespace benchutil
