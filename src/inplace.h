// Rewriting the output where it is, for when no file can be made beside it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "replace.h"
#include "system.h"

/// Overwrites the output in `dir` (created if missing) with `size` bytes (outputroom at most)
/// under a lock, room secured first; a step that fails puts back the bytes and length it changed,
/// and a file this run made goes.
writeresult rewriteinplace(const sys::folder &dir, const uint8_t *data, size_t size);
