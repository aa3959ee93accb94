#include "readsame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "testdisk.h"

namespace {

using namespace d64;

uint8_t &byteat(disk &d, place p, size_t offset) { return d[sectoroffset(p) + offset]; }

TEST(CheckScatter, NamesTheFirstPlaceADamagedOutputDiffers) {
    const disk before = storydisk(), after = scrambled(before);
    const std::vector<place> main = followchain(after, {1, 0}), record = followchain(after, {3, 1}),
                             lastrecord = followchain(after, {6, 0});
    ASSERT_EQ(main.size(), 10u);
    ASSERT_EQ(record.size(), 3u);
    ASSERT_EQ(lastrecord.size(), 2u);
    // Each case damages the scattered disk and says where the difference must be found: in which
    // chain (named by its start), at which block of it, and at which sector of the output.
    struct {
        const char *name;
        std::function<void(disk &)> damage;
        differs found;
        place start;
        int32_t block;
        place at;
    } cases[] = {
        {"as scattered", [](disk &) {}, differs::nothing, {0, 0}, 0, {0, 0}},
        {"a data byte in a moved sector", [&](disk &d) { byteat(d, main[5], 100) ^= 1; }, differs::chaindata, {1, 0}, 5,
         main[5]},
        {"a VLIR record's second sector", [&](disk &d) { byteat(d, record[1], 2) ^= 1; }, differs::chaindata, {3, 1}, 1,
         record[1]},
        {"a REL side sector", [](disk &d) { byteat(d, {8, 0}, 18) ^= 1; }, differs::sectordata, {8, 0}, 0, {8, 0}},
        {"a REL data sector, found from the file's start", [](disk &d) { byteat(d, {7, 1}, 9) ^= 1; }, differs::chaindata,
         {7, 0}, 1, {7, 1}},
        {"a GEOS info block", [](disk &d) { byteat(d, {3, 10}, 50) ^= 1; }, differs::sectordata, {3, 10}, 0, {3, 10}},
        {"a GEOS index block", [](disk &d) { byteat(d, {3, 0}, 4) = 6; }, differs::sectordata, {3, 0}, 0, {3, 0}},
        {"a directory entry's start", [](disk &d) { byteat(d, {dirtrack, 1}, firsttrack) = 2; }, differs::directorytrack,
         {dirtrack, 1}, 0, {dirtrack, 1}},
        {"a name", [](disk &d) { byteat(d, {dirtrack, 1}, entrysize + filename) = 'X'; }, differs::directorytrack,
         {dirtrack, 1}, 0, {dirtrack, 1}},
        {"a BAM byte", [](disk &d) { byteat(d, {dirtrack, bamsector}, freecountfor(5)) = 3; }, differs::directorytrack,
         {dirtrack, 0}, 0, {dirtrack, 0}},
        {"a chain cut short", [&](disk &d) { byteat(d, main[3], linktrack) = 0; }, differs::chainend, {1, 0}, 3, main[3]},
        {"the last byte of a moved sector", [&](disk &d) { byteat(d, main[5], 255) ^= 1; }, differs::chaindata, {1, 0}, 5,
         main[5]},
        {"the first data byte of a moved sector", [&](disk &d) { byteat(d, main[5], 2) ^= 1; }, differs::chaindata, {1, 0},
         5, main[5]},
        {"the VLIR record in the index block's last slot", [&](disk &d) { byteat(d, lastrecord[1], 255) ^= 1; },
         differs::chaindata, {6, 0}, 1, lastrecord[1]},
        {"the last pair of a REL side sector's list", [](disk &d) { byteat(d, {8, 0}, 255) ^= 1; }, differs::sectordata,
         {8, 0}, 0, {8, 0}},
        {"the link bytes of a sector that names no sector", [](disk &d) { byteat(d, {30, 0}, linksector) = 'C'; },
         differs::chainlink, {30, 0}, 0, {30, 0}},
        {"a REL file's link, which the scatter never re-points", [](disk &d) { pointat(d, {7, 0}, {7, 2}); },
         differs::chainlink, {7, 0}, 0, {7, 0}},
        {"a chain sent elsewhere", [&](disk &d) { pointat(d, main[3], {20, 0}); }, differs::chainlink, {1, 0}, 3, main[3]},
        {"a chain run off the disk", [&](disk &d) { pointat(d, main[3], {36, 0}); }, differs::chainend, {1, 0}, 3, main[3]},
        {"a chain made to loop", [&](disk &d) { pointat(d, main[9], main[2]); }, differs::chainend, {1, 0}, 9, main[9]},
        {"a chain made longer", [&](disk &d) { pointat(d, main[9], {20, 0}); }, differs::chainend, {1, 0}, 9, main[9]},
        {"the bytes used of a last sector", [&](disk &d) { byteat(d, main[9], linksector) = 90; }, differs::chainend, {1, 0},
         9, main[9]},
    };
    whatmoves moving;
    std::copy(before.begin(), before.end(), image);
    findpickable();
    findmoving(moving);
    for (const auto &c : cases) {
        disk d = after;
        c.damage(d);
        std::copy(d.begin(), d.end(), image);
        samecheck got = checkscatter(before.data(), moving, nullptr);
        EXPECT_EQ(got.found, c.found) << c.name;
        EXPECT_EQ(got.chains, numsectors - tracksecs[dirtrack] - 13) << c.name << ": every chain is compared";
        if (c.found == differs::nothing)
            continue;
        EXPECT_EQ((place{got.track, got.sector}), c.start) << c.name;
        EXPECT_EQ(got.block, c.block) << c.name;
        EXPECT_EQ((place{got.attrack, got.atsector}), c.at) << c.name;
    }
}

TEST(CheckScatter, EveryTestDiskPassesAndTheMovedContentIsTraced) {
    std::vector<place> firsts;
    struct {
        const char *name;
        disk d;
        int32_t moving;  // targets of pickable links
    } cases[] = {
        {"the story disk", storydisk(), 13},
        {"the story disk, its directory off track 18", offtrackdirectorydisk(), 13},
        {"four sectors in a chain", fourchaindisk(), 3},
        {"one chain through the disk", chaineddisk(), 663},
        {"random chains", randomchains(5, 20, firsts), -1},
        {"a single link", onelinkdisk(), 1},
        {"sparse links", sparsedisk(40), 40},
        {"blank", disk(imagesize, 0), 0},
    };
    for (const auto &c : cases) {
        std::copy(c.d.begin(), c.d.end(), image);
        whatmoves moving;
        findpickable();
        findmoving(moving);
        int32_t n = 0;
        for (uint32_t bits : moving.targets)
            n += __builtin_popcount(bits);
        if (c.moving >= 0) {
            EXPECT_EQ(n, c.moving) << c.name;
        }
        const disk after = scrambled(c.d);
        int16_t origin[numsectors];
        samecheck got = checkscatter(c.d.data(), moving, origin);
        EXPECT_EQ(got.found, differs::nothing) << c.name;
        EXPECT_EQ(got.chains, numsectors - tracksecs[dirtrack] - n) << c.name;
        // Every sector's content came from exactly one place, and reads as it did there.
        std::vector<int> taken(numsectors);
        for (size_t i = 0; i < static_cast<size_t>(numsectors); ++i) {
            ASSERT_GE(origin[i], 0) << c.name << ": sector " << i << " untraced";
            ++taken[static_cast<size_t>(origin[i])];
            EXPECT_TRUE(std::equal(after.begin() + static_cast<long>(i * sectorsize + 2),
                                   after.begin() + static_cast<long>((i + 1) * sectorsize),
                                   c.d.begin() + static_cast<long>(origin[i]) * sectorsize + 2))
                << c.name << ": sector " << i;
        }
        EXPECT_EQ(std::count(taken.begin(), taken.end(), 1), numsectors) << c.name;
    }
}

}  // namespace
