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

enum class pathkind { missing, plain, link, failed };

/// Which file a name or descriptor leads to: its volume and its number there.
struct fileid {
    unsigned long long volume = 0, index = 0;
    bool operator==(const fileid &o) const { return volume == o.volume && index == o.index; }
};

/// The output's folder, opened once, so that every later step names its files in that folder
/// even where the folder is moved or swapped for a link meanwhile, and the output's name there.
struct folder {
    int fd = -1;                 // for the *at calls; where it cannot be had, the current folder's
    const char *name = nullptr;  // the output's name, relative to fd
    size_t prefix = 0;           // what of the target's path a temporary file's name starts with
    const char *target = nullptr;
};

/// Opens the folder of `target` (a path, links followed); false, errno saying why, where it cannot be.
bool openfolder(const char *target, folder &dir);

/// Lets go of the folder.
void closefolder(folder &dir);

/// A file made for the new image in the output's folder: without a name where the system can make
/// one so (Linux's O_TMPFILE), so that nothing is left of it after a power cut or kill -9; else
/// named .NAME.scatterdisk-XXXXXX (the X random).
struct tempfile {
    int fd = -1;
    bool named = false;   // it has a name in the folder now
    char name[pathroom];  // ... which is this, relative to the folder's fd
    fileid id;
    bool known = false;   // id holds its identity
};

/// Creates the file, for its owner alone until its data is in; false where none can be made, or
/// where it will replace a file (`replacing`) and the folder takes no name as long as its own.
bool createtemp(const folder &dir, tempfile &tmp, bool replacing);

/// What is at the output's name now, without following a link it may be.
pathkind lookat(const folder &dir);

/// Gives the new file the output's name. `replacing`: over the file there, renamed from a name of
/// its own (given it for that moment where it has none), the rename written through where the
/// system does that itself. Otherwise the name must still be free: false with EEXIST where a file
/// has come there since. Windows closes the file first (fd -1 after).
bool publish(const folder &dir, tempfile &tmp, bool replacing);

/// Forces the folder to the disk after the rename. Where the folder cannot be opened for that (one
/// the user may write and search but not read), the new file's descriptor is flushed once more:
/// on the journalling file systems (ext4, XFS, btrfs) that commits the rename with it.
bool flushfolder(const folder &dir, const tempfile &tmp);

/// Removes a file createtemp() made that has not been published, closing it; false where its
/// name, still its own, could not be removed.
bool droptemp(const folder &dir, tempfile &tmp);

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

/// Gives the new file the owner, group, mode and (on Linux) access ACL of the old one at `oldpath`
/// where it may, never a wider access: a default ACL of the folder adds nothing to a file that had
/// none. A new output (old null) gets what a plain create would.
void givemode(int fd, const struct stat *old, const char *oldpath);

enum class reserved { done, unsupported, failed };

/// Allocates the first `size` bytes of a file without changing a byte it holds.
reserved allocate(int fd, size_t size);

/// Cuts or lengthens an open file.
bool setlength(int fd, long long length);

/// True for an errno that means the disk or the quota is full.
bool noroom(int err);

/// False where overwriting `size` bytes of the open file may not find the room that allocate()
/// promised: a copy-on-write file system (btrfs, ZFS, bcachefs, APFS) writes every block anew, so
/// there the rewrite goes ahead only with room to spare.
bool roomproven(int fd, size_t size);

/// Closes a file this run made and removes it while its name still leads to it (`mine`), or by
/// name alone where its identity is not known, in the order the system allows: Windows cannot
/// remove an open file, elsewhere removing first keeps the lock until the name is gone. False
/// where a name that is still the run's own could not be removed.
bool discard(int fd, const char *path, const fileid *mine);

enum class locked { held, nolocks, busy, failed };

/// Takes an exclusive advisory lock on an open file without waiting for it.
locked trylock(int fd);

/// Sleeps a hundredth of a second while a lock is held elsewhere.
void nap();

}  // namespace sys
