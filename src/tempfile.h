// The temporary file beside the output, and removing what this run made: the names it takes, and
// the one rule for taking a name away (only while it still leads to the run's own file).
#pragma once

#include "system.h"

/// Makes the file for the new image in the output's folder: unnamed where the system can, else
/// under a name of its own. `replacing`: for its owner alone until its mode is given, and false
/// where the folder takes no name as long as the one it will need for the rename; otherwise with
/// the access a plain create would give it. False, errno saying why, where none can be made.
bool createtemp(const sys::folder &dir, sys::tempfile &tmp, bool replacing);

/// Removes what a killed run left at this output: temporary files of this output's name, this
/// user's, that no run holds the lock on, which a live run takes on its named temporary file as
/// soon as it is made. What cannot be proven so (no locks here, another user's, a live run's) stays.
void removeleftovers(const sys::folder &dir);

/// Gives `tmp` a new random name of its own, .NAME.scatterdisk-XXXXXX; false where the folder's
/// path leaves no room for it.
bool nametemp(const sys::folder &dir, sys::tempfile &tmp);

/// Removes the name in the folder where it still leads to `mine` (or, its identity unknown, by
/// name alone: it was made with a random name or none); true where it is gone.
bool removeifours(const sys::folder &dir, const char *name, const sys::fileid *mine);

/// Closes a file this run made and removes its name `name` while it is still the run's own, in the
/// order the system allows: where a file can be removed while open, removing first keeps a lock
/// on it until the name is gone. True where a name still the run's own is gone.
bool discard(int fd, const sys::folder &dir, const char *name, const sys::fileid *mine);

/// Removes a temporary file that was never published, closing it; a second try where the first
/// fails, since one left behind would take the room an in-place rewrite needs. False where its
/// name, still its own, could not be removed.
bool droptemp(const sys::folder &dir, sys::tempfile &tmp);
