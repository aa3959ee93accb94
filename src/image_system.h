// What loading an image asks of the system. image_posix.cpp and image_windows.cpp each define it,
// and the build picks one.
#pragma once

#include <cstddef>

namespace sys {

/// Asks for the pages of a buffer in one go; fresh pages otherwise cost a fault each on first touch.
void prefault(void *start, size_t size);

/// True for a block device, which can be measured like a file.
bool isblockdevice(unsigned mode);

}  // namespace sys
