// Processors without the x86 vector units draw in plain C++ blocks or one by one.
#include "fastdraw_blocks.h"

namespace fastdraw {

blocksfn vectorblocks(drawway) { return nullptr; }

bool vectorfill(drawway, uint32_t, blockmasks &) { return false; }

}  // namespace fastdraw
