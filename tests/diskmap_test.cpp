#include "diskmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "readsame.h"
#include "testdisk.h"

namespace {

using namespace d64;

TEST(DiskMap, ListsFilesAndMapsTheirSectors) {
    // File A runs 1/0 -> 1/1 -> 1/2 -> 1/3 on a disk the BAM calls all in use. A case shows, for
    // 1/0 to 1/3 and 3/0, 3/1, the owner (1 + file, 0 none) with the step along its chain, and the
    // kind: f free, d directory track, m may move, s stays put.
    struct {
        const char *name;
        std::function<void(disk &)> edit;
        int32_t listed;
        const char *owners, *kinds;
    } cases[] = {
        {"one file", [](disk &) {}, 1, "10 11 12 13 00 00", "smmmss"},
        {"3/0 and 3/1 free", [](disk &d) { setfree(d, {3, 0}, true), setfree(d, {3, 1}, true); }, 1,
         "10 11 12 13 00 00", "smmmff"},
        {"a second file that runs into the first", [](disk &d) {
             direntry(d, 1, closed | seq, {3, 0});
             pointat(d, {3, 0}, {3, 1});
             pointat(d, {3, 1}, {1, 2});
         }, 2, "10 11 12 13 20 21", "smsmsm"},
        {"an empty slot between two files", [](disk &d) { direntry(d, 2, closed | usr, {3, 1}); }, 2,
         "10 11 12 13 00 20", "smmmss"},
        {"a scratched entry is listed, not its type 0 neighbour", [](disk &d) {
             direntry(d, 1, 0, {3, 0});
             direntry(d, 2, closed | del, {3, 1});
         }, 2, "10 11 12 13 00 20", "smmmss"},
        {"a chain that loops is mapped once", [](disk &d) { pointat(d, {1, 3}, {1, 1}); }, 1,
         "10 11 12 13 00 00", "ssssss"},
    };
    for (const auto &c : cases) {
        disk d = fourchaindisk();
        uint8_t *a = direntry(d, 0, closed | prg, {1, 0});
        std::copy_n("A\xa0\xa0", 3, a + filename);
        a[blockslow] = 4;
        c.edit(d);
        std::copy(d.begin(), d.end(), image);
        listedfile files[maxentries];
        int32_t n = listfiles(files);
        ASSERT_EQ(n, c.listed) << c.name;
        EXPECT_EQ(files[0].type, closed | prg) << c.name;
        EXPECT_EQ(std::string(files[0].name, files[0].name + 3), "A\xa0\xa0") << c.name;
        EXPECT_EQ(files[0].blocks, 4) << c.name;
        int16_t owner[numsectors], step[numsectors];
        uint8_t kind[numsectors];
        mapfiles(files, n, owner, step);
        whatmoves moving;
        findpickable();
        findmoving(moving);
        mapkinds(moving.targets, kind);
        std::string owners, kinds;
        for (place p : {place{1, 0}, place{1, 1}, place{1, 2}, place{1, 3}, place{3, 0}, place{3, 1}}) {
            size_t i = sectorindex(p.track, p.sector);
            owners += (owners.empty() ? "" : " ") + std::to_string(owner[i]) + std::to_string(step[i]);
            kinds += "fdms"[kind[i]];
        }
        EXPECT_EQ(owners, c.owners) << c.name;
        EXPECT_EQ(kinds, c.kinds) << c.name;
        EXPECT_EQ(kind[sectorindex(dirtrack, 5)], directorysector) << c.name;
    }
}

TEST(DiskMap, ReadsTheSameOnlyWhereEveryByteAndTheEndAgree) {
    // Chains scattered by the tool, then one edit to the scattered copy of the first chain.
    struct {
        const char *name;
        std::function<void(disk &, const std::vector<place> &)> edit;  // gets the chain's sectors
        bool same;
    } cases[] = {
        {"as scattered", [](disk &, const std::vector<place> &) {}, true},
        {"a data byte changed", [](disk &d, const std::vector<place> &c) { d[sectoroffset(c[1]) + 100] ^= 1; }, false},
        {"the count of bytes used changed", [](disk &d, const std::vector<place> &c) { d[sectoroffset(c.back()) + 1] ^= 1; },
         false},
        {"cut short", [](disk &d, const std::vector<place> &c) { d[sectoroffset(c[1])] = 0; }, false},
        {"run off the disk", [](disk &d, const std::vector<place> &c) { pointat(d, c[1], {40, 0}); }, false},
        {"longer by a sector", [](disk &d, const std::vector<place> &c) {
             pointat(d, c.back(), {dirtrack, 3});
             d[sectoroffset({dirtrack, 3})] = 0;
         }, false},
    };
    std::vector<place> firsts;
    disk before = randomchains(11, 3, firsts), after = scrambled(before);
    std::copy(before.begin(), before.end(), image);
    whatmoves moving;
    findpickable();
    findmoving(moving);
    for (const auto &c : cases) {
        disk d = after;
        c.edit(d, followchain(d, firsts[0]));
        std::copy(d.begin(), d.end(), image);
        EXPECT_EQ(readssame(before.data(), moving, static_cast<uint8_t>(firsts[0].track), static_cast<uint8_t>(firsts[0].sector)),
                  c.same)
            << c.name;
        EXPECT_TRUE(readssame(before.data(), moving, static_cast<uint8_t>(firsts[1].track), static_cast<uint8_t>(firsts[1].sector)))
            << c.name << ": another chain";
    }
}

}  // namespace
