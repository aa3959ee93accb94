// The file calls of POSIX as both Linux and Windows spell them.
#pragma once

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
