// Processors without the x86 vector units draw one by one.
#include "fastdraw_internal.h"

namespace fastdraw {

blocksfn vectorblocks(drawway) { return nullptr; }

}  // namespace fastdraw
