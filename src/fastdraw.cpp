// On a disk with a handful of pickable links, nearly every attempt of the pick procedure lands on a
// place that can never be picked, and the plain loop spends its time drawing one number after the
// other: each draw waits for the multiply of the one before it.
//
// The draws do not depend on the disk, only on the generator, so they can be made 64 at a time:
// after k steps from state x the generator is at A_k * x + C_k (mod 2^32), so all 64 follow from
// the state before them at once, in vector lanes. What an attempt makes of them is decided by two
// facts per draw, taken as 64-bit masks:
//   S: as a track draw it is redrawn (above the last full bucket, or the directory track), so the
//      next draw is a track draw again;
//   C: as a track draw it may start an attempt on a candidate place. The plain and AVX2 fills
//      answer by the track alone (it holds a candidate); the AVX-512 fill judges the place itself,
//      with the draw after it. Either way C holds every real hit, and the parse looks again.
// Every other track draw is followed by exactly one sector draw, as long as no sector draw is
// redrawn; a block in which one is (about one in a hundred) is walked draw by draw instead. Which
// draws are track draws then follows from S alone, by carry arithmetic, and only track draws in C
// need their sector looked at.
#include "fastdraw.h"

#include <array>

#include "generator.h"
#include "image.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>
#define FASTDRAW_X86 1
#endif

namespace {

constexpr int32_t block = 64;

// A[k] and C[k] take the generator k + 1 steps at once.
struct jumps {
    std::array<uint32_t, block> mul{}, add{};
};
constexpr jumps makejumps() {
    jumps j;
    uint32_t m = randmul, a = randadd;
    for (size_t k = 0; k < block; ++k) {
        j.mul[k] = m;
        j.add[k] = a;
        a = a * randmul + randadd;
        m *= randmul;
    }
    return j;
}
constexpr jumps jump = makejumps();

// A track draw v gives track v / 936 + 1; v * 71698 >> 26 is that quotient for every 15-bit v.
constexpr uint32_t trackbucket = randmax / numtracks, trackmul = 71698;
constexpr uint32_t tracklimit = randmax - randmax % numtracks;  // 32760
constexpr uint32_t dirquotient = dirtrack - 1;
// Below this no sector draw is redrawn, whatever the track: 32767 - 32767 % 19. Only draws at
// or above it need a second look.
constexpr uint32_t safesectors = 32756;
constexpr bool nosectorredrawnbelow(uint32_t v) {
    for (size_t t = 1; t <= static_cast<size_t>(numtracks); ++t)
        if (sectordraws[t].limit < v)
            return false;
    return true;
}
static_assert(nosectorredrawnbelow(safesectors) && !nosectorredrawnbelow(safesectors + 1),
              "safesectors is the lowest draw a sector draw on some track redraws");
static_assert(trackmul * trackbucket >= (1u << quotientshift) &&
                  randmax * (trackmul * trackbucket - (1u << quotientshift)) < (1u << quotientshift) &&
                  uint64_t{randmax} * trackmul < (uint64_t{1} << 32),
              "v * 71698 >> 26 is v / 936 for every draw, in 32 bits");

// A track draw v gives track v / 936 + 1 also as mulhi(v, 35849) >> 9, in 16-bit lanes.
constexpr uint32_t trackmul16 = 35849, trackshift16 = 25;
static_assert(trackmul16 * trackbucket >= (1u << trackshift16) &&
                  randmax * (trackmul16 * trackbucket - (1u << trackshift16)) < (1u << trackshift16) &&
                  trackmul16 < 65536,
              "mulhi(v, 35849) >> 9 is v / 936 for every draw");
constexpr bool sectormulsfit() {
    for (size_t t = 1; t <= static_cast<size_t>(numtracks); ++t)
        if (sectordraws[t].mul >= 65536)
            return false;
    return quotientshift >= 16;
}
static_assert(sectormulsfit(), "a sector draw's multiply fits a 16-bit lane: mulhi(v, mul) >> 10");

constexpr uint16_t redrawnbit = 0x8000;

struct hit {
    int32_t track, sector, at;
};

struct features {
    bool avx2, avx512;
};

// Everything the draws keep between calls, in the order it is made: what startcandidates() fixes
// for a whole scatter, then where nextcandidate() stands, which moves on block by block; and what
// the processor can run.
struct drawstate {
    struct {
        uint32_t places[d64::tracktable];  // bit s of entry t: sector s of track t is a candidate
        uint64_t tracks;                   // bit t - 1: track t holds a candidate
        alignas(16) uint8_t bytrack[48];   // by track - 1, 0xff for a candidate track: AVX2 lookups
        // By the quotient of a track draw (track - 1), for the AVX-512 lookups in 16-bit lanes: the
        // sector multiplier, candidate sectors 0 to 15, and candidate sectors 16 to 20 with bit 15
        // set where the track draw is redrawn (the directory track, and quotient 35 of draws
        // 32760 and up).
        alignas(64) uint16_t secmul[64];
        alignas(64) uint16_t low[64];
        alignas(64) uint16_t high[64];
    } start;
    struct {
        uint16_t draws[block];  // the current block's draws
        uint32_t blockstate;    // the generator state before the current block
        uint32_t nextstate;     // ... and after it
        int32_t pending;        // the track whose sector draw opens the next block, or 0
        hit hits[block + 1];    // the block's attempts on candidate places, the last one spare
        int32_t nhits, taken;   // ... how many, and how many nextcandidate() has handed out
    } next;
    struct {
        features has;  // what the processor runs, asked the first time it matters
        bool asked;
    } processor;
} drawing;
// What a fill learns of a block: masks S, C (named `maybe`: the draws that may start a hit) and X
// (draws at or above safesectors), and its first and last draw, handed over in registers so that
// the parse need not wait for the stores.
struct blockmasks {
    uint64_t s, maybe, x;
    uint32_t first, last;
};

// Where the parse stands, kept in registers from block to block: the track whose sector draw
// opens the next block (or 0), and the hits of the current block.
struct cursor {
    int32_t pending, nhits;
};

// Written whether it counts or not: the branch would be mispredicted on every real hit. Track 0
// has no candidates, so a call for it adds nothing.
[[gnu::always_inline]] inline void addhit(cursor &at, int32_t track, uint32_t v, int32_t k) {
    int32_t sector = static_cast<int32_t>((v * sectordraws[static_cast<size_t>(track)].mul) >> quotientshift);
    drawing.next.hits[at.nhits] = {track, sector, k};
    at.nhits += static_cast<int32_t>(drawing.start.places[track] >> sector & 1);
}

inline int32_t trackof(uint32_t v) { return static_cast<int32_t>(v / trackbucket) + 1; }

// The plain procedure over one block, for blocks where a sector draw may be redrawn.
[[gnu::noinline]] void walk(cursor &at) {
    int32_t track = at.pending;
    for (int32_t k = 0; k < block; ++k) {
        uint32_t v = drawing.next.draws[k];
        if (track == 0) {
            int32_t t = v < tracklimit ? trackof(v) : dirtrack;
            track = t == dirtrack ? 0 : t;
            continue;
        }
        if (v >= sectordraws[static_cast<size_t>(track)].limit)
            continue;
        addhit(at, track, v, k);
        track = 0;
    }
    at.pending = track;
}

// Which draws of the block are sector draws, as if no sector draw were redrawn and the block
// opened with a track draw. A run of non-S draws starts on a track draw and alternates track,
// sector, track, ...; the draw after a run is a sector draw exactly when the run's length is odd.
// Adding 1 at each run that starts on an even position clears that run; what is left are the runs
// that start on odd ones.
inline uint64_t sectordrawsof(uint64_t s) {
    constexpr uint64_t even = 0x5555555555555555u, odd = ~even;
    uint64_t go = ~s;
    uint64_t starts = go & ~(go << 1);
    uint64_t oddruns = (go + (starts & even)) & go;
    uint64_t evenruns = go & ~oddruns;
    return ((evenruns << 1) & odd) | ((oddruns << 1) & even);
}

// Both openings are worked out before the block before has been parsed, so that a block waits on
// the one before it only for a select, not for the whole carry chain. A block that opens with a
// sector draw differs only up to the draw after its first run, where the parities swap: the mask
// of that run and the draw after it, go ^ (go + 1), turns one answer into the other. Draws above
// 32755 (in x) are looked at once the sector draws are known: if one of them is redrawn after all,
// the block is walked.
[[gnu::always_inline]] inline void parse(cursor &at, const blockmasks &m) {
    uint64_t closed = sectordrawsof(m.s), opened = closed ^ (~m.s ^ (~m.s + 1));
    int32_t last = trackof(m.last);
    int32_t endclosed = (closed | m.s) >> 63 == 0 ? last : 0;
    int32_t endopened = (opened | m.s) >> 63 == 0 ? last : 0;
    int32_t opener = at.pending;
    uint64_t sectorat = opener != 0 ? opened : closed;
    for (uint64_t h = m.x & sectorat; h != 0; h &= h - 1) {
        int32_t k = __builtin_ctzll(h);
        int32_t track = k == 0 ? opener : trackof(drawing.next.draws[k - 1]);
        if (drawing.next.draws[k] >= sectordraws[static_cast<size_t>(track)].limit) {
            walk(at);
            return;
        }
    }
    addhit(at, opener, m.first, 0);
    for (uint64_t h = ~sectorat & m.maybe & ~(uint64_t{1} << 63); h != 0; h &= h - 1) {
        int32_t k = __builtin_ctzll(h);
        addhit(at, trackof(drawing.next.draws[k]), drawing.next.draws[k + 1], k + 1);
    }
    at.pending = opener != 0 ? endopened : endclosed;
}

// Runs blocks until one holds an attempt on a candidate place. Each form of fill is inlined into
// its own copy of this loop, so that the masks stay in registers.
template <class fillfn>
[[gnu::always_inline]] inline void findhits(fillfn fill) {
    cursor at{drawing.next.pending, 0};
    uint32_t state = drawing.next.nextstate, before;
    do {
        at.nhits = 0;
        before = state;
        state = jump.mul[block - 1] * before + jump.add[block - 1];
        parse(at, fill(before));
    } while (at.nhits == 0);
    drawing.next.pending = at.pending;
    drawing.next.nhits = at.nhits;
    drawing.next.taken = 0;
    drawing.next.blockstate = before;
    drawing.next.nextstate = state;
}

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

#ifdef FASTDRAW_X86
// The AVX2 fill, in steps that each take 16 draws: jump the generator states ahead, take their
// 15-bit draws into 16-bit lanes, classify the draws, and gather the answers into the masks.
#define AVX2STEP [[gnu::always_inline]] inline __attribute__((target("avx2")))

// Jump: the states k + 1 to k + 8 steps on from `state`, at once, as A * x + C per lane.
AVX2STEP __m256i jumpahead8(size_t k, __m256i state) {
    __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(&jump.mul[k]));
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(&jump.add[k]));
    return _mm256_add_epi32(_mm256_mullo_epi32(m, state), a);
}

// Draw: bits 16 to 30 of 16 states, in 16-bit lanes. Packing works within 128-bit halves, so the
// permute puts the draws back in order.
AVX2STEP __m256i draws16(__m256i a, __m256i b) {
    const __m256i low15 = _mm256_set1_epi32(0x7fff);
    a = _mm256_and_si256(_mm256_srli_epi32(a, 16), low15);
    b = _mm256_and_si256(_mm256_srli_epi32(b, 16), low15);
    return _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xd8);
}

// Classify: per lane, all ones where the draw as a track draw is redrawn, where its track holds a
// candidate, and where it is high enough that a sector draw may be redrawn. A track draw v gives
// track v / 936 + 1, here mulhi(v, 35849) >> 9, whose candidacy is looked up in three 16-byte
// tables by quotient.
struct classes16 {
    __m256i redrawn, maybe, high;
};
AVX2STEP classes16 classify16(__m256i w, const __m256i (&bytrack)[3]) {
    const __m256i trackmulv = _mm256_set1_epi16(static_cast<short>(trackmul16));
    const __m256i top = _mm256_set1_epi16(static_cast<short>(tracklimit - 1));
    const __m256i safe = _mm256_set1_epi16(static_cast<short>(safesectors - 1));
    const __m256i dir = _mm256_set1_epi16(static_cast<short>(dirquotient));
    const __m256i fifteen = _mm256_set1_epi16(15), thirtyone = _mm256_set1_epi16(31);
    const __m256i lowbyte = _mm256_set1_epi16(0xff);
    __m256i q = _mm256_srli_epi16(_mm256_mulhi_epu16(w, trackmulv), trackshift16 - 16);
    __m256i redrawn = _mm256_or_si256(_mm256_cmpgt_epi16(w, top), _mm256_cmpeq_epi16(q, dir));
    __m256i cand = _mm256_blendv_epi8(_mm256_shuffle_epi8(bytrack[0], q), _mm256_shuffle_epi8(bytrack[1], q),
                                      _mm256_cmpgt_epi16(q, fifteen));
    cand = _mm256_blendv_epi8(cand, _mm256_shuffle_epi8(bytrack[2], q), _mm256_cmpgt_epi16(q, thirtyone));
    // The lookups answer in the low byte of each lane; the high byte of q is 0 and answers for
    // track 1, so only the low bytes are kept.
    cand = _mm256_cmpeq_epi16(_mm256_and_si256(cand, lowbyte), lowbyte);
    return {redrawn, cand, _mm256_cmpgt_epi16(w, safe)};
}

// Gather: one bit a lane, at bits k to k + 15 of the masks. High draws are rare (about one block
// in 40), so their mask is gathered only where there are any.
AVX2STEP void gather16(const classes16 &is, int32_t k, uint64_t &s, uint64_t &maybe, uint64_t &x) {
    if (!_mm256_testz_si256(is.high, is.high)) {
        __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi16(is.high, _mm256_setzero_si256()), 0xd8);
        x |= uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(packed)) & 0xffffu} << k;
    }
    __m256i both = _mm256_permute4x64_epi64(_mm256_packs_epi16(is.redrawn, is.maybe), 0xd8);
    auto bits = static_cast<uint32_t>(_mm256_movemask_epi8(both));
    s |= uint64_t{bits & 0xffffu} << k;
    maybe |= uint64_t{bits >> 16} << k;
}

AVX2STEP blockmasks fillwide(uint32_t from) {
    const __m256i bytrack[3] = {
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(drawing.start.bytrack))),
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(drawing.start.bytrack + 16))),
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(drawing.start.bytrack + 32)))};
    const __m256i state = _mm256_set1_epi32(static_cast<int>(from));
    uint64_t s = 0, maybe = 0, x = 0;
#pragma GCC unroll 4
    for (int32_t k = 0; k < block; k += 16) {
        auto at = static_cast<size_t>(k);
        __m256i w = draws16(jumpahead8(at, state), jumpahead8(at + 8, state));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(&drawing.next.draws[k]), w);
        gather16(classify16(w, bytrack), k, s, maybe, x);
    }
    return {s, maybe, x, drawing.next.draws[0], drawing.next.draws[block - 1]};
}

__attribute__((target("avx2"))) void blockswide() { findhits(fillwide); }

// With AVX-512 the 64 draws sit in two registers of 16-bit lanes, and the candidate test is made
// for the pair of a track draw and the draw after it, so that only attempts on a candidate place
// itself reach the scalar code: each lane looks up its track's sector multiplier and candidate
// sectors in 64-entry tables by quotient, and whether the track draw is redrawn comes with them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"  // GCC 12's own AVX-512 headers trip these
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#define FASTDRAW_AVX512 "avx512f,avx512bw"
#define AVX512STEP [[gnu::always_inline]] inline __attribute__((target(FASTDRAW_AVX512)))

// Jump: the states k + 1 to k + 16 steps on from `state`, at once, as A * x + C per lane.
AVX512STEP __m512i jumpahead16(size_t k, __m512i state) {
    return _mm512_add_epi32(_mm512_mullo_epi32(_mm512_loadu_si512(&jump.mul[k]), state),
                            _mm512_loadu_si512(&jump.add[k]));
}

// Draw: bits 16 to 30 of 32 states, in 16-bit lanes: the high word of each lane, less its top bit.
AVX512STEP __m512i draws32(__m512i a, __m512i b) {
    alignas(64) static constexpr uint16_t highwords[32] = {1,  3,  5,  7,  9,  11, 13, 15, 17, 19, 21,
                                                           23, 25, 27, 29, 31, 33, 35, 37, 39, 41, 43,
                                                           45, 47, 49, 51, 53, 55, 57, 59, 61, 63};
    return _mm512_and_si512(_mm512_permutex2var_epi16(a, _mm512_load_si512(highwords), b), _mm512_set1_epi16(0x7fff));
}

// The draw after each: lane i is lane i + 1 of the pair (a, b).
AVX512STEP __m512i following(__m512i a, __m512i b) {
    alignas(64) static constexpr uint16_t after[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                                       12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                                       23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
    return _mm512_permutex2var_epi16(a, _mm512_load_si512(after), b);
}

// Classify, straight into masks: for 32 track draws `w` and the draws after them, which are
// redrawn, which start an attempt on a candidate place, and which are high. Each lane looks up
// its track's sector multiplier and candidate sectors by quotient in 64-entry tables; the
// redrawn bit rides along in the table of sectors 16 to 20. Shifts by 16 or more give 0 in
// 16-bit lanes, so each half of the candidate sectors answers only for its own.
struct masks32 {
    uint32_t redrawn, maybe, high;
};
AVX512STEP masks32 classify32(__m512i w, __m512i next) {
    const __m512i trackmulv = _mm512_set1_epi16(static_cast<short>(trackmul16));
    const __m512i safe = _mm512_set1_epi16(static_cast<short>(safesectors - 1));
    const __m512i one = _mm512_set1_epi16(1), sixteen = _mm512_set1_epi16(16);
    const __m512i redrawn = _mm512_set1_epi16(static_cast<short>(redrawnbit));
    const auto &fixed = drawing.start;
    __m512i q = _mm512_srli_epi16(_mm512_mulhi_epu16(w, trackmulv), trackshift16 - 16);
    __m512i secmul = _mm512_permutex2var_epi16(_mm512_load_si512(fixed.secmul), q, _mm512_load_si512(fixed.secmul + 32));
    __m512i sector = _mm512_srli_epi16(_mm512_mulhi_epu16(next, secmul), quotientshift - 16);
    __m512i low = _mm512_permutex2var_epi16(_mm512_load_si512(fixed.low), q, _mm512_load_si512(fixed.low + 32));
    __m512i high = _mm512_permutex2var_epi16(_mm512_load_si512(fixed.high), q, _mm512_load_si512(fixed.high + 32));
    __m512i chosen = _mm512_or_si512(_mm512_srlv_epi16(low, sector),
                                     _mm512_srlv_epi16(high, _mm512_sub_epi16(sector, sixteen)));
    return {_mm512_test_epi16_mask(high, redrawn), _mm512_test_epi16_mask(chosen, one),
            _mm512_cmpgt_epu16_mask(w, safe)};
}

AVX512STEP blockmasks fillwidest(uint32_t from) {
    const __m512i state = _mm512_set1_epi32(static_cast<int>(from));
    __m512i w[2];
#pragma GCC unroll 2
    for (size_t h = 0; h < 2; ++h)
        w[h] = draws32(jumpahead16(32 * h, state), jumpahead16(32 * h + 16, state));
    _mm512_storeu_si512(&drawing.next.draws[0], w[0]);
    _mm512_storeu_si512(&drawing.next.draws[32], w[1]);
    // The draw after the block's last is not known yet; its lane (bit 63) is never asked.
    masks32 lo = classify32(w[0], following(w[0], w[1])), hi = classify32(w[1], following(w[1], _mm512_setzero_si512()));
    auto join = [](uint32_t a, uint32_t b) { return uint64_t{a} | uint64_t{b} << 32; };
    uint32_t first = static_cast<uint32_t>(_mm_extract_epi16(_mm512_castsi512_si128(w[0]), 0));
    uint32_t last = static_cast<uint32_t>(_mm_extract_epi16(_mm512_extracti32x4_epi32(w[1], 3), 7));
    return {join(lo.redrawn, hi.redrawn), join(lo.maybe, hi.maybe), join(lo.high, hi.high), first, last};
}

__attribute__((target(FASTDRAW_AVX512))) void blockswidest() { findhits(fillwidest); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// The processor is asked only here, and only once a disk has few enough links for the blocks to
// run: the compiler's own feature check would ask at every start, and in a virtual machine each
// cpuid traps to the hypervisor. A feature counts only when the system also saves the registers
// it needs (xgetbv): YMM state for AVX2, and the opmask and ZMM state too for AVX-512.
features askprocessor() {
    unsigned a, b, c, d;
    if (__get_cpuid(0, &a, &b, &c, &d) == 0 || a < 7)
        return {false, false};
    __get_cpuid(1, &a, &b, &c, &d);
    constexpr unsigned osxsave = 1u << 27, avx = 1u << 28;
    if ((c & (osxsave | avx)) != (osxsave | avx))
        return {false, false};
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    constexpr unsigned ymmstate = 0x6, zmmstate = 0xe0;
    __cpuid_count(7, 0, a, b, c, d);
    constexpr unsigned avx2 = 1u << 5, avx512f = 1u << 16, avx512bw = 1u << 30;
    bool wide = (lo & ymmstate) == ymmstate && (b & avx2) != 0;
    bool widest = (lo & (ymmstate | zmmstate)) == (ymmstate | zmmstate) &&
                  (b & (avx512f | avx512bw)) == (avx512f | avx512bw);
    return {wide, widest};
}

#endif

}  // namespace

bool canrun(drawway way) {
#ifdef FASTDRAW_X86
    // Asked once; a function's static would bring the C++ runtime's guard along.
    auto &processor = drawing.processor;
    if (!processor.asked) {
        processor.has = askprocessor();
        processor.asked = true;
    }
    if (way == avx512blocks)
        return processor.has.avx512;
    if (way == avx2blocks)
        return processor.has.avx2;
#endif
    return way == onebyone || way == portableblocks;
}

#ifdef FASTDRAW_X86
__attribute__((target("avx2"))) blockmasks fillwidefortests(uint32_t from) { return fillwide(from); }
__attribute__((target(FASTDRAW_AVX512))) blockmasks fillwidestfortests(uint32_t from) { return fillwidest(from); }
#endif

blockfacts fillfortests(drawway way, uint32_t state) {
    blockmasks m = fillplain(state);
#ifdef FASTDRAW_X86
    if (way == avx2blocks)
        m = fillwidefortests(state);
    else if (way == avx512blocks)
        m = fillwidestfortests(state);
#else
    (void)way;
#endif
    return {m.s, m.maybe, m.x, m.first, m.last};
}

void startcandidates(const uint32_t candidates[d64::tracktable], uint32_t state) {
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
}

void nextcandidate(int32_t &track, int32_t &sector, uint32_t &state, drawway way) {
    if (drawing.next.taken == drawing.next.nhits) {
#ifdef FASTDRAW_X86
        if (way == avx512blocks)
            blockswidest();
        else if (way == avx2blocks)
            blockswide();
        else
            blocksplain();
#else
        (void)way;
        blocksplain();
#endif
    }
    const hit &h = drawing.next.hits[drawing.next.taken++];
    track = h.track;
    sector = h.sector;
    state = jump.mul[static_cast<size_t>(h.at)] * drawing.next.blockstate + jump.add[static_cast<size_t>(h.at)];
}
