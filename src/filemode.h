// Who may read and write the new image: the owner, group, mode, ACL and the user's own extended
// attributes of the file it replaces, never a wider access than that file gave.
#pragma once

#include "platform.h"

/// Gives the new file `fd` what the open file `old` (its status `st`) has, where the system lets
/// it: its owner and group; its access ACL and user attributes; its mode bits. Where the group
/// cannot be kept, the group may not read more than others could, and set-gid goes; where the owner
/// cannot be kept, set-uid goes; where the ACL cannot be copied (too long, a failed call), group
/// and others lose everything, so that no one the old file kept out is let in. False where even
/// that could not be given.
bool givemode(int fd, int old, const struct stat &st);
