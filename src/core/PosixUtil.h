#pragma once

#include <cstddef>

// Names the calling thread as tools (top, gdb, TSan reports) show it. At most 15 characters;
// longer names are cut.
void setCurrentThreadName(const char *name);

// Writes all bytes to a descriptor in pieces of at most 4096, retrying on EINTR. Safe in a
// signal handler. False when the descriptor refuses them.
bool writeToFd(int fd, const char *data, size_t size);

// Opens /dev/null on any of the descriptors 0, 1 and 2 that is closed. A program started with
// one of them closed would otherwise hand that number to the next descriptor it opens (Qt's
// event loop wake-up, say) and later treat it as standard error. Call first thing in main.
void ensureStandardDescriptors();
