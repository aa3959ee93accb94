// Writing the output on Windows.
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "replace_system.h"

namespace sys {

const char *const separators = "/\\:";

namespace {

volatile LONG interrupt;  // a Ctrl-C or Ctrl-Break came while the output was being replaced
volatile LONG busy;       // ... which is going on

// The C runtime's st_ino is always 0 here: the volume's serial number and the file's index are
// what tell two files apart.
bool known(HANDLE file, fileid &id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &info))
        return false;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

HANDLE handle(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// Windows runs this on a thread of its own. Ctrl-C and Ctrl-Break are only noted, and acted on
// once the temporary file is gone. Closing the console, logging off or shutting down end the
// process as soon as this returns, so those give the write a few seconds to finish first.
BOOL WINAPI holdinterrupt(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        interrupt = 1;
        return TRUE;
    }
    for (int waited = 0; busy != 0 && waited < 400; ++waited)
        Sleep(10);
    return FALSE;
}

}  // namespace

// Symbolic links and junctions are reparse points here. None is followed: an output that is one is
// refused before the rename (lookat), and the caller's streams have no names to recognise.
named followlinks(char *, size_t) { return named::file; }

bool withinlimit(size_t) { return true; }

void reportfilesizelimit() {}

void holdinterrupts(bool on) {
    if (on) {
        busy = 1;
        SetConsoleCtrlHandler(holdinterrupt, TRUE);
        return;
    }
    busy = 0;
    SetConsoleCtrlHandler(holdinterrupt, FALSE);
    if (interrupt != 0)
        ExitProcess(STATUS_CONTROL_C_EXIT);  // what the interrupt would have done at once
}

bool interrupted() { return interrupt != 0; }

bool identify(int fd, fileid &id) { return known(handle(fd), id); }

bool identify(const char *path, fileid &id) {
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    bool ok = known(file, id);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return ok;
}

int openexisting(const char *path, bool &readable) {
    int fd = open(path, O_RDWR | O_BINARY);
    readable = fd >= 0;
    if (fd < 0 && errno == EACCES)
        fd = open(path, O_WRONLY | O_BINARY);
    return fd;
}

bool flush(int fd) { return FlushFileBuffers(handle(fd)) != 0; }

bool openfolder(const char *target, folder &dir) {
    dir.fd = -1;
    dir.name = dir.target = target;
    dir.prefix = folderlength(target);
    return true;
}

void closefolder(folder &) {}

// The C runtime here has no mkostemp: the name is made by hand. Where the stack lies differs from
// run to run, the time between runs; either keeps two runs from trying the same names for long.
bool createtemp(const folder &dir, tempfile &tmp, bool) {
    size_t base = dir.prefix;
    auto mix = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&base) >> 4) * 2654435761u ^
               static_cast<uint32_t>(time(nullptr));
    for (int tries = 0; tries < 100; ++tries) {
        char suffix[7];
        for (char &c : suffix) {
            mix = mix * 1103515245u + 12345u;
            c = "abcdefghijklmnopqrstuvwxyz0123456789"[(mix >> 16) % 36];
        }
        suffix[6] = '\0';
        int len = snprintf(tmp.name, sizeof tmp.name, "%.*s.%s.scatterdisk-%s", static_cast<int>(base), dir.target,
                           dir.target + base, suffix);
        if (len < 0 || static_cast<size_t>(len) >= sizeof tmp.name)
            return false;
        tmp.fd = open(tmp.name, O_WRONLY | O_CREAT | O_EXCL | O_BINARY | O_CLOEXEC, 0600);
        tmp.named = tmp.fd >= 0;
        if (tmp.fd >= 0 || errno != EEXIST)
            return tmp.fd >= 0;
    }
    return false;
}

pathkind lookat(const folder &dir) {
    DWORD attributes = GetFileAttributesA(dir.target);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return attributes & FILE_ATTRIBUTE_REPARSE_POINT ? pathkind::link : pathkind::plain;
    DWORD err = GetLastError();
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? pathkind::missing : pathkind::failed;
}

// An open file cannot be renamed here, so it is closed first (its data was forced before where it
// replaces one). A plain rename() refuses to replace an existing file; MoveFileEx writes a
// replacing rename through.
bool publish(const folder &dir, tempfile &tmp, bool replacing) {
    if (tmp.fd >= 0 && close(tmp.fd) != 0)
        return false;
    tmp.fd = -1;
    if (MoveFileExA(tmp.name, dir.target, replacing ? MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH : 0)) {
        tmp.named = false;
        return true;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS)
        errno = EEXIST;
    return false;
}

// The rename itself was written through.
bool flushfolder(const folder &, const tempfile &) { return true; }

bool droptemp(const folder &, tempfile &tmp) {
    bool gone = !tmp.named || discard(tmp.fd, tmp.name, tmp.known ? &tmp.id : nullptr);
    if (!tmp.named && tmp.fd >= 0)
        close(tmp.fd);
    tmp.fd = -1;
    tmp.named = !gone;
    return gone;
}

// NTFS overwrites in place; ReFS, which may not, is not told apart here.
bool roomproven(int, size_t) { return true; }

// Files are created by whoever writes them and take the folder's inheritable access rules.
void givemode(int, const struct stat *, const char *) {}

// Windows files have no holes unless asked for; lengthening one allocates its clusters.
reserved allocate(int fd, size_t size) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return reserved::failed;
    if (st.st_size >= static_cast<off_t>(size) || setlength(fd, static_cast<long long>(size)))
        return reserved::done;
    errno = ENOSPC;
    return reserved::failed;
}

bool setlength(int fd, long long length) { return _chsize_s(fd, length) == 0; }

bool noroom(int err) { return err == ENOSPC; }


// An open file cannot be removed here, so it is closed first; a second run that opens it
// meanwhile keeps it from being removed, and so from being lost.
bool discard(int fd, const char *path, const fileid *mine) {
    if (fd >= 0)
        close(fd);
    fileid now;
    if (mine != nullptr && identify(path, now) && !(now == *mine))
        return true;
    return DeleteFileA(path) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND;
}


locked trylock(int fd) {
    auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    OVERLAPPED whole = {};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole))
        return locked::held;
    return GetLastError() == ERROR_LOCK_VIOLATION ? locked::busy : locked::nolocks;
}

void nap() { Sleep(10); }

}  // namespace sys
