// The file calls of POSIX as both Linux and Windows spell them.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

// Images are bytes: no text-mode translation on Windows. And no descriptor is handed on to a
// program started meanwhile where the system can say so.
#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
// Windows' C runtime cannot be told not to follow a link when it opens a file; there a reparse
// point at the output's name is refused by looking at it first (system_windows.cpp, lookat).
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif

// Reads until `size` bytes are in or the input ends: the count read, or -1 if a read fails.
inline long readall(int fd, uint8_t *to, size_t size) {
    size_t got = 0;
    while (got < size) {
        auto n = read(fd, to + got, static_cast<unsigned>(size - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<long>(got);
}

// Writes until all is out or a write fails: the count that went out, with errno saying why it
// stopped short.
inline size_t writeall(int fd, const uint8_t *data, size_t size) {
    size_t done = 0;
    while (done < size) {
        auto put = write(fd, data + done, static_cast<unsigned>(size - done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = EIO;
            break;
        }
        done += static_cast<size_t>(put);
    }
    return done;
}
