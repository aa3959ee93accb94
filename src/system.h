// What the tool asks of the system, as primitives: only what truly differs between platforms.
// system_posix.cpp and system_windows.cpp each define all of it and the build picks one, so that
// the policy above it (image.cpp, replace.cpp, byrename.cpp, inplace.cpp, tempfile.cpp,
// filemode.cpp) is written once and reads without a platform test.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

namespace sys {

// ---- loading ----

/// Asks for the pages of a buffer in one go; fresh pages otherwise cost a fault each on first touch.
void prefault(void *start, size_t size);

/// True for a block device, which can be measured like a file.
bool isblockdevice(unsigned mode);

// ---- names ----

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

enum class named { file, stream, failed };

/// Follows symbolic links in the last component of `target` (room bytes), so that the file they
/// lead to is replaced and the links stay links: `stream` for a stream the caller opened
/// (standard input, output or error, /dev/fd/N), `failed` where a link cannot be read, or where a
/// link on the way or what it leads to was planted by another user: in a sticky folder that others
/// may write (as /tmp), one that belongs neither to this user nor to the folder's owner, which the
/// kernel's protected_regular, protected_fifos and protected_symlinks refuse to write through.
named followlinks(char *target, size_t room);

/// Fills `out` with random bytes from the system; false where it gives none.
bool randombytes(unsigned char *out, size_t n);

// ---- the output's folder, and names in it ----

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
    size_t prefix = 0;           // what of the target's path a name in the folder starts with
    const char *target = nullptr;
};

/// Opens the folder of `target` (a path, links followed); where it cannot be opened for that (one
/// the user may search but not read, on a system without O_PATH), names in it go by their path.
/// False, errno saying why, only where it cannot be reached at all.
bool openfolder(const char *target, folder &dir);

/// Lets go of the folder.
void closefolder(folder &dir);

enum class pathkind { missing, plain, link, failed };

/// What is at the output's name now, without following a link it may be.
pathkind lookat(const folder &dir);

/// The identity of what a name in the folder leads to, not following a link.
bool identifyat(const folder &dir, const char *name, fileid &id);

/// Removes a name in the folder; true where it is gone (or was never there).
bool removeat(const folder &dir, const char *name);

/// True where a file can be removed while it is open (POSIX); Windows must close it first.
extern const bool removesopen;

/// The longest name the folder takes, or -1 where it does not say.
long namemax(const folder &dir);

enum class flushed { done, unopened, failed };

/// Forces the folder to the disk, so that a rename or link in it survives a power cut: `unopened`
/// where it cannot be opened for that (one the user may write and search but not read, or known
/// by its path only), `failed` where the flush fails. A file system that cannot flush folders
/// counts as done.
flushed flushfolder(const folder &dir);

// ---- the temporary file ----

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

/// Makes an unnamed file in the folder, for its owner alone (`private`) or with the access a plain
/// create gives a new file there (the umask, or the folder's default ACL): its descriptor, or -1
/// with errno EOPNOTSUPP where the system or the file system cannot (another errno: it failed).
int createunnamed(const folder &dir, bool private_);

/// Creates `name` in the folder the same way, where nothing is there yet: its descriptor, or -1
/// (errno EEXIST where something is).
int createnamed(const folder &dir, const char *name, bool private_);

/// Opens `name` in the folder to look at it and lock it, only where it is a regular file of this
/// user's, never through a link nor waiting on a pipe: its descriptor, or -1.
int openown(const folder &dir, const char *name);

/// Calls visit(name, context) for each name in the folder, where it can be read; on Windows for
/// none, where a killed run's temporary file is not looked for.
void foreachname(const folder &dir, void (*visit)(const char *name, void *context), void *context);

/// Gives an unnamed file `name` in the folder; false with EEXIST where the name is taken.
bool linkin(int fd, const folder &dir, const char *name);

/// Renames the temporary file `tmp.name` to the output's name, over a file there (`replacing`,
/// written through where the system does that itself) or only where the name is still free
/// (false with EEXIST otherwise); `tmp.named` says after it whether its temporary name is left
/// (where the rename was made by a link), for the caller to remove.
/// Windows closes the file first (fd -1 after).
bool renameover(const folder &dir, tempfile &tmp, bool replacing);

// ---- open files ----

/// The identity of an open file.
bool identify(int fd, fileid &id);

/// Opens the existing output in the folder to rewrite it, without waiting and never through a
/// symbolic link at its name (Windows follows links, refused before: lookat): read-write, or
/// write-only (`readable` false) where reading is refused.
int openexisting(const folder &dir, bool &readable);

/// Creates the output in the folder for a rewrite in place, where nothing is there yet; errno
/// EEXIST where something is.
int createoutput(const folder &dir);

/// Forces a file's data and length to the disk itself, past the drive's own cache where the
/// system can ask for that.
bool flush(int fd);

enum class reserved { done, unsupported, failed };

/// Allocates the first `size` bytes of a file without changing a byte it holds.
reserved allocate(int fd, size_t size);

/// True where the open file is at least `size` bytes long and has a block for every byte of it.
bool allocated(int fd, size_t size);

/// Cuts or lengthens an open file.
bool setlength(int fd, long long length);

/// True for an errno that means the disk or the quota is full.
bool noroom(int err);

/// Whether the file's file system writes every block anew (btrfs, ZFS, bcachefs, nilfs2, APFS), and
/// how many bytes it has free for the user; false where that cannot be told.
bool filesystem(int fd, bool &copyonwrite, unsigned long long &available);

enum class locked { held, nolocks, busy, failed };

/// Takes an exclusive advisory lock on an open file without waiting for it.
locked trylock(int fd);

/// Sleeps a hundredth of a second.
void nap();

/// A clock that only goes forward, in milliseconds.
long long monotonicms();

// ---- owner and access ----

/// The file's owner, group and mode bits; false where the system keeps none (Windows).
bool ownerof(int fd, struct stat &st);

/// Sets the file's owner and group (-1 keeps one); false where that is refused.
bool setowner(int fd, long long uid, long long gid);

/// Sets the file's mode bits; false where that is refused.
bool setmode(int fd, unsigned mode);

/// The mode a plain create with 0666 gives a new file here (the umask taken off).
unsigned createmode();

/// Gives the new file `fd` the access ACL of the open file `from` (Linux; elsewhere the system's own
/// rules for a new file stand), or takes the new one's away where `from` has none: true where the
/// new file then carries exactly what `from` does, false where that could not be read or copied
/// (one too long to copy, a failed call).
bool copyacl(int fd, int from);

/// Opens the file at the output's name to read its owner, mode and ACL, never through a link nor
/// waiting on a pipe: its descriptor, or -1.
int openforaccess(const folder &dir);

/// Copies the user's own extended attributes (Linux's user.*) of the open file `from` to `fd`;
/// false where one could not be read or copied. Security labels are the system's to give, and
/// file flags (chattr) are not carried.
bool copyattributes(int fd, int from);


// ---- signals ----

/// Lets a write past the file-size limit fail and be reported rather than end the process.
void reportfilesizelimit();

/// False where the file-size limit is smaller than `size`; writes past it would fail part way.
bool withinlimit(size_t size);

/// Holds back every signal or event that would end the process, or lets them through again.
void holdinterrupts(bool on);

/// True when an interrupt that the hold is keeping back waits to end the process; one the caller
/// blocked or ignores before the run (nohup's hang-up) does not count.
bool interrupted();

}  // namespace sys
