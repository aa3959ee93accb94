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
//   C: as a track draw it lands on a track that holds a candidate place (with AVX-512: on a
//      candidate place, judged together with the draw after it).
// Every other track draw is followed by exactly one sector draw, as long as no sector draw is
// redrawn; a block in which one is (about one in a hundred) is walked draw by draw instead. Which
// draws are track draws then follows from S alone, by carry arithmetic, and only track draws in C
// need their sector looked at.
#include "fastdraw.h"

#include <array>

#include "image.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#define FASTDRAW_AVX2 1
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
static_assert(trackmul * trackbucket >= (1u << trackshift) &&
                  randmax * (trackmul * trackbucket - (1u << trackshift)) < (1u << trackshift) &&
                  uint64_t{randmax} * trackmul < (uint64_t{1} << 32),
              "v * 71698 >> 26 is v / 936 for every draw, in 32 bits");

uint32_t places[40];     // bit s of entry t: sector s of track t is a candidate
uint64_t tracks;         // bit t - 1: track t holds a candidate
alignas(16) uint8_t table[48];  // by track - 1, 0xff for a candidate track, for the AVX2 lookups
// By track - 1, the quotient of a track draw: sector multiplier and candidate sectors.
struct {
    alignas(64) uint32_t secmul[48];
    alignas(64) uint32_t places[48];
} byquotient;

uint32_t draws[block + 16];  // the current block's draws; the rest is read past the end and ignored
uint32_t blockstate;     // the generator state before the current block
uint32_t nextstate;      // ... and after it
int32_t pending;         // the track whose sector draw opens the next block, or 0

struct hit {
    int32_t track, sector, at;
};
hit hits[block + 1];
int32_t nhits, taken;

// Written whether it counts or not: the branch would be mispredicted on every real hit. Track 0
// has no candidates, so a call for it adds nothing.
void addhit(int32_t track, uint32_t v, int32_t at) {
    int32_t sector = static_cast<int32_t>((v * sectordraws[static_cast<size_t>(track)].mul) >> trackshift);
    hits[nhits] = {track, sector, at};
    nhits += static_cast<int32_t>(places[track] >> sector & 1);
}

// The plain procedure over one block, for blocks where a sector draw may be redrawn.
void walk() {
    int32_t track = pending;
    for (int32_t k = 0; k < block; ++k) {
        uint32_t v = draws[k];
        if (track == 0) {
            int32_t t = v < tracklimit ? static_cast<int32_t>(v / trackbucket) + 1 : dirtrack;
            track = t == dirtrack ? 0 : t;
            continue;
        }
        if (v >= sectordraws[static_cast<size_t>(track)].limit)
            continue;
        addhit(track, v, k);
        track = 0;
    }
    pending = track;
}

// The same over the block as if no sector draw were redrawn. A run of non-S draws that starts on
// a track draw alternates track, sector, track, ...; the draw after a run is a sector draw exactly
// when the run's length is odd. Adding 1 at each run that starts on an even position clears that
// run; what is left are the runs that start on odd ones. Draws above 32755 (in x) are looked at
// once the sector draws are known: if one of them is redrawn after all, the block is walked.
void parse(uint64_t s, uint64_t c, uint64_t x) {
    constexpr uint64_t even = 0x5555555555555555u, odd = ~even;
    uint64_t live = ~uint64_t{0} << (pending != 0);
    uint64_t go = ~s & live;
    uint64_t starts = go & ~(go << 1);
    uint64_t oddruns = (go + (starts & even)) & go;
    uint64_t evenruns = go & ~oddruns;
    uint64_t sectorat = ((evenruns << 1) & odd) | ((oddruns << 1) & even) | uint64_t{pending != 0};
    uint64_t trackdraws = ~sectorat;
    for (uint64_t h = x & sectorat; h != 0; h &= h - 1) {
        int32_t k = __builtin_ctzll(h);
        int32_t track = k == 0 ? pending : static_cast<int32_t>(draws[k - 1] / trackbucket) + 1;
        if (draws[k] >= sectordraws[static_cast<size_t>(track)].limit) {
            walk();
            return;
        }
    }
    addhit(pending, draws[0], 0);
    for (uint64_t h = trackdraws & c & ~(uint64_t{1} << 63); h != 0; h &= h - 1) {
        int32_t k = __builtin_ctzll(h);
        addhit(static_cast<int32_t>(draws[k] / trackbucket) + 1, draws[k + 1], k + 1);
    }
    pending = (trackdraws & go) >> 63 != 0 ? static_cast<int32_t>(draws[block - 1] / trackbucket) + 1 : 0;
}

void fillplain(uint64_t &sout, uint64_t &cout, uint64_t &xout) {
    uint64_t s = 0, c = 0, x = 0;
    for (int32_t k = 0; k < block; ++k)
        draws[k] = (jump.mul[static_cast<size_t>(k)] * blockstate + jump.add[static_cast<size_t>(k)]) >> 16 & 0x7fffu;
    for (int32_t k = 0; k < block; ++k) {
        uint32_t v = draws[k], q = (v * trackmul) >> trackshift;
        s |= uint64_t{v >= tracklimit || q == dirquotient} << k;
        c |= (tracks >> q & 1) << k;
        x |= uint64_t{v >= safesectors} << k;
    }
    sout = s, cout = c, xout = x;
}

#ifdef FASTDRAW_AVX2
// Draws are made in 32-bit lanes and then classified 16 at a time in 16-bit lanes: v / 936 is
// mulhi(v, 35849) >> 9 there, and a track's candidacy is looked up in three 16-byte tables.
__attribute__((target("avx2"))) void fillwide(uint64_t &sout, uint64_t &cout, uint64_t &xout) {
    const __m256i t0 = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(table)));
    const __m256i t1 = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(table + 16)));
    const __m256i t2 = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(table + 32)));
    const __m256i state = _mm256_set1_epi32(static_cast<int>(blockstate));
    const __m256i low15 = _mm256_set1_epi32(0x7fff);
    const __m256i quotient = _mm256_set1_epi16(static_cast<short>(35849));
    const __m256i top = _mm256_set1_epi16(static_cast<short>(tracklimit - 1));
    const __m256i safe = _mm256_set1_epi16(static_cast<short>(safesectors - 1));
    const __m256i dir = _mm256_set1_epi16(static_cast<short>(dirquotient));
    const __m256i fifteen = _mm256_set1_epi16(15), thirtyone = _mm256_set1_epi16(31);
    uint64_t s = 0, c = 0, x = 0;
    for (int32_t k = 0; k < block; k += 16) {
        __m256i v[2];
        for (int32_t h = 0; h < 2; ++h) {
            size_t at = static_cast<size_t>(k + 8 * h);
            __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(&jump.mul[at]));
            __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(&jump.add[at]));
            v[h] = _mm256_and_si256(_mm256_srli_epi32(_mm256_add_epi32(_mm256_mullo_epi32(m, state), a), 16), low15);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(&draws[at]), v[h]);
        }
        // Packing works within 128-bit halves; the permute puts the 16 draws back in order.
        __m256i w = _mm256_permute4x64_epi64(_mm256_packus_epi32(v[0], v[1]), 0xd8);
        __m256i q = _mm256_srli_epi16(_mm256_mulhi_epu16(w, quotient), 9);
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
    sout = s, cout = c, xout = x;
}

// With AVX-512 the candidate test is made for the pair of a track draw and the draw after it, so
// that only attempts on a candidate place itself reach the scalar code: each lane looks up its
// track's sector multiplier and candidate sectors in 48-entry tables by permutes.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"  // GCC 12's own AVX-512 headers trip these
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
__attribute__((target("avx512f"))) void fillwidest(uint64_t &sout, uint64_t &cout, uint64_t &xout) {
    uint64_t s = 0, c = 0, x = 0;
    const __m512i state = _mm512_set1_epi32(static_cast<int>(blockstate));
    const __m512i low15 = _mm512_set1_epi32(0x7fff), mul = _mm512_set1_epi32(static_cast<int>(trackmul));
    const __m512i top = _mm512_set1_epi32(static_cast<int>(tracklimit));
    const __m512i safe = _mm512_set1_epi32(static_cast<int>(safesectors));
    const __m512i dir = _mm512_set1_epi32(static_cast<int>(dirquotient)), one = _mm512_set1_epi32(1);
    const __m512i thirtytwo = _mm512_set1_epi32(32);
    const __m512i mul0 = _mm512_load_si512(byquotient.secmul), mul1 = _mm512_load_si512(byquotient.secmul + 16);
    const __m512i mul2 = _mm512_load_si512(byquotient.secmul + 32);
    const __m512i pl0 = _mm512_load_si512(byquotient.places), pl1 = _mm512_load_si512(byquotient.places + 16);
    const __m512i pl2 = _mm512_load_si512(byquotient.places + 32);
    for (int32_t k = 0; k < block; k += 16) {
        __m512i m = _mm512_loadu_si512(&jump.mul[static_cast<size_t>(k)]);
        __m512i a = _mm512_loadu_si512(&jump.add[static_cast<size_t>(k)]);
        __m512i v = _mm512_and_si512(_mm512_srli_epi32(_mm512_add_epi32(_mm512_mullo_epi32(m, state), a), 16), low15);
        _mm512_storeu_si512(&draws[k], v);
    }
    for (int32_t k = 0; k < block; k += 16) {
        __m512i v = _mm512_loadu_si512(&draws[k]), next = _mm512_loadu_si512(&draws[k + 1]);
        __m512i q = _mm512_srli_epi32(_mm512_mullo_epi32(v, mul), trackshift);
        __mmask16 high = _mm512_cmpge_epu32_mask(q, thirtytwo);
        __m512i bucket = _mm512_mask_permutexvar_epi32(_mm512_permutex2var_epi32(mul0, q, mul1), high, q, mul2);
        __m512i chosen = _mm512_mask_permutexvar_epi32(_mm512_permutex2var_epi32(pl0, q, pl1), high, q, pl2);
        __m512i sector = _mm512_srli_epi32(_mm512_mullo_epi32(next, bucket), trackshift);
        __mmask16 redrawn = _mm512_cmpge_epu32_mask(v, top) | _mm512_cmpeq_epi32_mask(q, dir);
        s |= uint64_t{redrawn} << k;
        c |= uint64_t{_mm512_test_epi32_mask(_mm512_srlv_epi32(chosen, sector), one)} << k;
        x |= uint64_t{_mm512_cmpge_epu32_mask(v, safe)} << k;
    }
    sout = s, cout = c, xout = x;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

void nextblock(drawwidth width) {
    nhits = taken = 0;
    blockstate = nextstate;
    nextstate = jump.mul[block - 1] * blockstate + jump.add[block - 1];
    uint64_t s, c, x;
#ifdef FASTDRAW_AVX2
    if (width == avx512draws)
        fillwidest(s, c, x);
    else if (width == avx2draws)
        fillwide(s, c, x);
    else
        fillplain(s, c, x);
#else
    (void)width;
    fillplain(s, c, x);
#endif
    parse(s, c, x);
}

}  // namespace

bool canrun(drawwidth width) {
#ifdef FASTDRAW_AVX2
    if (width == avx512draws)
        return __builtin_cpu_supports("avx512f") != 0;
    if (width == avx2draws)
        return __builtin_cpu_supports("avx2") != 0;
#endif
    return width == portabledraws;
}

void startcandidates(const uint32_t candidates[40], uint32_t state) {
    tracks = 0;
    for (int32_t t = 1; t <= numtracks; ++t) {
        places[t] = t == dirtrack ? 0 : candidates[t];
        tracks |= uint64_t{places[t] != 0} << (t - 1);
        table[t - 1] = places[t] != 0 ? 0xff : 0;
        byquotient.secmul[t - 1] = sectordraws[static_cast<size_t>(t)].mul;
        byquotient.places[t - 1] = places[t];
    }
    nextstate = state;
    pending = 0;
    nhits = taken = 0;
}

void nextcandidate(int32_t &track, int32_t &sector, uint32_t &state, drawwidth width) {
    while (taken == nhits)
        nextblock(width);
    const hit &h = hits[taken++];
    track = h.track;
    sector = h.sector;
    state = jump.mul[static_cast<size_t>(h.at)] * blockstate + jump.add[static_cast<size_t>(h.at)];
}
