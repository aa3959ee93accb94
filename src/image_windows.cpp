// Loading an image on Windows.
#include "image_system.h"

namespace sys {

// Windows has no single call for it; the pages fault as they are touched.
void prefault(void *, size_t) {}

// Windows has no block devices among the files a name opens here.
bool isblockdevice(unsigned) { return false; }

}  // namespace sys
