#include "fastdraw_probe.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include "fastdraw_x86_fills.h"

namespace {

__attribute__((target("avx2"))) fastdraw::blockmasks wide(uint32_t from) { return fastdraw::fillwide(from); }
__attribute__((target(FASTDRAW_AVX512))) fastdraw::blockmasks widest(uint32_t from) { return fastdraw::fillwidest(from); }

}  // namespace

bool fillfortests(drawway way, uint32_t state, blockfacts &out) {
    if (way == onebyone || !canrun(way))
        return false;
    fastdraw::blockmasks m = way == avx2blocks ? wide(state) : widest(state);
    out = {m.s, m.maybe, m.x, m.first, m.last};
    return true;
}
#else
bool fillfortests(drawway, uint32_t, blockfacts &) { return false; }
#endif
