// Replacing the output by renaming a complete temporary file over it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "replace.h"
#include "system.h"

/// How the rename went: written, or failed with the open or the write message, or not tried far
/// enough to change anything, so that the caller rewrites the file in place instead (no file could
/// be made beside it, the rename was refused, or the disk has room for one copy only).
enum class renamed { written, openfailed, writefailed, inplace };

/// Writes a temporary file in `dir`, the output's folder, and gives it the output's name, over a
/// file there (`existed`: one stood there at the start) or as a new one.
renamed replacebyrename(const sys::folder &dir, bool existed, const uint8_t *data, size_t size);
