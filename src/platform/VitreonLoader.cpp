#include "platform/VitreonLoader.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibrary>
#include <QStringList>

#include <atomic>
#include <mutex>

namespace {

std::mutex loadMutex;
std::atomic<const VitreonLoader::Api *> published{nullptr};
QString lastError;       // guarded by loadMutex
QString searchDirectory; // guarded by loadMutex
// Never unloaded: capture loops on other threads may hold its functions.
QLibrary *loadedLibrary = nullptr; // guarded by loadMutex

} // namespace

QString VitreonLoader::libraryFileName() {
    return QStringLiteral("libvitreon.so");
}

void VitreonLoader::setSearchDirectoryForTests(const QString &directory) {
    std::lock_guard lock(loadMutex);
    searchDirectory = directory;
}

const VitreonLoader::Api *VitreonLoader::load(QString *error) {
    if (const Api *api = published.load(std::memory_order_acquire))
        return api;
    std::lock_guard lock(loadMutex);
    if (const Api *api = published.load(std::memory_order_acquire))
        return api;

    const QString name = libraryFileName();
    const QString dir = searchDirectory.isEmpty() && QCoreApplication::instance()
                            ? QCoreApplication::applicationDirPath()
                            : searchDirectory;
    const QStringList candidates{dir + QLatin1Char('/') + name, dir + QStringLiteral("/../") + name,
                                 name};
    bool anyExisted = false;
    for (const QString &path : candidates) {
        if (!QFileInfo::exists(path))
            continue;
        anyExisted = true;
        auto *candidate = new QLibrary(path);
        if (!candidate->load()) {
            lastError = candidate->errorString();
            delete candidate;
            continue;
        }
        auto *api = new Api;
        api->create =
            reinterpret_cast<decltype(api->create)>(candidate->resolve("wgc_capture_create"));
        api->createMonitor = reinterpret_cast<decltype(api->createMonitor)>(
            candidate->resolve("wgc_capture_create_monitor"));
        api->destroy =
            reinterpret_cast<decltype(api->destroy)>(candidate->resolve("wgc_capture_destroy"));
        api->copyBgra =
            reinterpret_cast<decltype(api->copyBgra)>(candidate->resolve("wgc_capture_copy_bgra"));
        if (!api->create || !api->destroy || !api->copyBgra) {
            lastError = name + QStringLiteral(" 导出符号不完整");
            delete api;
            candidate->unload();
            delete candidate;
            break;
        }
        loadedLibrary = candidate;
        lastError.clear();
        published.store(api, std::memory_order_release);
        return api;
    }
    if (!anyExisted)
        lastError =
            QStringLiteral("未找到 %1（请按 vitreon/README.md 编译后放到程序目录）").arg(name);
    if (error)
        *error = lastError;
    return nullptr;
}
