// Replacing the output file so that a failed or killed run never leaves a part of an image.
#pragma once

#include <cstddef>
#include <cstdint>

enum writeresult { written, openfailed, writefailed };

/// Makes `size` bytes the whole content of the named file. A regular file, new or old (also one
/// reached through symbolic links, which stay links), is replaced by renaming a complete temporary
/// file beside it over it; devices, pipes and streams the caller opened are written straight.
writeresult replacefile(const char *name, const uint8_t *data, size_t size);
