// Replacing the output by renaming a complete temporary file over it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"
#include "replace.h"

/// Writes a temporary file beside `target` (a regular file's name, links followed) and renames it
/// over it; `old` is the file there now, or null for a new output. Falls back to the in-place
/// rewrite where no temporary file can be made or the disk has room for one copy only.
writeresult replacebyrename(const char *target, const struct stat *old, const uint8_t *data, size_t size);
