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

uint32_t places[d64::tracktable];  // bit s of entry t: sector s of track t is a candidate
uint64_t tracks;         // bit t - 1: track t holds a candidate
alignas(16) uint8_t table[48];  // by track - 1, 0xff for a candidate track, for the AVX2 lookups

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

// By the quotient of a track draw (track - 1), for the AVX-512 lookups in 16-bit lanes: the sector
// multiplier, candidate sectors 0 to 15, and candidate sectors 16 to 20 with bit 15 set where the
// track draw is redrawn (the directory track, and quotient 35 of draws 32760 and up).
constexpr uint16_t redrawnbit = 0x8000;
struct {
    alignas(64) uint16_t secmul[64];
    alignas(64) uint16_t low[64];
    alignas(64) uint16_t high[64];
} byquotient;

uint16_t draws[block];   // the current block's draws
uint32_t blockstate;     // the generator state before the current block
uint32_t nextstate;      // ... and after it
int32_t pending;         // the track whose sector draw opens the next block, or 0

struct hit {
    int32_t track, sector, at;
};
hit hits[block + 1];
int32_t nhits, taken;

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
    hits[at.nhits] = {track, sector, k};
    at.nhits += static_cast<int32_t>(places[track] >> sector & 1);
}

inline int32_t trackof(uint32_t v) { return static_cast<int32_t>(v / trackbucket) + 1; }

// The plain procedure over one block, for blocks where a sector draw may be redrawn.
[[gnu::noinline]] void walk(cursor &at) {
    int32_t track = at.pending;
    for (int32_t k = 0; k < block; ++k) {
        uint32_t v = draws[k];
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
        int32_t track = k == 0 ? opener : trackof(draws[k - 1]);
        if (draws[k] >= sectordraws[static_cast<size_t>(track)].limit) {
            walk(at);
            return;
        }
    }
    addhit(at, opener, m.first, 0);
    for (uint64_t h = ~sectorat & m.maybe & ~(uint64_t{1} << 63); h != 0; h &= h - 1) {
        int32_t k = __builtin_ctzll(h);
        addhit(at, trackof(draws[k]), draws[k + 1], k + 1);
    }
    at.pending = opener != 0 ? endopened : endclosed;
}

// Runs blocks until one holds an attempt on a candidate place. Each form of fill is inlined into
// its own copy of this loop, so that the masks stay in registers.
template <class fillfn>
[[gnu::always_inline]] inline void findhits(fillfn fill) {
    cursor at{pending, 0};
    uint32_t state = nextstate, before;
    do {
        at.nhits = 0;
        before = state;
        state = jump.mul[block - 1] * before + jump.add[block - 1];
        parse(at, fill(before));
    } while (at.nhits == 0);
    pending = at.pending;
    nhits = at.nhits;
    taken = 0;
    blockstate = before;
    nextstate = state;
}

blockmasks fillplain(uint32_t from) {
    uint64_t s = 0, c = 0, x = 0;
    for (int32_t k = 0; k < block; ++k)
        draws[k] = static_cast<uint16_t>(
            (jump.mul[static_cast<size_t>(k)] * from + jump.add[static_cast<size_t>(k)]) >> 16 & 0x7fffu);
    for (int32_t k = 0; k < block; ++k) {
        uint32_t v = draws[k], q = (v * trackmul) >> quotientshift;
        s |= uint64_t{v >= tracklimit || q == dirquotient} << k;
        c |= (tracks >> q & 1) << k;
        x |= uint64_t{v >= safesectors} << k;
    }
    return {s, c, x, draws[0], draws[block - 1]};
}

void blocksplain() { findhits(fillplain); }

#ifdef FASTDRAW_X86
// Draws are made in 32-bit lanes and then classified 16 at a time in 16-bit lanes: v / 936 is
// mulhi(v, 35849) >> 9 there, and a track's candidacy is looked up in three 16-byte tables.
[[gnu::always_inline]] inline __attribute__((target("avx2"))) blockmasks fillwide(uint32_t from) {
    const __m256i t0 = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(table)));
    const __m256i t1 = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(table + 16)));
    const __m256i t2 = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(table + 32)));
    const __m256i state = _mm256_set1_epi32(static_cast<int>(from));
    const __m256i low15 = _mm256_set1_epi32(0x7fff);
    const __m256i trackmulv = _mm256_set1_epi16(static_cast<short>(trackmul16));
    const __m256i top = _mm256_set1_epi16(static_cast<short>(tracklimit - 1));
    const __m256i safe = _mm256_set1_epi16(static_cast<short>(safesectors - 1));
    const __m256i dir = _mm256_set1_epi16(static_cast<short>(dirquotient));
    const __m256i fifteen = _mm256_set1_epi16(15), thirtyone = _mm256_set1_epi16(31);
    uint64_t s = 0, c = 0, x = 0;
#pragma GCC unroll 4
    for (int32_t k = 0; k < block; k += 16) {
        __m256i v[2];
#pragma GCC unroll 2
        for (int32_t h = 0; h < 2; ++h) {
            size_t at = static_cast<size_t>(k + 8 * h);
            __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(&jump.mul[at]));
            __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(&jump.add[at]));
            v[h] = _mm256_and_si256(_mm256_srli_epi32(_mm256_add_epi32(_mm256_mullo_epi32(m, state), a), 16), low15);
        }
        // Packing works within 128-bit halves; the permute puts the 16 draws back in order.
        __m256i w = _mm256_permute4x64_epi64(_mm256_packus_epi32(v[0], v[1]), 0xd8);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(&draws[k]), w);
        __m256i q = _mm256_srli_epi16(_mm256_mulhi_epu16(w, trackmulv), trackshift16 - 16);
        __m256i redrawn = _mm256_or_si256(_mm256_cmpgt_epi16(w, top), _mm256_cmpeq_epi16(q, dir));
        __m256i cand = _mm256_blendv_epi8(_mm256_shuffle_epi8(t0, q), _mm256_shuffle_epi8(t1, q),
                                          _mm256_cmpgt_epi16(q, fifteen));
        cand = _mm256_blendv_epi8(cand, _mm256_shuffle_epi8(t2, q), _mm256_cmpgt_epi16(q, thirtyone));
        // The lookups answer in the low byte of each lane; the high byte of q is 0 and answers for
        // track 1, so only the low bytes are kept.
        cand = _mm256_and_si256(cand, _mm256_set1_epi16(0xff));
        cand = _mm256_cmpeq_epi16(cand, _mm256_set1_epi16(0xff));
        __m256i unsafe = _mm256_cmpgt_epi16(w, safe);
        if (!_mm256_testz_si256(unsafe, unsafe)) {  // about one block in 40
            __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi16(unsafe, _mm256_setzero_si256()), 0xd8);
            x |= uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(packed)) & 0xffffu} << k;
        }
        __m256i both = _mm256_permute4x64_epi64(_mm256_packs_epi16(redrawn, cand), 0xd8);
        uint32_t bits = static_cast<uint32_t>(_mm256_movemask_epi8(both));
        s |= uint64_t{bits & 0xffffu} << k;
        c |= uint64_t{bits >> 16} << k;
    }
    return {s, c, x, draws[0], draws[block - 1]};
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
[[gnu::always_inline]] inline __attribute__((target(FASTDRAW_AVX512))) blockmasks fillwidest(uint32_t from) {
    const __m512i state = _mm512_set1_epi32(static_cast<int>(from));
    __m512i st[4];
#pragma GCC unroll 4
    for (int32_t k = 0; k < block; k += 16) {
        __m512i m = _mm512_loadu_si512(&jump.mul[static_cast<size_t>(k)]);
        __m512i a = _mm512_loadu_si512(&jump.add[static_cast<size_t>(k)]);
        st[k / 16] = _mm512_add_epi32(_mm512_mullo_epi32(m, state), a);
    }
    // A draw is bits 16 to 30 of its state: the high word of each lane, less its top bit. Lane i
    // of `after` is lane i + 1 of the pair (a, b); the draw after the block's last is not known
    // yet, and its lane (bit 63) is never asked.
    alignas(64) static constexpr uint16_t highwords[32] = {1,  3,  5,  7,  9,  11, 13, 15, 17, 19, 21,
                                                           23, 25, 27, 29, 31, 33, 35, 37, 39, 41, 43,
                                                           45, 47, 49, 51, 53, 55, 57, 59, 61, 63};
    alignas(64) static constexpr uint16_t after[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                                       12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                                       23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
    const __m512i low15 = _mm512_set1_epi16(0x7fff), high = _mm512_load_si512(highwords);
    __m512i w[2], next[2];
    w[0] = _mm512_and_si512(_mm512_permutex2var_epi16(st[0], high, st[1]), low15);
    w[1] = _mm512_and_si512(_mm512_permutex2var_epi16(st[2], high, st[3]), low15);
    _mm512_storeu_si512(&draws[0], w[0]);
    _mm512_storeu_si512(&draws[32], w[1]);
    const __m512i shift = _mm512_load_si512(after);
    next[0] = _mm512_permutex2var_epi16(w[0], shift, w[1]);
    next[1] = _mm512_permutex2var_epi16(w[1], shift, _mm512_setzero_si512());

    const __m512i trackmulv = _mm512_set1_epi16(static_cast<short>(trackmul16));
    const __m512i safe = _mm512_set1_epi16(static_cast<short>(safesectors - 1));
    const __m512i one = _mm512_set1_epi16(1), sixteen = _mm512_set1_epi16(16);
    const __m512i redrawn = _mm512_set1_epi16(static_cast<short>(redrawnbit));
    const __m512i mul0 = _mm512_load_si512(byquotient.secmul), mul1 = _mm512_load_si512(byquotient.secmul + 32);
    const __m512i lo0 = _mm512_load_si512(byquotient.low), lo1 = _mm512_load_si512(byquotient.low + 32);
    const __m512i hi0 = _mm512_load_si512(byquotient.high), hi1 = _mm512_load_si512(byquotient.high + 32);
    uint64_t s = 0, c = 0, x = 0;
#pragma GCC unroll 2
    for (int32_t h = 0; h < 2; ++h) {
        __m512i q = _mm512_srli_epi16(_mm512_mulhi_epu16(w[h], trackmulv), trackshift16 - 16);
        __m512i secmul = _mm512_permutex2var_epi16(mul0, q, mul1);
        __m512i sector = _mm512_srli_epi16(_mm512_mulhi_epu16(next[h], secmul), quotientshift - 16);
        __m512i low = _mm512_permutex2var_epi16(lo0, q, lo1), highs = _mm512_permutex2var_epi16(hi0, q, hi1);
        // Shifts by 16 or more give 0 in 16-bit lanes, so each half answers only for its sectors.
        __m512i chosen = _mm512_or_si512(_mm512_srlv_epi16(low, sector),
                                         _mm512_srlv_epi16(highs, _mm512_sub_epi16(sector, sixteen)));
        s |= uint64_t{_mm512_test_epi16_mask(highs, redrawn)} << (32 * h);
        c |= uint64_t{_mm512_test_epi16_mask(chosen, one)} << (32 * h);
        x |= uint64_t{_mm512_cmpgt_epu16_mask(w[h], safe)} << (32 * h);
    }
    uint32_t first = static_cast<uint32_t>(_mm_extract_epi16(_mm512_castsi512_si128(w[0]), 0));
    uint32_t last = static_cast<uint32_t>(_mm_extract_epi16(_mm512_extracti32x4_epi32(w[1], 3), 7));
    return {s, c, x, first, last};
}

__attribute__((target(FASTDRAW_AVX512))) void blockswidest() { findhits(fillwidest); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// The processor is asked only here, and only once a disk has few enough links for the blocks to
// run: the compiler's own feature check would ask at every start, and in a virtual machine each
// cpuid traps to the hypervisor. A feature counts only when the system also saves the registers
// it needs (xgetbv): YMM state for AVX2, and the opmask and ZMM state too for AVX-512.
struct features {
    bool avx2, avx512;
};

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

features has;
bool asked;
#endif

}  // namespace

bool canrun(drawway way) {
#ifdef FASTDRAW_X86
    // Asked once; a function's static would bring the C++ runtime's guard along.
    if (!asked) {
        has = askprocessor();
        asked = true;
    }
    if (way == avx512blocks)
        return has.avx512;
    if (way == avx2blocks)
        return has.avx2;
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
    tracks = 0;
    byquotient = {};
    for (int32_t t = 1; t <= numtracks + 1; ++t) {
        bool redrawn = t == dirtrack || t > numtracks;  // t = 36: quotient 35, draws 32760 and up
        places[t] = redrawn ? 0 : candidates[t];
        tracks |= uint64_t{places[t] != 0} << (t - 1);
        table[t - 1] = places[t] != 0 ? 0xff : 0;
        auto q = static_cast<size_t>(t - 1);
        byquotient.secmul[q] = static_cast<uint16_t>(sectordraws[static_cast<size_t>(t)].mul);
        byquotient.low[q] = static_cast<uint16_t>(places[t] & 0xffffu);
        byquotient.high[q] = static_cast<uint16_t>(places[t] >> 16 | (redrawn ? redrawnbit : 0));
    }
    nextstate = state;
    pending = 0;
    nhits = taken = 0;
}

void nextcandidate(int32_t &track, int32_t &sector, uint32_t &state, drawway way) {
    if (taken == nhits) {
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
    const hit &h = hits[taken++];
    track = h.track;
    sector = h.sector;
    state = jump.mul[static_cast<size_t>(h.at)] * blockstate + jump.add[static_cast<size_t>(h.at)];
}
