// What writing the output asks of the system. replace_posix.cpp and replace_windows.cpp each
// define all of it, and the build picks one, so that replace.cpp, byrename.cpp and inplace.cpp
// read without a platform test.
#pragma once

#include <cstddef>

#include "platform.h"

namespace sys {

/// Characters that end a folder in a path.
extern const char *const separators;

/// Room for a path: a longer output name is written straight, which reports it as before.
constexpr size_t pathroom = 8192;

/// Length of the folder part of a path, with its trailing separator; 0 in the current folder.
inline size_t folderlength(const char *path) {
    size_t len = 0;
    for (size_t i = 0; path[i] != '\0'; ++i)
        for (const char *c = separators; *c != '\0'; ++c)
            if (path[i] == *c)
                len = i + 1;
    return len;
}

/// Creates a new file beside `target`, for its owner alone until its data is in, named
/// .NAME.scatterdisk-XXXXXX (the X random) into `name` (room bytes): its descriptor, or -1.
int createtemp(const char *target, char *name, size_t room);

enum class named { file, stream, failed };

/// Follows symbolic links in the last component of `target` (room bytes), so that the file they
/// lead to is replaced and the links stay links: `stream` for a stream the caller opened
/// (standard input, output or error, /dev/fd/N), `failed` where a link cannot be read.
named followlinks(char *target, size_t room);

/// False where the file-size limit is smaller than `size`; writes past it would fail part way.
bool withinlimit(size_t size);

/// Lets a write past the file-size limit fail and be reported rather than end the process.
void reportfilesizelimit();

/// Holds back every signal or event that would end the process, or lets them through again.
void holdinterrupts(bool on);

/// True when an interrupt that the hold is keeping back waits to end the process; one the caller
/// blocked or ignores before the run (nohup's hang-up) does not count.
bool interrupted();

/// Which file a name or descriptor leads to: its volume and its number there.
struct fileid {
    unsigned long long volume = 0, index = 0;
    bool operator==(const fileid &o) const { return volume == o.volume && index == o.index; }
};

/// The identity of an open file.
bool identify(int fd, fileid &id);

/// The identity of the file a name leads to.
bool identify(const char *path, fileid &id);

/// Opens an existing file to rewrite it without waiting (and on POSIX never through a symbolic link
/// at its name): read-write, or write-only (`readable` false) where reading is refused.
int openexisting(const char *path, bool &readable);

/// Forces a file's data and length to the disk itself, past the drive's own cache where the
/// system can ask for that.
bool flush(int fd);

/// Forces the folder that holds `path` to the disk, so that a rename in it survives a power cut.
/// A folder that cannot be opened (one the user may not read), or a file system that cannot flush
/// folders, is let be.
bool flushfolder(const char *path);

/// Gives the temporary file the output's owner, group and mode where it may, never mode bits wider
/// than the old file's (a default ACL of the folder still applies); a new output gets what a plain
/// create would.
void givemode(int fd, const struct stat *old);

enum class reserved { done, unsupported, failed };

/// Allocates the first `size` bytes of a file without changing a byte it holds.
reserved allocate(int fd, size_t size);

/// Cuts or lengthens an open file.
bool setlength(int fd, long long length);

/// True for an errno that means the disk or the quota is full.
bool noroom(int err);

/// Renames `from` over `to`, replacing it; `durable`: on the disk when the call returns, where the
/// system does that in the rename itself (elsewhere flushfolder does it).
bool renameover(const char *from, const char *to, bool durable);

/// Closes a file this run made and removes it while its name still leads to it (`mine`), or by
/// name alone where its identity is not known, in the order the system allows: Windows cannot
/// remove an open file, elsewhere removing first keeps the lock until the name is gone. False
/// where a name that is still the run's own could not be removed.
bool discard(int fd, const char *path, const fileid *mine);

enum class pathkind { missing, plain, link, failed };

/// What a name is, without following a link it may be.
pathkind lookat(const char *path);

enum class locked { held, nolocks, busy, failed };

/// Takes an exclusive advisory lock on an open file without waiting for it.
locked trylock(int fd);

/// Sleeps a hundredth of a second while a lock is held elsewhere.
void nap();

}  // namespace sys
