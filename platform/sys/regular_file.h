#pragma once
// The one way the platform opens a file it reads whole (the panel file, the tone files).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

// A read-only, close-on-exec descriptor of `path`, or -1 when it does not open or is not a
// regular file: opening a FIFO would wait for a writer for ever, and a device could give
// bytes without end. O_NONBLOCK keeps the open itself from waiting. How much is read is
// the caller's to bound.
inline int OpenRegularFile(const char *path)
{
    const int fd = path ? ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace velmora
