#include "core/PosixUtil.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

void setCurrentThreadName(const char *name) {
    char buf[16];
    std::strncpy(buf, name, sizeof buf - 1);
    buf[sizeof buf - 1] = '\0';
    pthread_setname_np(pthread_self(), buf);
}

bool writeToFd(int fd, const char *data, size_t size) {
    while (size > 0) {
        const ssize_t w = ::write(fd, data, size < 4096 ? size : 4096);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        data += w;
        size -= size_t(w);
    }
    return true;
}

void ensureStandardDescriptors() {
    // Ascending, so the lowest free number open() returns is the one being filled.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", O_RDWR);
}
