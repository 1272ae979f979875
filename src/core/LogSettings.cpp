#include "core/LogSettings.h"

#include <limits>
#include <optional>

namespace {

std::optional<int64_t> decimal(const QProcessEnvironment &env, const char *name) {
    const QString name16 = QString::fromLatin1(name);
    if (!env.contains(name16))
        return std::nullopt;
    bool ok = false;
    const qlonglong v = env.value(name16).trimmed().toLongLong(&ok, 10);
    if (!ok)
        return std::nullopt;
    return int64_t(v);
}

template <class T> void take(T &field, std::optional<int64_t> v, int64_t lo, int64_t hi) {
    if (v && *v >= lo && *v <= hi)
        field = T(*v);
}

} // namespace

LogSettings LogSettings::fromEnvironment(const QProcessEnvironment &env) {
    constexpr int64_t intMax = std::numeric_limits<int>::max();
    constexpr int64_t intMin = std::numeric_limits<int>::min();
    LogSettings s;
    take(s.maxBytes, decimal(env, "QUORVI_LOG_MAX_BYTES"), 1, std::numeric_limits<int64_t>::max());
    take(s.maxFiles, decimal(env, "QUORVI_LOG_MAX_FILES"), 1, 32);
    take(s.queueMax, decimal(env, "QUORVI_LOG_QUEUE_MAX"), 1000, intMax);
    take(s.avLogLevel, decimal(env, "QUORVI_AV_LOG_LEVEL"), intMin, intMax);
    return s;
}
