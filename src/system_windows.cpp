// The system's primitives on Windows.
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "system.h"

namespace sys {

// ---- loading ----

// Windows has no single call for it; the pages fault as they are touched.
void prefault(void *, size_t) {}

// Windows has no block devices among the files a name opens here.
bool isblockdevice(unsigned) { return false; }

// ---- names ----

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

// The C runtime here has no getentropy; the temporary name's own mix stands in.
bool randombytes(unsigned char *, size_t) { return false; }

// ---- the output's folder: Windows names every file by its path ----

bool openfolder(const char *target, folder &dir) {
    dir.fd = -1;
    dir.name = dir.target = target;
    dir.prefix = folderlength(target);
    return true;
}

void closefolder(folder &) {}

pathkind lookat(const folder &dir) {
    DWORD attributes = GetFileAttributesA(dir.target);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return attributes & FILE_ATTRIBUTE_REPARSE_POINT ? pathkind::link : pathkind::plain;
    DWORD err = GetLastError();
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? pathkind::missing : pathkind::failed;
}

bool identifyat(const folder &, const char *name, fileid &id) {
    HANDLE file = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool ok = known(file, id);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return ok;
}

bool removeat(const folder &, const char *name) { return DeleteFileA(name) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND; }

// An open file cannot be removed here; a second run that opens it meanwhile keeps it from being
// removed, and so from being lost.
const bool removesopen = false;

long namemax(const folder &) { return -1; }

// A replacing rename is written through (renameover); a new name is not forced here.
flushed flushfolder(const folder &) { return flushed::done; }

// ---- the temporary file ----

// Windows makes no file without a name.
int createunnamed(const folder &, bool) {
    errno = EOPNOTSUPP;
    return -1;
}

// Files are created by whoever writes them and take the folder's inheritable access rules, so the
// mode is not asked for.
int createnamed(const folder &, const char *name, bool) {
    return open(name, O_WRONLY | O_CREAT | O_EXCL | O_BINARY | O_CLOEXEC, 0600);
}

int openown(const folder &, const char *) { return -1; }

void foreachname(const folder &, void (*)(const char *, void *), void *) {}

bool linkin(int, const folder &, const char *) {
    errno = EOPNOTSUPP;
    return false;
}

// An open file cannot be renamed here, so it is closed first (its data was forced before where it
// replaces one). A plain rename() refuses to replace an existing file; MoveFileEx writes a
// replacing rename through.
bool renameover(const folder &dir, tempfile &tmp, bool replacing) {
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

// ---- open files ----

bool identify(int fd, fileid &id) { return known(handle(fd), id); }

int openexisting(const folder &dir, bool &readable) {
    int fd = open(dir.target, O_RDWR | O_BINARY);
    readable = fd >= 0;
    if (fd < 0 && errno == EACCES)
        fd = open(dir.target, O_WRONLY | O_BINARY);
    return fd;
}

int createoutput(const folder &dir) { return open(dir.target, O_RDWR | O_CREAT | O_EXCL | O_BINARY | O_CLOEXEC, 0666); }

bool flush(int fd) { return FlushFileBuffers(handle(fd)) != 0; }

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

// Windows files have no holes unless asked for.
bool allocated(int fd, size_t size) {
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(size);
}

bool setlength(int fd, long long length) { return _chsize_s(fd, length) == 0; }

bool noroom(int err) { return err == ENOSPC; }

// NTFS overwrites in place; ReFS, which may not, is not told apart here.
bool filesystem(int, bool &copyonwrite, unsigned long long &available) {
    copyonwrite = false;
    available = 0;
    return true;
}

locked trylock(int fd) {
    OVERLAPPED whole = {};
    if (LockFileEx(handle(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole))
        return locked::held;
    return GetLastError() == ERROR_LOCK_VIOLATION ? locked::busy : locked::nolocks;
}

void nap() { Sleep(10); }

long long monotonicms() { return static_cast<long long>(GetTickCount64()); }

// ---- owner and access: Windows keeps its own, set by the folder when the file is made ----

bool ownerof(int, struct stat &) { return false; }

bool setowner(int, long long, long long) { return true; }

bool setmode(int, unsigned) { return true; }

unsigned createmode() { return 0666; }

bool copyacl(int, int) { return true; }

int openforaccess(const folder &) { return -1; }

bool copyattributes(int, int) { return true; }

// ---- signals ----

void reportfilesizelimit() {}

bool withinlimit(size_t) { return true; }

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

}  // namespace sys
