#include "scrambler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "image.h"
#include "fastdraw.h"
#include "pickable.h"
#include "testdisk.h"

namespace {

TEST(Generator, StartsWithTheSameValuesOnEveryPlatform) {
    resetrandom();
    const int32_t first[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358, 26962, 24464};
    for (int32_t want : first)
        EXPECT_EQ(nextrandom(), want);
}

TEST(Generator, RangeDrawsStayInsideAndReachEveryValue) {
    resetrandom();
    struct {
        int32_t low, high;
    } ranges[] = {{1, 36}, {0, 17}, {0, 18}, {0, 19}, {0, 21}, {5, 6}, {-3, 3}, {0, 7}, {10, 41}, {0, 32767}};
    for (const auto &r : ranges) {
        std::vector<int32_t> seen(static_cast<size_t>(r.high - r.low), 0);
        for (int32_t i = 0; i < 200000; ++i) {
            int32_t v = random_in_range(r.low, r.high);
            ASSERT_GE(v, r.low);
            ASSERT_LT(v, r.high);
            ++seen[static_cast<size_t>(v - r.low)];
        }
        // Small ranges must come out even; the widest only has to stay inside.
        double share = 200000.0 / static_cast<double>(seen.size());
        for (size_t i = 0; seen.size() <= 64 && i < seen.size(); ++i)
            EXPECT_NEAR(seen[i], share, share * 0.05)
                << "value " << r.low + static_cast<int32_t>(i) << " of [" << r.low << ", " << r.high << ")";
    }
}

std::set<place> targets(const disk &d) {
    std::set<place> out;
    for (place p : chainablesectors())
        if (iseligible(&d[sectoroffset(p)]))
            out.insert({d[sectoroffset(p)], d[sectoroffset(p) + 1]});
    return out;
}

bool sametrack18(const disk &a, const disk &b) {
    size_t from = sectoroffset({dirtrack, 0}), to = sectoroffset({dirtrack + 1, 0});
    return std::equal(a.begin() + static_cast<long>(from), a.begin() + static_cast<long>(to), b.begin() + static_cast<long>(from));
}

// What must hold for any input: the directory track is untouched, the sectors that links point
// at stay the same set, and a sector no link points at keeps its data.
void expectsafe(const disk &before, const disk &after) {
    EXPECT_TRUE(sametrack18(before, after));
    std::set<place> was = targets(before);
    EXPECT_EQ(targets(after), was);
    for (place p : chainablesectors()) {
        auto at = static_cast<long>(sectoroffset(p));
        if (!was.count(p)) {
            EXPECT_TRUE(std::equal(before.begin() + at + 2, before.begin() + at + sectorsize, after.begin() + at + 2))
                << "data moved out of untargeted sector " << p.track << "/" << p.sector;
        }
    }
}

// Each chain reads the same data in the same order from the same first sector, ends with the same
// link bytes, and the chains still use exactly the sectors they used before.
void expectchainsintact(const disk &before, const disk &after, const std::vector<place> &firsts) {
    expectsafe(before, after);
    std::set<place> usedbefore, usedafter;
    for (place first : firsts) {
        std::vector<place> was = followchain(before, first), now = followchain(after, first);
        ASSERT_EQ(now.size(), was.size()) << "chain from " << first.track << "/" << first.sector;
        for (size_t i = 0; i < was.size(); ++i) {
            size_t w = sectoroffset(was[i]), n = sectoroffset(now[i]);
            ASSERT_TRUE(std::equal(before.begin() + static_cast<long>(w + 2), before.begin() + static_cast<long>(w + sectorsize),
                                   after.begin() + static_cast<long>(n + 2)))
                << "sector " << i << " of chain from " << first.track << "/" << first.sector;
        }
        size_t lastw = sectoroffset(was.back()), lastn = sectoroffset(now.back());
        EXPECT_EQ(after[lastn], before[lastw]);
        EXPECT_EQ(after[lastn + 1], before[lastw + 1]);
        usedbefore.insert(was.begin(), was.end());
        usedafter.insert(now.begin(), now.end());
    }
    EXPECT_EQ(usedafter, usedbefore);
}

TEST(Scatter, OneLongChainReadsTheSameAfterScatter) {
    disk before = chaineddisk();
    disk after = scrambled(before);
    expectchainsintact(before, after, {{1, 0}});
    std::vector<place> chain = followchain(after, {1, 0});
    ASSERT_EQ(chain.size(), 664u);
    EXPECT_EQ(chain[1], (place{9, 0}));
    EXPECT_EQ(chain[2], (place{2, 12}));
    for (size_t i = 0; i < chain.size(); ++i) {
        size_t at = sectoroffset(chain[i]);
        EXPECT_EQ((place{after[at + 2], after[at + 3]}), chainablesectors()[i]) << "sector " << i;
    }
}

TEST(Scatter, RandomChainsReadTheSameAfterScatter) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::vector<place> firsts;
        disk before = randomchains(seed, static_cast<int32_t>(1 + seed * 3), firsts);
        disk after = scrambled(before);
        expectchainsintact(before, after, firsts);
        EXPECT_NE(after, before);
    }
}

TEST(Scatter, ArbitraryBytesKeepTrack18AndUntargetedData) {
    std::mt19937 rng(64);
    for (int round = 0; round < 6; ++round) {
        disk before(imagesize);
        // Every other round, most sectors hold a link, with loops and shared targets galore.
        for (size_t i = 0; i < before.size(); ++i)
            before[i] = static_cast<uint8_t>(round % 2 && i % sectorsize == 0 ? rng() % 36
                                            : round % 2 && i % sectorsize == 1 ? rng() % 22
                                                                              : rng());
        SCOPED_TRACE("round " + std::to_string(round));
        expectsafe(before, scrambled(before));
    }
}

TEST(Scatter, DisksWithAtMostOneLinkComeOutUnchanged) {
    disk blank(imagesize, 0);
    disk intodirectory = chaineddisk();
    for (place p : chainablesectors()) {
        intodirectory[sectoroffset(p)] = dirtrack;
        intodirectory[sectoroffset(p) + 1] = 1;
    }
    disk pastends = chaineddisk();
    for (place p : chainablesectors())
        pastends[sectoroffset(p) + 1] = static_cast<uint8_t>(tracksecs[static_cast<size_t>(pastends[sectoroffset(p)])]);
    for (const disk *d : {&blank, &intodirectory, &pastends}) {
        std::copy(d->begin(), d->end(), image);
        findpickable();
        ASSERT_EQ(countpickable(), 0);
        EXPECT_EQ(scrambled(*d), *d);
    }
    disk one = onelinkdisk();
    std::copy(one.begin(), one.end(), image);
    findpickable();
    ASSERT_EQ(countpickable(), 1);
    EXPECT_EQ(scrambled(one), one);
}

// Every way of drawing, as a test of its own, so that a way this processor cannot run shows as
// skipped by name.
class EveryDrawWay : public testing::TestWithParam<drawway> {};

TEST_P(EveryDrawWay, GivesThePlainLoopsBytes) {
    const drawway way = GetParam(), plainway = onebyone;
    if (!canrun(way))
        GTEST_SKIP() << "this processor cannot draw that way";
    // Links at the zone edges, on the last tracks and on both sides of sector 16, whose candidacy
    // sits in the top bits or crosses from one 16-bit half of a lookup to the other.
    disk edges(imagesize, 0);
    const place ends[][2] = {{{1, 0}, {35, 16}}, {{17, 20}, {33, 5}}, {{19, 18}, {24, 0}}, {{31, 0}, {30, 17}},
                             {{2, 15}, {2, 16}}};
    for (const auto &e : ends) {
        edges[sectoroffset(e[0])] = static_cast<uint8_t>(e[1].track);
        edges[sectoroffset(e[0]) + 1] = static_cast<uint8_t>(e[1].sector);
        edges[sectoroffset(e[1]) + 1] = 255;
        edges[sectoroffset(e[1]) + 2] = static_cast<uint8_t>(e[1].track);
    }
    std::vector<place> firsts;
    std::vector<std::pair<std::string, disk>> disks = {
        {"edges", edges}, {"full", chaineddisk()}, {"random chains", randomchains(3, 40, firsts)}};
    for (int32_t links : {2, 3, 5, 16, 17, 40})
        disks.push_back({std::to_string(links) + " links", sparsedisk(links)});
    for (const auto &[name, d] : disks) {
        disk plain = scrambledby(d, &plainway);
        EXPECT_TRUE(scrambledby(d, &way) == plain) << name;
        EXPECT_TRUE(scrambled(d) == plain) << name << ", as the tool chooses";
    }
}

std::string wayname(const testing::TestParamInfo<drawway> &way) {
    const char *names[] = {"OneByOne", "Avx2Blocks", "Avx512Blocks"};
    return names[way.param];
}

INSTANTIATE_TEST_SUITE_P(Scatter, EveryDrawWay, testing::Values(avx2blocks, avx512blocks), wayname);

#if (defined(__x86_64__) || defined(__i386__)) && defined(SCATTERDISK_HAVE_CPU_SUPPORTS)
TEST(Scatter, ProcessorFeaturesAgreeWithTheCompilersOwnCheck) {
    // The tool asks the processor itself; the compiler's check may be linked into the tests.
    EXPECT_EQ(canrun(avx2blocks), __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(canrun(avx512blocks), __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"));
}
#elif !defined(__x86_64__) && !defined(__i386__)
TEST(Scatter, NoVectorDrawsOffX86) { EXPECT_FALSE(canrun(avx2blocks) || canrun(avx512blocks)); }
#endif

}  // namespace
