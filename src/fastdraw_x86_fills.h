// The AVX2 and AVX-512 fills of a block of draws, inline and internal to the draws:
// fastdraw_x86.cpp builds its block loops from them, and the tests hold each fill against the draws
// made one by one. Built only for x86.
#pragma once

#include <immintrin.h>

#include "fastdraw_internal.h"

namespace fastdraw {

namespace {


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

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace

}  // namespace fastdraw
