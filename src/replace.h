// Writing the output. A file is replaced whole by renaming a complete temporary file over it, or,
// where no file can be made beside it, rewritten in place with every failed step undone; a stream
// is written straight. What a power cut or kill -9 can leave on each path is in the manual page.
#pragma once

#include <cstddef>
#include <cstdint>

enum writeresult { written, openfailed, writefailed };

/// The most an output may hold: one image.
constexpr size_t outputroom = 174848;

/// Makes `size` bytes (outputroom at most) the whole content of the named file (a regular file
/// reached through symbolic links is replaced and the links stay links); devices, pipes and the
/// caller's streams are written straight.
writeresult replacefile(const char *name, const uint8_t *data, size_t size);
