// The stream of attempts the scrambler takes from the block loop chosen for the run
// (fastdraw_internal.h explains the blocks).
#include "fastdraw.h"

#include "fastdraw_internal.h"

namespace fastdraw {

drawstate drawing;

}  // namespace fastdraw

using namespace fastdraw;

bool canrun(drawway way) { return way == onebyone || vectorblocks(way) != nullptr; }

void startcandidates(const uint32_t candidates[d64::tracktable], uint32_t state, drawway way) {
    auto &fixed = drawing.start;
    fixed = {};
    for (int32_t t = 1; t <= numtracks + 1; ++t) {
        bool redrawn = t == dirtrack || t > numtracks;  // t = 36: quotient 35, draws 32760 and up
        fixed.places[t] = redrawn ? 0 : candidates[t];
        fixed.tracks |= uint64_t{fixed.places[t] != 0} << (t - 1);
        fixed.bytrack[t - 1] = fixed.places[t] != 0 ? 0xff : 0;
        auto q = static_cast<size_t>(t - 1);
        fixed.secmul[q] = static_cast<uint16_t>(sectordraws[static_cast<size_t>(t)].mul);
        fixed.low[q] = static_cast<uint16_t>(fixed.places[t] & 0xffffu);
        fixed.high[q] = static_cast<uint16_t>(fixed.places[t] >> 16 | (redrawn ? redrawnbit : 0));
    }
    drawing.next.nextstate = state;
    drawing.next.pending = drawing.next.nhits = drawing.next.taken = 0;
    drawing.blocks = vectorblocks(way);
}

void nextcandidate(int32_t &track, int32_t &sector, uint32_t &state) {
    if (drawing.next.taken == drawing.next.nhits)
        drawing.blocks();
    const hit &h = drawing.next.hits[drawing.next.taken++];
    track = h.track;
    sector = h.sector;
    state = jump.mul[static_cast<size_t>(h.at)] * drawing.next.blockstate + jump.add[static_cast<size_t>(h.at)];
}
