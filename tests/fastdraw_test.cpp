// The block fills, step by step: every way of computing a block must learn the same of its draws.
#include "fastdraw.h"

#include "fastdraw_probe.h"

#include <gtest/gtest.h>

#include <bitset>
#include <random>

#include "generator.h"
#include "pickable.h"
#include "testdisk.h"

namespace {

std::string bits(uint64_t mask) { return std::bitset<64>(mask).to_string(); }

TEST(FastDraw, EveryWayLearnsTheSameOfABlock) {
    // Generator states at the edges of the 32-bit range and at random, on disks whose candidates
    // sit at the zone edges or are few.
    std::vector<uint32_t> states = {0, 1, 2, 0x7fffffff, 0x80000000, 0xfffffffe, 0xffffffff};
    std::mt19937 rng(19);
    for (int i = 0; i < 2000; ++i)
        states.push_back(static_cast<uint32_t>(rng()));
    disk edges = sparsedisk(2);
    pointat(edges, {1, 0}, {35, 16});
    pointat(edges, {17, 20}, {33, 5});
    pointat(edges, {2, 15}, {2, 16});
    std::vector<std::pair<std::string, disk>> disks = {{"2 links", sparsedisk(2)}, {"40 links", sparsedisk(40)},
                                                       {"edges", edges}};
    const std::pair<drawway, const char *> ways[] = {{avx2blocks, "AVX2"}, {avx512blocks, "AVX-512"}};
    if (!canrun(avx2blocks) && !canrun(avx512blocks))
        GTEST_SKIP() << "this processor draws one by one only";
    for (const auto &[name, d] : disks) {
        std::copy(d.begin(), d.end(), image);
        findpickable();
        uint32_t places[d64::tracktable];
        findcandidates(places);
        startcandidates(places, 0, canrun(avx2blocks) ? avx2blocks : avx512blocks);
        for (uint32_t state : states) {
            // The draws themselves, one by one, for what each fill is checked against.
            uint32_t at = state, v[64];
            for (uint32_t &x : v)
                x = static_cast<uint32_t>(draw(at));
            uint64_t redrawn = 0, maybe = 0, high = 0;
            for (int k = 0; k < 64; ++k) {
                uint32_t track = v[k] / (randmax / numtracks) + 1;
                bool again = track > static_cast<uint32_t>(numtracks) || track == static_cast<uint32_t>(dirtrack);
                redrawn |= uint64_t{again} << k;
                maybe |= uint64_t{!again && places[track] != 0} << k;
                high |= uint64_t{v[k] >= 32756} << k;
            }
            for (const auto &[way, wayname] : ways) {
                blockfacts got;
                if (!fillfortests(way, state, got))
                    continue;  // each way's bytes are checked, or reported as skipped, by EveryDrawWay
                std::string where = std::string(wayname) + ", " + name + ", state " + std::to_string(state);
                ASSERT_EQ(got.first, v[0]) << where << ": the draws";
                ASSERT_EQ(got.last, v[63]) << where << ": the draws";
                ASSERT_EQ(bits(got.redrawn), bits(redrawn)) << where << ": which track draws are redrawn";
                ASSERT_EQ(bits(got.high), bits(high)) << where << ": which draws are high";
                if (way == avx2blocks) {
                    ASSERT_EQ(bits(got.maybe), bits(maybe)) << where << ": which tracks hold candidates";
                    continue;
                }
                // AVX-512 judges the place itself, with the draw after it; the block's last draw
                // has none yet and is never asked.
                uint64_t want = 0;
                for (int k = 0; k < 63; ++k) {
                    uint32_t track = v[k] / (randmax / numtracks) + 1;
                    if (track > static_cast<uint32_t>(numtracks) || track == static_cast<uint32_t>(dirtrack))
                        continue;
                    uint32_t sector = (v[k + 1] * sectordraws[track].mul) >> quotientshift;
                    want |= uint64_t{sector < 32 && (places[track] >> sector & 1) != 0} << k;
                }
                const uint64_t asked = ~(uint64_t{1} << 63);
                ASSERT_EQ(bits(got.maybe & asked), bits(want)) << where << ": which places are candidates";
            }
        }
    }
}

}  // namespace
