// The plain fill of a block of draws, and the stream of attempts the scrambler takes from the fill
// chosen for the run (fastdraw_blocks.h explains the blocks).
#include "fastdraw.h"

#include "fastdraw_blocks.h"

namespace fastdraw {

drawstate drawing;

namespace {

blockmasks fillplain(uint32_t from) {
    uint64_t s = 0, c = 0, x = 0;
    for (int32_t k = 0; k < block; ++k)
        drawing.next.draws[k] = static_cast<uint16_t>(
            (jump.mul[static_cast<size_t>(k)] * from + jump.add[static_cast<size_t>(k)]) >> 16 & 0x7fffu);
    for (int32_t k = 0; k < block; ++k) {
        uint32_t v = drawing.next.draws[k], q = (v * trackmul) >> quotientshift;
        s |= uint64_t{v >= tracklimit || q == dirquotient} << k;
        c |= (drawing.start.tracks >> q & 1) << k;
        x |= uint64_t{v >= safesectors} << k;
    }
    return {s, c, x, drawing.next.draws[0], drawing.next.draws[block - 1]};
}

void blocksplain() { findhits(fillplain); }

}  // namespace

}  // namespace fastdraw

using namespace fastdraw;

bool canrun(drawway way) { return way == onebyone || way == portableblocks || vectorblocks(way) != nullptr; }

blockfacts fillfortests(drawway way, uint32_t state) {
    blockmasks m = fillplain(state);
    if (way != portableblocks)
        vectorfill(way, state, m);
    return {m.s, m.maybe, m.x, m.first, m.last};
}

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
    blocksfn chosen = vectorblocks(way);
    drawing.blocks = chosen != nullptr ? chosen : blocksplain;
}

void nextcandidate(int32_t &track, int32_t &sector, uint32_t &state) {
    if (drawing.next.taken == drawing.next.nhits)
        drawing.blocks();
    const hit &h = drawing.next.hits[drawing.next.taken++];
    track = h.track;
    sector = h.sector;
    state = jump.mul[static_cast<size_t>(h.at)] * drawing.next.blockstate + jump.add[static_cast<size_t>(h.at)];
}
